#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "common/transport/SocketTransport.h"

namespace quorvel::transport {

extern template class StreamTransport<boost::asio::ip::tcp::socket>;

// Plain TCP byte stream; start only reports the socket as up.
class TcpTransport : public StreamTransport<boost::asio::ip::tcp::socket> {
 public:
  TcpTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo);
  ~TcpTransport() override;

  void start(WhileConnectionCallback callback, const std::string& hostName) override;
  void cancel() override;
  void shutdown() override;
  void async_close_write(IoCallback callback) override;
  boost::asio::ip::tcp::socket& getSocket() override;
};

}  // namespace quorvel::transport
