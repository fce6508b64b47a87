#include "common/transport/TcpTransport.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/utils/LogText.h"

namespace quorvel::transport {

template class StreamTransport<boost::asio::ip::tcp::socket>;

static log4cplus::Logger logger = log4cplus::Logger::getInstance("TcpTransport");

TcpTransport::TcpTransport(boost::asio::io_service& ioService, AuthInfoPtr authInfo)
    : StreamTransport(ioService, std::move(authInfo), ioService) {}

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
  if (stream.is_open()) {
    boost::system::error_code ignored;
    stream.cancel(ignored);
  }
}

void TcpTransport::shutdown() {
  if (stream.is_open()) {
    boost::system::error_code error;
    // Not after async_close_write: the peer may have ended its side as well
    // by now, and there is nothing left to shut down.
    if (connected.load()) {
      stream.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
    }
    if (error) {
      NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), "Got error '" + error.message() + "' while shutting down the socket.");
    }
    stream.close(error);
    if (error) {
      NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), "Got error '" + error.message() + "' while closing the socket.");
    }
  }
  connected.exchange(false);
}

void TcpTransport::async_close_write(IoCallback callback) {
  boost::system::error_code error;
  if (!connected.exchange(false)) {
    error = boost::asio::error::not_connected;
  } else {
    stream.shutdown(boost::asio::ip::tcp::socket::shutdown_send, error);
  }
  boost::asio::post(stream.get_executor(), [done = complete(std::move(callback)), error] { done(error, 0); });
}

boost::asio::ip::tcp::socket& TcpTransport::getSocket() { return stream; }

}  // namespace quorvel::transport
