#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/signals2/signal.hpp>

#include "common/transport/Transport.h"
#include "common/utils/WriteBuffers.h"

namespace quorvel::transport {

class Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

// One stream connection over one transport: identity and log prefix, an
// ordered write queue with one write in flight, a one-read guard and a close
// that runs once. Lives on one I/O context; writes may come from any thread.
class AsyncConnection : public std::enable_shared_from_this<AsyncConnection> {
 public:
  boost::signals2::signal<void()> connectedSignal;
  boost::signals2::signal<void(std::string)> closeSignal;

  explicit AsyncConnection(std::shared_ptr<Transport>&& transport);
  AsyncConnection(std::shared_ptr<Transport>&& transport, AuthInfoPtr&& authInfo, std::uint32_t id);
  AsyncConnection(const AsyncConnection&) = delete;
  AsyncConnection& operator=(const AsyncConnection&) = delete;
  virtual ~AsyncConnection();

  virtual void connectSignals();
  virtual void disconnectSignals();
  virtual void async_write(const std::string& data, std::size_t offset, IoCallback callback);
  virtual void async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  virtual void async_write(std::string&& data, std::size_t offset, IoCallback callback);
  virtual void async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  virtual void async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback);
  virtual void async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback);
  virtual void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback);
  virtual void async_read_some(boost::asio::streambuf& buffer, IoCallback callback);
  virtual void async_read_until(boost::asio::streambuf& buffer, std::string delimiter, IoCallback callback);
  virtual void async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback);
  virtual bool isReadPending();
  virtual bool isWriting();
  virtual void clearReadPending();
  virtual std::string getClientIP();
  virtual std::uint16_t getClientPort();
  virtual boost::asio::io_service& getIOService();
  virtual void postCloseConnection(std::string reason);
  virtual void postClose(std::string reason);
  virtual void postStartTransport(WhileConnectionCallback callback);
  virtual std::uint32_t getId();
  virtual void writeHandler(const boost::system::error_code& error, std::size_t bytesTransferred);
  virtual const boost::posix_time::ptime& getCreationTime();
  virtual std::string getCloseReason();
  virtual std::string getLogPrefix();
  virtual bool isClosedGracefully(const boost::system::error_code& error);
  virtual void printError(const boost::system::error_code& error, const std::string& where);
  virtual AuthInfoPtr getAuthInfo();
  virtual void initClientInfo();
  virtual void setCountry(std::string country);
  virtual std::string getCountry();
  virtual bool isConnected();
  virtual void initClientIP();
  virtual void initClientPort();
  virtual void close(std::string reason);
  virtual void closeConnection(std::string reason);
  virtual void startTransport(WhileConnectionCallback callback);
  virtual void emitClose(std::string reason);
  virtual void replaceClientIP(std::string ip);
  virtual void setClientIP(std::string ip);
  virtual void enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  virtual void doWrite();
  virtual void emitConnected();
  virtual std::string streambufToString(const boost::asio::streambuf& buffer);

  std::shared_ptr<Transport> getTransport();
  void setCloseReason(std::string reason);

 private:
  void dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  // Completes `first` and every queued write, in order, with operation_aborted.
  void abortQueue(std::shared_ptr<utils::WriteBuffers> first, std::size_t bytesTransferred);
  void runCallback(const IoCallback& callback, const boost::system::error_code& error, std::size_t bytesTransferred);
  template <typename ReadCall>
  void guardedRead(const char* pendingMessage, const char* typedThrowName, const char* stdThrowName,
                   const char* unknownThrowName, const char* unknownReason, ReadCall&& read);

  std::uint32_t id;
  boost::posix_time::ptime creationTime;
  AuthInfoPtr authInfo;
  boost::asio::io_service& ioService;
  std::shared_ptr<Transport> transport;
  std::deque<std::shared_ptr<utils::WriteBuffers>> writeQueue;
  std::atomic<bool> readPending{false};
  std::atomic<bool> closed{false};
  std::recursive_mutex mutex;
  std::string closeReason;
  std::string country;
  std::atomic<bool> writing{false};
  std::string clientIP;
  std::atomic<std::uint16_t> clientPort{0};
};

}  // namespace quorvel::transport
