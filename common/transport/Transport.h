#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include "common/authentication/AuthInfo.h"
#include "common/utils/IoCallback.h"

namespace quorvel::utils {
class WriteBuffers;
}

namespace quorvel::transport {

using authentication::AuthInfoPtr;

// One-shot report of a transport start: up or failed, with the reason.
using WhileConnectionCallback = std::function<void(bool connected, const boost::system::error_code& error)>;

using MatchIterator = boost::asio::buffers_iterator<boost::asio::const_buffers_1, char>;
// Read-until condition: where the match ends and whether it is complete.
using MatchCondition = std::function<std::pair<MatchIterator, bool>(MatchIterator begin, MatchIterator end)>;

// Byte stream of one connection over one socket. Owners serialise writes,
// allow one read at a time and keep the transport alive through their callbacks.
class Transport : public std::enable_shared_from_this<Transport> {
 public:
  boost::signals2::signal<void(std::string)> closeSignal;
  boost::signals2::signal<void()> connectedSignal;

  Transport(boost::asio::io_service& ioService, AuthInfoPtr authInfo);
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  virtual ~Transport();

  virtual bool isConnected();
  virtual void start(WhileConnectionCallback callback, const std::string& hostName) = 0;
  virtual void cancel() = 0;
  virtual void shutdown() = 0;
  virtual void async_write(const std::shared_ptr<utils::WriteBuffers>& buffers, IoCallback callback) = 0;
  virtual void async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) = 0;
  virtual void async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) = 0;
  virtual void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) = 0;
  virtual void async_read_some(boost::asio::streambuf& buffer, IoCallback callback) = 0;
  virtual void async_read_until(boost::asio::streambuf& buffer, const std::string& delimiter,
                                IoCallback callback) = 0;
  virtual void async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) = 0;
  // Ends this side of the stream after the last reply: the TLS close
  // notification, then the FIN, so a client that reads to the end gets it at
  // once. Reads are still possible, through async_discard_some only.
  virtual void async_close_write(IoCallback callback);
  // Reads what the peer still sends after async_close_write, below any record
  // layer, only to drop it: closing over unread input resets the connection,
  // which can destroy the last reply at the peer.
  virtual void async_discard_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback);
  virtual std::string getLogPrefix();
  virtual void setAuthInfo(AuthInfoPtr authInfo);
  virtual AuthInfoPtr getAuthInfo();

  boost::asio::io_service& getIOService();
  std::uint32_t getId();

 protected:
  std::uint32_t id;
  boost::asio::io_service* ioService;
  std::atomic<bool> connected;
  WhileConnectionCallback whileConnectionCallback;

 private:
  void postFailure(IoCallback callback);

  AuthInfoPtr authInfo;
};

}  // namespace quorvel::transport
