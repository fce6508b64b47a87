#include "common/transport/SSLTransport.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/transport/GracefulClose.h"
#include "common/utils/LogText.h"

namespace quorvel::transport {

template class StreamTransport<TlsStream>;

static log4cplus::Logger logger = log4cplus::Logger::getInstance("SSLTransport");

SSLTransport::SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context, int handshakeType,
                           AuthInfoPtr&& authInfo, std::string cipherList)
    : SSLTransport(ioService, context, boost::asio::ip::tcp::socket(ioService), handshakeType, std::move(authInfo),
                   std::move(cipherList)) {}

SSLTransport::SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context,
                           boost::asio::ip::tcp::socket&& socket, int handshakeType, AuthInfoPtr&& authInfo,
                           std::string cipherList)
    : StreamTransport(ioService, std::move(authInfo), std::move(socket), context),
      cipherList(std::move(cipherList)),
      context(&context),
      handshakeType(static_cast<std::uint8_t>(handshakeType)),
      handshakeTimer(ioService) {
  applyCiphers();
}

SSLTransport::SSLTransport(boost::asio::io_service& ioService, boost::asio::ssl::context& context,
                           TcpTransport& transport, int handshakeType, AuthInfoPtr&& authInfo, std::string cipherList)
    : SSLTransport(ioService, context, std::move(transport.getSocket()), handshakeType, std::move(authInfo),
                   std::move(cipherList)) {}

SSLTransport::~SSLTransport() = default;

void SSLTransport::applyCiphers() {
  if (cipherList.empty()) {
    return;
  }
  if (SSL_set_cipher_list(stream.native_handle(), cipherList.c_str()) == 0) {
    NIMBREL_LOG_FOLDED(logger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(), "SSL_set_cipher_list returned 0, which means no cipher was selected!");
  }
}

void SSLTransport::setHandshakeTimeout(std::chrono::milliseconds timeout) { handshakeTimeout = timeout; }

void SSLTransport::start(WhileConnectionCallback callback, const std::string& hostName) {
  auto self = std::static_pointer_cast<SSLTransport>(shared_from_this());
  if (!hostName.empty() && SSL_set_tlsext_host_name(stream.native_handle(), hostName.c_str()) != 1) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "SSL_set_tlsext_host_name failed with error nr: " << ERR_get_error()
                                           << "' while setting hostname on ssl connection.");
  }
  whileConnectionCallback = std::move(callback);
  if (handshakePending) {
    // The running handshake reports to the new callback; a second one would corrupt the session.
    return;
  }
  handshakePending = true;
  handshakeExpired = false;

  handshakeTimer.expires_after(handshakeTimeout);
  std::weak_ptr<SSLTransport> weak = self;
  handshakeTimer.async_wait([weak](const boost::system::error_code& error) {
    if (auto transport = weak.lock()) {
      transport->handshakeTimedOut(error);
    }
  });
  stream.async_handshake(static_cast<boost::asio::ssl::stream_base::handshake_type>(handshakeType),
                         [self](const boost::system::error_code& error) { self->handle_handshake(error); });
}

void SSLTransport::handshakeTimedOut(const boost::system::error_code& error) {
  if (error || !handshakePending) {
    return;
  }
  handshakeExpired = true;
  NIMBREL_LOG_FOLDED(logger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(),
                     "SSL handshake not completed within " + std::to_string(handshakeTimeout.count()) +
                         " ms, closing the connection.");
  // The pending handshake then completes with operation_aborted and reports the failure.
  closeSocket();
}

void SSLTransport::handle_handshake(const boost::system::error_code& error) {
  handshakePending = false;
  handshakeTimer.cancel();

  boost::system::error_code result = error;
  if (!result) {
    // A socket closed while the handshake finished leaves nothing to talk over.
    if (!getSocket().is_open()) {
      result = boost::asio::error::bad_descriptor;
    } else {
      getSocket().set_option(boost::asio::ip::tcp::no_delay(true), result);
    }
  }

  WhileConnectionCallback callback = std::move(whileConnectionCallback);
  whileConnectionCallback = nullptr;

  if (!result) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "SSL handshake complete ...");
    connected.exchange(true);
    connectedSignal();
    if (callback) {
      callback(true, result);
    }
    return;
  }

  connected.exchange(false);
  if (handshakeExpired) {
    closeSignal("SSLTransport: handshake timed out");
  } else if (result == boost::asio::error::eof || result == boost::asio::ssl::error::stream_truncated) {
    closeSignal(std::string());
  } else {
    printError(result, "SSLTransport::handle_handshake");
    closeSignal("SSLTransport: " + result.message());
  }
  if (callback) {
    callback(false, result);
  }
}

void SSLTransport::cancel() {
  boost::system::error_code ignored;
  getSocket().cancel(ignored);
}

void SSLTransport::shutdown() {
  if (!connected.load()) {
    closeSocket();
    return;
  }
  auto self = std::static_pointer_cast<SSLTransport>(shared_from_this());
  stream.async_shutdown([self](const boost::system::error_code&) { self->clearConnected(); });
  // Closing the socket right after the close notification has been handed over
  // means a peer that never answers cannot keep this connection open.
  auto record = std::make_shared<utils::WriteBuffers>(std::string(), 0, IoCallback());
  async_write(record, [self, record](const boost::system::error_code& error, std::size_t) {
    self->writeShutdownHandler(error);
  });
}

void SSLTransport::async_close_write(IoCallback callback) {
  if (!connected.exchange(false)) {
    boost::asio::post(stream.get_executor(), [done = complete(std::move(callback))] {
      done(boost::asio::error::not_connected, 0);
    });
    return;
  }
  auto self = std::static_pointer_cast<SSLTransport>(shared_from_this());
  stream.async_shutdown([self, done = complete(std::move(callback))](const boost::system::error_code& error) {
    boost::system::error_code result = error;
    if (!result) {
      // The FIN right behind the close notification: a client reading to the
      // end of the stream needs both.
      self->getSocket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, result);
    }
    done(result, 0);
  });
}

void SSLTransport::async_discard_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  getSocket().async_read_some(buffer, complete(std::move(callback)));
}

void SSLTransport::writeShutdownHandler(const boost::system::error_code& /*error*/) {
  if (getSocket().is_open()) {
    boost::system::error_code error;
    getSocket().close(error);
    if (error) {
      NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), "Got error '" + error.message() + "' while closing the socket.");
    }
  }
  connected.exchange(false);
}

void SSLTransport::closeSocket() {
  if (!getSocket().is_open()) {
    return;
  }
  boost::system::error_code error;
  getSocket().cancel(error);
  getSocket().close(error);
  if (error) {
    NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), "Got error '" + error.message() + "' while closing the socket.");
  }
}

bool SSLTransport::clearConnected() { return connected.exchange(false); }

bool SSLTransport::isClosedGracefully(const boost::system::error_code& error) {
  return isGracefulClose(error, false);
}

void SSLTransport::printError(const boost::system::error_code& error, const std::string& where) {
  logIoFailure(logger, getLogPrefix(), error, isClosedGracefully(error), where);
}

boost::asio::ip::tcp::socket& SSLTransport::getSocket() { return stream.next_layer(); }

TlsStream& SSLTransport::getStream() { return stream; }

}  // namespace quorvel::transport
