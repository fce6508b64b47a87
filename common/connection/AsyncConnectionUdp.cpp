#include "common/connection/AsyncConnectionUdp.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <boost/asio/post.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/authentication/AuthInfo.h"
#include "common/transport/GracefulClose.h"
#include "common/utils/LogText.h"

namespace quorvel::transport {

namespace {

log4cplus::Logger udpLogger = log4cplus::Logger::getInstance("ASyncConUdp");

// Separate from the stream connections' counter: UDP ids start at 1 of their own.
std::atomic<std::uint32_t> udpConnectionCounter{1};

}  // namespace

AsyncConnectionUdp::AsyncConnectionUdp(boost::asio::io_service& ioService)
    : AsyncConnectionUdp(ioService, nullptr, 0) {}

AsyncConnectionUdp::AsyncConnectionUdp(boost::asio::io_service& ioService, AuthInfoPtr&& authInfo, std::uint32_t id)
    : ConnectionCore(ioService, std::move(authInfo), id != 0 ? id : udpConnectionCounter.fetch_add(1), udpLogger,
                     false),
      socket(ioService) {}

AsyncConnectionUdp::~AsyncConnectionUdp() { AsyncConnectionUdp::disconnectSignals(); }

std::shared_ptr<ConnectionCore> AsyncConnectionUdp::self() { return shared_from_this(); }

void AsyncConnectionUdp::connectSignals() {
  using Slot = boost::signals2::signal<void(std::string)>::slot_type;
  std::weak_ptr<AsyncConnectionUdp> weak = weak_from_this();
  closeSignal.connect(Slot([this](std::string reason) { postClose(std::move(reason)); }).track_foreign(weak));
}

void AsyncConnectionUdp::disconnectSignals() { closeSignal.disconnect_all_slots(); }

void AsyncConnectionUdp::sendFront(const std::shared_ptr<utils::WriteBuffers>& front, IoCallback done) {
  socket.async_send_to(front->sequence(), endpoint, std::move(done));
}

std::optional<ConnectionCore::Endpoint> AsyncConnectionUdp::remoteEndpoint() {
  const auto remote = socket.remote_endpoint();
  return Endpoint{remote.address(), remote.port()};
}

void AsyncConnectionUdp::async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  guardedRead("async_read_some called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read", [&] {
                socket.async_receive_from(
                    buffer, senderEndpoint,
                    [self = shared_from_this(), callback](const boost::system::error_code& error, std::size_t bytes) {
                      if (callback) {
                        callback(error, bytes);
                      }
                    });
              });
}

void AsyncConnectionUdp::async_read_some(boost::asio::streambuf& buffer, IoCallback callback) {
  guardedRead("async_read_some called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read", [&] {
                auto space = buffer.prepare(kReceiveBufferSize);
                const std::size_t prepared = boost::asio::buffer_size(space);
                socket.async_receive_from(space, senderEndpoint,
                                          [self = shared_from_this(), &buffer, prepared, callback](
                                              const boost::system::error_code& error, std::size_t bytes) {
                                            buffer.commit(std::min(bytes, prepared));
                                            if (callback) {
                                              callback(error, bytes);
                                            }
                                          });
              });
}

void AsyncConnectionUdp::postClose(std::string reason) {
  boost::asio::post(ioService, [self = shared_from_this(), reason = std::move(reason)]() mutable {
    // Runs on a pool thread: an escaping exception would end that thread.
    try {
      self->close(std::move(reason));
    } catch (const std::exception& e) {
      LOG4CPLUS_ERROR(udpLogger, self->getLogPrefix() << "Closing the UDP connection failed: " << e.what());
    } catch (...) {
      LOG4CPLUS_ERROR(udpLogger, self->getLogPrefix() << "Closing the UDP connection failed.");
    }
  });
}

void AsyncConnectionUdp::postStartTransport(WhileConnectionCallback callback) {
  boost::asio::post(ioService, [self = shared_from_this(), callback = std::move(callback)]() mutable {
    self->startTransport(std::move(callback));
  });
}

bool AsyncConnectionUdp::isClosedGracefully(const boost::system::error_code& error) {
  return closed.load() || isGracefulClose(error, false);
}

void AsyncConnectionUdp::printError(const boost::system::error_code& error, const std::string& where) {
  if (isClosedGracefully(error)) {
    LOG4CPLUS_DEBUG(udpLogger, getLogPrefix() << "Connection closed gracefully( " << where << " ).");
  } else {
    NIMBREL_LOG_FOLDED(udpLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(), where + " Error was : " + error.message());
  }
}

void AsyncConnectionUdp::closeSocket() {
  std::lock_guard<std::mutex> lock(socketMutex);
  if (socket.is_open()) {
    boost::system::error_code ignored;
    socket.close(ignored);
  }
}

boost::asio::ip::udp::socket& AsyncConnectionUdp::getSocket() { return socket; }

bool AsyncConnectionUdp::isConnected() { return true; }

void AsyncConnectionUdp::close(std::string reason) {
  if (closed.load()) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(socketMutex);
    if (socket.is_open()) {
      socket.close();
    }
  }
  closed.store(true);
  setCloseReason(std::move(reason));
}

bool AsyncConnectionUdp::trySend(const std::string& datagram) {
  std::lock_guard<std::mutex> lock(socketMutex);
  if (!socket.is_open()) {
    return false;
  }
  boost::system::error_code error;
  if (!socket.non_blocking()) {
    socket.non_blocking(true, error);
  }
  if (!error) {
    socket.send_to(boost::asio::buffer(datagram), endpoint, 0, error);
  }
  if (error) {
    // Once per wake request while the network is down: folded like the client's own errors.
    NIMBREL_LOG_FOLDED(udpLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(), "Sending a datagram failed: " + error.message());
    return false;
  }
  return true;
}

void AsyncConnectionUdp::startTransport(WhileConnectionCallback callback) {
  if (callback) {
    callback(true, boost::system::error_code());
  }
}

}  // namespace quorvel::transport
