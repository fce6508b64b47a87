#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/transport/SocketTransport.h"
#include "common/transport/TcpTransport.h"
#include "common/transport/TlsStream.h"

namespace quorvel::transport {

extern template class StreamTransport<TlsStream>;

// TLS over a TCP socket: start is the handshake, shutdown sends the close
// notification without ever waiting for the peer's.
class SSLTransport : public StreamTransport<TlsStream> {
 public:
  // A client that connects and never finishes its handshake would otherwise
  // hold a descriptor forever; legitimate handshakes take well under a second.
  static constexpr std::chrono::milliseconds kHandshakeTimeout{std::chrono::seconds(30)};

  SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context, int handshakeType,
               AuthInfoPtr&& authInfo, std::string cipherList);
  SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context,
               boost::asio::ip::tcp::socket&& socket, int handshakeType, AuthInfoPtr&& authInfo,
               std::string cipherList);
  SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context, TcpTransport& transport,
               int handshakeType, AuthInfoPtr&& authInfo, std::string cipherList);
  ~SSLTransport() override;

  void start(WhileConnectionCallback callback, const std::string& hostName) override;
  void cancel() override;
  void shutdown() override;
  void async_close_write(IoCallback callback) override;
  // Raw from the socket: what follows the close notification is never decrypted.
  void async_discard_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) override;
  boost::asio::ip::tcp::socket& getSocket() override;

  virtual TlsStream& getStream();
  virtual void writeShutdownHandler(const boost::system::error_code& error);
  virtual bool clearConnected();
  virtual void handle_handshake(const boost::system::error_code& error);
  virtual bool isClosedGracefully(const boost::system::error_code& error);
  virtual void printError(const boost::system::error_code& error, const std::string& where);

  // Takes effect for handshakes started afterwards.
  void setHandshakeTimeout(std::chrono::milliseconds timeout);

 private:
  void applyCiphers();
  void handshakeTimedOut(const boost::system::error_code& error);
  void closeSocket();

  std::string cipherList;
  // Kept with the session it configured; the listener owns it.
  [[maybe_unused]] boost::asio::ssl::context* context;
  std::uint8_t handshakeType;
  boost::asio::steady_timer handshakeTimer;
  std::chrono::milliseconds handshakeTimeout = kHandshakeTimeout;
  // Both only touched on the I/O context's thread.
  bool handshakePending = false;
  bool handshakeExpired = false;
};

}  // namespace quorvel::transport
