#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/system_error.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/transport/Transport.h"
#include "common/utils/WriteBuffers.h"

namespace quorvel::transport {

// What the stream and the datagram connection share: identity and log
// prefix, client address and country, the ordered write queue with one write
// in flight, the one-read guard and the close reason. Subclasses say how a
// write is sent and where the peer's address comes from. Lives on one I/O
// context; writes may come from any thread.
class ConnectionCore {
 public:
  boost::signals2::signal<void()> connectedSignal;
  boost::signals2::signal<void(std::string)> closeSignal;

  ConnectionCore(const ConnectionCore&) = delete;
  ConnectionCore& operator=(const ConnectionCore&) = delete;
  virtual ~ConnectionCore();

  virtual void async_write(const std::string& data, std::size_t offset, IoCallback callback);
  virtual void async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  virtual void async_write(std::string&& data, std::size_t offset, IoCallback callback);
  virtual void async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  // A header block and a shared body as one gathered write; the body is not copied.
  void async_write(std::string&& head, std::shared_ptr<const std::string> body, IoCallback callback);

  virtual bool isReadPending();
  virtual bool isWriting();
  virtual void clearReadPending();
  virtual std::string getClientIP();
  virtual std::uint16_t getClientPort();
  virtual boost::asio::io_service& getIOService();
  virtual std::uint32_t getId();
  virtual void writeHandler(const boost::system::error_code& error, std::size_t bytesTransferred);
  virtual const boost::posix_time::ptime& getCreationTime();
  virtual std::string getCloseReason();
  virtual std::string getLogPrefix();
  virtual bool isClosedGracefully(const boost::system::error_code& error) = 0;
  virtual void printError(const boost::system::error_code& error, const std::string& where) = 0;
  virtual AuthInfoPtr getAuthInfo();
  virtual void initClientInfo();
  virtual void setCountry(std::string country);
  virtual std::string getCountry();
  virtual void initClientIP();
  virtual void initClientPort();
  virtual void emitClose(std::string reason);
  virtual void replaceClientIP(std::string ip);
  virtual void setClientIP(std::string ip);
  virtual void enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  virtual void doWrite();
  virtual void emitConnected();
  virtual std::string streambufToString(const boost::asio::streambuf& buffer);

  void setCloseReason(std::string reason);

 protected:
  struct Endpoint {
    boost::asio::ip::address address;
    std::uint16_t port;
  };

  // quoteWhat: whether the exception text in the client-address warnings is quoted.
  ConnectionCore(boost::asio::io_service& ioService, AuthInfoPtr authInfo, std::uint32_t id,
                 log4cplus::Logger logger, bool quoteWhat);

  // Keeps the connection alive across a posted or pending operation.
  virtual std::shared_ptr<ConnectionCore> self() = 0;
  // Starts sending the front entry; `done` must be called on completion.
  virtual void sendFront(const std::shared_ptr<utils::WriteBuffers>& front, IoCallback done) = 0;
  // The peer's address, nothing when there is no socket to ask; throws when the socket has none.
  virtual std::optional<Endpoint> remoteEndpoint() = 0;

  // The one-read guard around starting a read; a synchronous failure closes.
  template <typename ReadCall>
  void guardedRead(const char* pendingMessage, const char* typedThrowName, const char* stdThrowName,
                   const char* unknownThrowName, const char* unknownReason, ReadCall&& read) {
    if (readPending.exchange(true)) {
      LOG4CPLUS_ERROR(connectionLogger, getLogPrefix() << pendingMessage);
      return;
    }
    try {
      read();
    } catch (const boost::system::system_error& e) {
      LOG4CPLUS_DEBUG(connectionLogger, getLogPrefix() << typedThrowName << " throws '" << e.what()
                                             << "' shutting down connection!");
      emitClose(e.what());
    } catch (const std::exception& e) {
      LOG4CPLUS_DEBUG(connectionLogger, getLogPrefix() << stdThrowName << " throws '" << e.what()
                                             << "' shutting down connection!");
      emitClose(e.what());
    } catch (...) {
      LOG4CPLUS_DEBUG(connectionLogger, getLogPrefix() << unknownThrowName << " throws an exception, shutting down connection!");
      emitClose(unknownReason);
    }
  }

  std::uint32_t id;
  boost::posix_time::ptime creationTime;
  AuthInfoPtr authInfo;
  boost::asio::io_service& ioService;
  log4cplus::Logger connectionLogger;
  std::atomic<bool> closed{false};

 private:
  void dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  // Completes `first` and every queued write, in order, with operation_aborted.
  void abortQueue(std::shared_ptr<utils::WriteBuffers> first, std::size_t bytesTransferred);
  void runCallback(const IoCallback& callback, const boost::system::error_code& error, std::size_t bytesTransferred);

  // Touched only on the I/O context thread.
  std::deque<std::shared_ptr<utils::WriteBuffers>> writeQueue;
  std::atomic<bool> readPending{false};
  std::recursive_mutex mutex;
  std::string closeReason;
  std::string country;
  std::atomic<bool> writing{false};
  std::string clientIP;
  std::atomic<std::uint16_t> clientPort{0};
  const bool quoteWhat;
};

}  // namespace quorvel::transport
