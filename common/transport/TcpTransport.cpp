#include "common/transport/TcpTransport.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace quorvel::transport {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("TcpTransport");

TcpTransport::TcpTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo)
    : SocketTransport(ioService, std::move(authInfo)), socket(ioService) {}

TcpTransport::~TcpTransport() = default;

void TcpTransport::start(WhileConnectionCallback callback, const std::string& /*hostName*/) {
  LOG4CPLUS_TRACE(logger, getLogPrefix() << "Socket connected ...");
  connected.exchange(true);
  if (callback) {
    callback(true, boost::system::error_code(0, boost::system::generic_category()));
  }
  connectedSignal();
}

void TcpTransport::cancel() {
  if (socket.is_open()) {
    boost::system::error_code ignored;
    socket.cancel(ignored);
  }
}

void TcpTransport::shutdown() {
  if (socket.is_open()) {
    boost::system::error_code error;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
    if (error) {
      LOG4CPLUS_ERROR(logger, getLogPrefix() << "Got error '" << error.message() << "' while shutting down the socket.");
    }
    socket.close(error);
    if (error) {
      LOG4CPLUS_ERROR(logger, getLogPrefix() << "Got error '" << error.message() << "' while closing the socket.");
    }
  }
  connected.exchange(false);
}

void TcpTransport::async_write(const std::shared_ptr<utils::WriteBuffers>& buffers, IoCallback callback) {
  streamops::write(socket, buffers, std::move(callback));
}

void TcpTransport::async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) {
  streamops::read(socket, buffer, count, std::move(callback));
}

void TcpTransport::async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) {
  streamops::read(socket, buffer, count, std::move(callback));
}

void TcpTransport::async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  streamops::readSome(socket, buffer, std::move(callback));
}

void TcpTransport::async_read_some(boost::asio::streambuf& buffer, IoCallback callback) {
  streamops::readSome(socket, buffer, std::move(callback));
}

void TcpTransport::async_read_until(boost::asio::streambuf& buffer, const std::string& delimiter,
                                    IoCallback callback) {
  streamops::readUntil(socket, buffer, delimiter, std::move(callback));
}

void TcpTransport::async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) {
  streamops::readUntil(socket, buffer, std::move(match), std::move(callback));
}

boost::asio::ip::tcp::socket& TcpTransport::getSocket() { return socket; }

}  // namespace quorvel::transport
