#pragma once

#include <memory>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "common/transport/Transport.h"
#include "common/utils/WriteBuffers.h"

namespace quorvel::transport {

// A transport over a TCP socket; the listener accepts into getSocket().
class SocketTransport : public Transport {
 public:
  SocketTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo);
  ~SocketTransport() override;

  virtual boost::asio::ip::tcp::socket& getSocket() = 0;
};

// The composed operations shared by the plain and the TLS transport, for any
// Asio stream. The transports keep no lifetime guard of their own: the
// caller's callback owns what must stay alive.
namespace streamops {

// Asio calls its handler unconditionally, an IoCallback may be empty.
inline auto complete(IoCallback callback) {
  return [callback = std::move(callback)](const boost::system::error_code& error, std::size_t bytes) {
    if (callback) {
      callback(error, bytes);
    }
  };
}

template <typename Stream>
void write(Stream& stream, const std::shared_ptr<utils::WriteBuffers>& buffers, IoCallback callback) {
  if (!buffers || !buffers->isValid()) {
    // Refused here as well, so a bad record can never send memory it does not own.
    boost::asio::post(stream.get_executor(), [done = complete(std::move(callback))]() {
      done(boost::asio::error::invalid_argument, 0);
    });
    return;
  }
  boost::asio::async_write(stream, boost::asio::buffer(buffers->data(), buffers->size()),
                           [buffers, done = complete(std::move(callback))](const boost::system::error_code& error,
                                                                           std::size_t bytes) { done(error, bytes); });
}

template <typename Stream>
void read(Stream& stream, boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) {
  boost::asio::async_read(stream, buffer, boost::asio::transfer_exactly(count), complete(std::move(callback)));
}

template <typename Stream>
void read(Stream& stream, boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) {
  boost::asio::async_read(stream, buffer, boost::asio::transfer_exactly(count), complete(std::move(callback)));
}

template <typename Stream>
void readSome(Stream& stream, boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  stream.async_read_some(buffer, complete(std::move(callback)));
}

template <typename Stream>
void readSome(Stream& stream, boost::asio::streambuf& buffer, IoCallback callback) {
  boost::asio::async_read(stream, buffer, boost::asio::transfer_at_least(1), complete(std::move(callback)));
}

template <typename Stream>
void readUntil(Stream& stream, boost::asio::streambuf& buffer, const std::string& delimiter, IoCallback callback) {
  boost::asio::async_read_until(stream, buffer, delimiter, complete(std::move(callback)));
}

template <typename Stream>
void readUntil(Stream& stream, boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) {
  boost::asio::async_read_until(stream, buffer, std::move(match), complete(std::move(callback)));
}

}  // namespace streamops

}  // namespace quorvel::transport
