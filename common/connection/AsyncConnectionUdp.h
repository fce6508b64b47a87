#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/signals2/signal.hpp>

#include "common/transport/Transport.h"
#include "common/utils/WriteBuffers.h"

namespace quorvel::transport {

// A connection over its own UDP socket: the identity, ordered write queue (one
// datagram in flight), read guard and close-once rule of the stream
// connection, with datagrams in place of a transport.
class AsyncConnectionUdp : public std::enable_shared_from_this<AsyncConnectionUdp> {
 public:
  // Room prepared in a stream buffer for one datagram.
  static constexpr std::size_t kReceiveBufferSize = 64000;

  boost::signals2::signal<void()> connectedSignal;
  boost::signals2::signal<void(std::string)> closeSignal;

  explicit AsyncConnectionUdp(boost::asio::io_service& ioService);
  // An id of 0 takes the next number of the counter.
  AsyncConnectionUdp(boost::asio::io_service& ioService, AuthInfoPtr&& authInfo, std::uint32_t id);
  AsyncConnectionUdp(const AsyncConnectionUdp&) = delete;
  AsyncConnectionUdp& operator=(const AsyncConnectionUdp&) = delete;
  virtual ~AsyncConnectionUdp();

  virtual void connectSignals();
  virtual void disconnectSignals();
  // One datagram per call. Callable from any thread; completions run on the
  // connection's I/O context in the order the writes were issued.
  virtual void async_write(const std::string& data, std::size_t offset, IoCallback callback);
  virtual void async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  virtual void async_write(std::string&& data, std::size_t offset, IoCallback callback);
  virtual void async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                           IoCallback callback);
  // One datagram; the sender is recorded apart from the send destination.
  virtual void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback);
  virtual void async_read_some(boost::asio::streambuf& buffer, IoCallback callback);
  virtual bool isReadPending();
  virtual void clearReadPending();
  virtual std::string getClientIP();
  virtual std::uint16_t getClientPort();
  virtual boost::asio::io_service& getIOService();
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
  virtual void closeSocket();
  virtual boost::asio::ip::udp::socket& getSocket();
  virtual void initClientInfo();
  virtual void setCountry(std::string country);
  virtual std::string getCountry();
  virtual bool isConnected();
  virtual void initClientIP();
  virtual void initClientPort();
  // Meant for the I/O context thread; throws when closing the socket fails.
  virtual void close(std::string reason);
  virtual void startTransport(WhileConnectionCallback callback);
  virtual void emitClose(std::string reason);
  virtual void replaceClientIP(std::string ip);
  virtual void setClientIP(std::string ip);
  virtual void enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  virtual void doWrite();
  virtual void emitConnected();
  virtual std::string streambufToString(const boost::asio::streambuf& buffer);

 protected:
  void setCloseReason(std::string reason);
  void dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers);
  // Shared body of both read forms: the guard, then the receive, with the
  // read-guard's reporting of synchronous failures.
  template <typename StartReceive>
  void guardedReceive(StartReceive&& startReceive);

  std::uint32_t id;
  boost::posix_time::ptime creationTime;
  AuthInfoPtr authInfo;
  boost::asio::io_service& ioService;
  boost::asio::ip::udp::socket socket;
  // Destination of every send. Receives write to senderEndpoint instead, so a
  // datagram from anyone can never redirect what this connection sends.
  boost::asio::ip::udp::endpoint endpoint;
  boost::asio::ip::udp::endpoint senderEndpoint;
  // Touched only on the I/O context thread.
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
