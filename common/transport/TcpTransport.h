#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "common/transport/SocketTransport.h"

namespace quorvel::transport {

// Plain TCP byte stream; start only reports the socket as up.
class TcpTransport : public SocketTransport {
 public:
  TcpTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo);
  ~TcpTransport() override;

  void start(WhileConnectionCallback callback, const std::string& hostName) override;
  void cancel() override;
  void shutdown() override;
  void async_write(const std::shared_ptr<utils::WriteBuffers>& buffers, IoCallback callback) override;
  void async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) override;
  void async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) override;
  void async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) override;
  void async_read_some(boost::asio::streambuf& buffer, IoCallback callback) override;
  void async_read_until(boost::asio::streambuf& buffer, const std::string& delimiter, IoCallback callback) override;
  void async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) override;
  boost::asio::ip::tcp::socket& getSocket() override;

 private:
  boost::asio::ip::tcp::socket socket;
};

}  // namespace quorvel::transport
