#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/streambuf.hpp>

#include "common/connection/ConnectionCore.h"

namespace quorvel::transport {

// A connection over its own UDP socket: the shared connection core with
// datagrams in place of a transport (one datagram in flight).
class AsyncConnectionUdp : public std::enable_shared_from_this<AsyncConnectionUdp>, public ConnectionCore {
 public:
  // Room prepared in a stream buffer for one datagram.
  static constexpr std::size_t kReceiveBufferSize = 64000;

  explicit AsyncConnectionUdp(boost::asio::io_service& ioService);
  // An id of 0 takes the next number of the counter.
  AsyncConnectionUdp(boost::asio::io_service& ioService, AuthInfoPtr&& authInfo, std::uint32_t id);
  ~AsyncConnectionUdp() override;

  virtual void connectSignals();
  virtual void disconnectSignals();
  // One datagram per call; the sender is recorded apart from the send destination.
  virtual void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback);
  virtual void async_read_some(boost::asio::streambuf& buffer, IoCallback callback);
  virtual void postClose(std::string reason);
  virtual void postStartTransport(WhileConnectionCallback callback);
  bool isClosedGracefully(const boost::system::error_code& error) override;
  void printError(const boost::system::error_code& error, const std::string& where) override;
  virtual void closeSocket();
  virtual boost::asio::ip::udp::socket& getSocket();
  virtual bool isConnected();
  // Meant for the I/O context thread; throws when closing the socket fails.
  virtual void close(std::string reason);
  virtual void startTransport(WhileConnectionCallback callback);
  // Sends one datagram at once from the calling thread, any thread, without
  // waiting: false when the socket is closed or its send buffer is full.
  // Queuing instead would let callers faster than the socket grow the queue
  // without limit.
  bool trySend(const std::string& datagram);

 protected:
  std::shared_ptr<ConnectionCore> self() override;
  void sendFront(const std::shared_ptr<utils::WriteBuffers>& front, IoCallback done) override;
  std::optional<Endpoint> remoteEndpoint() override;

  boost::asio::ip::udp::socket socket;
  // Destination of every send. Receives write to senderEndpoint instead, so a
  // datagram from anyone can never redirect what this connection sends.
  boost::asio::ip::udp::endpoint endpoint;
  boost::asio::ip::udp::endpoint senderEndpoint;
  // Held by trySend and by whatever opens or closes the socket.
  std::mutex socketMutex;
};

}  // namespace quorvel::transport
