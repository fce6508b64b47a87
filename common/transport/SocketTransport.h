#pragma once

#include <memory>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
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

// The reads and writes of the plain and the TLS transport, for any Asio
// stream (and any transport base): each is one composed operation with the
// caller's callback as its handler. The transports keep no lifetime guard of their own: the caller's
// callback owns what must stay alive.
template <typename Stream, typename Base = SocketTransport>
class StreamTransport : public Base {
 public:
  void async_write(const std::shared_ptr<utils::WriteBuffers>& buffers, IoCallback callback) override {
    if (!buffers || !buffers->isValid()) {
      // Refused here as well, so a bad record can never send memory it does not own.
      boost::asio::post(stream.get_executor(), [done = complete(std::move(callback))]() {
        done(boost::asio::error::invalid_argument, 0);
      });
      return;
    }
    boost::asio::async_write(stream, buffers->sequence(),
                             [buffers, done = complete(std::move(callback))](const boost::system::error_code& error,
                                                                             std::size_t bytes) { done(error, bytes); });
  }
  void async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) override {
    boost::asio::async_read(stream, buffer, boost::asio::transfer_exactly(count), complete(std::move(callback)));
  }
  void async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) override {
    boost::asio::async_read(stream, buffer, boost::asio::transfer_exactly(count), complete(std::move(callback)));
  }
  void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) override {
    stream.async_read_some(buffer, complete(std::move(callback)));
  }
  void async_read_some(boost::asio::streambuf& buffer, IoCallback callback) override {
    boost::asio::async_read(stream, buffer, boost::asio::transfer_at_least(1), complete(std::move(callback)));
  }
  void async_read_until(boost::asio::streambuf& buffer, const std::string& delimiter, IoCallback callback) override {
    boost::asio::async_read_until(stream, buffer, delimiter, complete(std::move(callback)));
  }
  void async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) override {
    boost::asio::async_read_until(stream, buffer, std::move(match), complete(std::move(callback)));
  }
  void async_discard_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) override {
    stream.async_read_some(buffer, complete(std::move(callback)));
  }

 protected:
  // Asio calls its handler unconditionally, an IoCallback may be empty.
  static auto complete(IoCallback callback) {
    return [callback = std::move(callback)](const boost::system::error_code& error, std::size_t bytes) {
      if (callback) {
        callback(error, bytes);
      }
    };
  }

  template <typename... StreamArgs>
  StreamTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo, StreamArgs&&... streamArgs)
      : Base(ioService, std::move(authInfo)), stream(std::forward<StreamArgs>(streamArgs)...) {}

  Stream stream;
};

}  // namespace quorvel::transport
