#pragma once

#include <atomic>
#include <cstdint>

#include "common/connection/AsyncConnectionUdp.h"

namespace quorvel::transport {

// An IPv4 UDP socket that sends every datagram to 255.255.255.255 on one port.
class AsyncConnectionUdpBroadcastClient : public AsyncConnectionUdp {
 public:
  explicit AsyncConnectionUdpBroadcastClient(boost::asio::io_service& ioService);
  AsyncConnectionUdpBroadcastClient(boost::asio::io_service& ioService, AuthInfoPtr&& authInfo, std::uint32_t id);
  ~AsyncConnectionUdpBroadcastClient() override;

  void connectSignals() override;
  void disconnectSignals() override;
  // True only between a successful open and the next close.
  bool isConnected() override;
  void close(std::string reason) override;

  // Opens on the I/O context; a failure is logged and leaves the client not open.
  virtual void postOpen(unsigned short port);
  // Throws boost::system::system_error when the socket cannot be opened or
  // made a broadcast socket, or is open already.
  virtual void open(unsigned short port);

 private:
  std::atomic<bool> isOpen{false};
};

}  // namespace quorvel::transport
