#include "common/connection/AsyncConnectionUdp.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/authentication/AuthInfo.h"

namespace quorvel::transport {

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance("ASyncConUdp");

// Separate from the stream connections' counter: UDP ids start at 1 of their own.
std::atomic<std::uint32_t> udpConnectionCounter{1};

AuthInfoPtr makeAuthInfo(std::uint32_t id) {
  auto info = std::make_shared<authentication::AuthInfo>();
  info->setConnectionId("cid:" + std::to_string(id));
  return info;
}

// Error values that mean the peer or we ended the exchange, whatever their category.
bool isGracefulValue(int value) {
  switch (value) {
    case 1236:   // ERROR_CONNECTION_ABORTED
    case 2:      // end of file / ENOENT
    case 104:    // ECONNRESET
    case 10054:  // WSAECONNRESET
    case 995:    // ERROR_OPERATION_ABORTED
      return true;
    default:
      return false;
  }
}

}  // namespace

AsyncConnectionUdp::AsyncConnectionUdp(boost::asio::io_service& ioService)
    : id(udpConnectionCounter.fetch_add(1)),
      creationTime(boost::posix_time::second_clock::universal_time()),
      authInfo(makeAuthInfo(id)),
      ioService(ioService),
      socket(ioService) {}

AsyncConnectionUdp::AsyncConnectionUdp(boost::asio::io_service& ioService, AuthInfoPtr&& authInfo, std::uint32_t id)
    : id(id != 0 ? id : udpConnectionCounter.fetch_add(1)),
      creationTime(boost::posix_time::second_clock::universal_time()),
      authInfo(authInfo ? std::move(authInfo) : makeAuthInfo(this->id)),
      ioService(ioService),
      socket(ioService) {}

AsyncConnectionUdp::~AsyncConnectionUdp() { AsyncConnectionUdp::disconnectSignals(); }

void AsyncConnectionUdp::connectSignals() {
  using Slot = boost::signals2::signal<void(std::string)>::slot_type;
  std::weak_ptr<AsyncConnectionUdp> weak = weak_from_this();
  closeSignal.connect(
      Slot([this](std::string reason) { postClose(std::move(reason)); }).track_foreign(weak));
}

void AsyncConnectionUdp::disconnectSignals() { closeSignal.disconnect_all_slots(); }

void AsyncConnectionUdp::async_write(const std::string& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(data, offset, std::move(callback)));
}

void AsyncConnectionUdp::async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                                     IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(buffer, length, offset, std::move(callback)));
}

void AsyncConnectionUdp::async_write(std::string&& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(data), offset, std::move(callback)));
}

void AsyncConnectionUdp::async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                                     IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(buffer), length, offset, std::move(callback)));
}

void AsyncConnectionUdp::dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  boost::asio::dispatch(ioService, [self = shared_from_this(), buffers = std::move(buffers)]() mutable {
    self->enqueueWrite(std::move(buffers));
  });
}

void AsyncConnectionUdp::enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  if (closed.load()) {
    if (buffers->callback) {
      buffers->callback(boost::asio::error::operation_aborted, 0);
    }
    return;
  }
  // An offset or length outside the payload would make the socket read foreign memory.
  if (!buffers->isValid()) {
    if (buffers->callback) {
      buffers->callback(boost::asio::error::invalid_argument, 0);
    }
    return;
  }
  writeQueue.push_back(std::move(buffers));
  if (!writing.load()) {
    doWrite();
  }
}

void AsyncConnectionUdp::doWrite() {
  if (writeQueue.empty()) {
    return;
  }
  writing.store(true);
  const auto& front = writeQueue.front();
  socket.async_send_to(boost::asio::buffer(front->data(), front->size()), endpoint,
                       [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
                         self->writeHandler(error, bytes);
                       });
}

void AsyncConnectionUdp::writeHandler(const boost::system::error_code& error, std::size_t bytesTransferred) {
  if (!error) {
    if (!writeQueue.empty()) {
      auto done = writeQueue.front();
      if (done->callback) {
        done->callback(error, bytesTransferred);
      }
      writeQueue.pop_front();
    }
    if (writeQueue.empty()) {
      writing.store(false);
    } else {
      doWrite();
    }
    return;
  }

  printError(error, "AsyncConnection::writeHandler");
  // Swap first: a callback may queue a new write, which must not be aborted with these.
  std::deque<std::shared_ptr<utils::WriteBuffers>> failed;
  failed.swap(writeQueue);
  writing.store(false);
  for (const auto& buffers : failed) {
    if (buffers->callback) {
      buffers->callback(boost::asio::error::operation_aborted, bytesTransferred);
    }
  }
  emitClose(error.message());
}

template <typename StartReceive>
void AsyncConnectionUdp::guardedReceive(StartReceive&& startReceive) {
  if (readPending.exchange(true)) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "async_read_some called but reading is already pending!");
    return;
  }
  try {
    startReceive();
  } catch (const std::exception& e) {
    const std::string what = e.what();
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << "async_read_until throws '" << what << "' shutting down connection!");
    emitClose(what);
  } catch (...) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << "async_read_until throws an exception, shutting down connection!");
    emitClose("Exception while async_read");
  }
}

void AsyncConnectionUdp::async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  guardedReceive([&] {
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
  guardedReceive([&] {
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

bool AsyncConnectionUdp::isReadPending() { return readPending.load(); }

void AsyncConnectionUdp::clearReadPending() { readPending.store(false); }

std::string AsyncConnectionUdp::getClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return clientIP;
}

std::uint16_t AsyncConnectionUdp::getClientPort() { return clientPort.load(); }

boost::asio::io_service& AsyncConnectionUdp::getIOService() { return ioService; }

void AsyncConnectionUdp::postClose(std::string reason) {
  boost::asio::post(ioService, [self = shared_from_this(), reason = std::move(reason)]() mutable {
    // Runs on a pool thread: an escaping exception would end that thread.
    try {
      self->close(std::move(reason));
    } catch (const std::exception& e) {
      LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Closing the UDP connection failed: " << e.what());
    } catch (...) {
      LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Closing the UDP connection failed.");
    }
  });
}

void AsyncConnectionUdp::postStartTransport(WhileConnectionCallback callback) {
  boost::asio::post(ioService, [self = shared_from_this(), callback = std::move(callback)]() mutable {
    self->startTransport(std::move(callback));
  });
}

std::uint32_t AsyncConnectionUdp::getId() { return id; }

const boost::posix_time::ptime& AsyncConnectionUdp::getCreationTime() { return creationTime; }

std::string AsyncConnectionUdp::getCloseReason() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return closeReason;
}

void AsyncConnectionUdp::setCloseReason(std::string reason) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  closeReason = std::move(reason);
}

std::string AsyncConnectionUdp::getLogPrefix() { return authInfo ? authInfo->toString() : std::string(); }

bool AsyncConnectionUdp::isClosedGracefully(const boost::system::error_code& error) {
  return isGracefulValue(error.value()) || closed.load() || error == boost::system::errc::operation_canceled ||
         error == boost::system::errc::success || error == boost::asio::ssl::error::stream_truncated;
}

void AsyncConnectionUdp::printError(const boost::system::error_code& error, const std::string& where) {
  if (isClosedGracefully(error)) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Connection closed gracefully( " << where << " ).");
  } else {
    LOG4CPLUS_WARN(logger, getLogPrefix() << where << " Error was : " << error.message());
  }
}

AuthInfoPtr AsyncConnectionUdp::getAuthInfo() { return authInfo; }

void AsyncConnectionUdp::closeSocket() {
  if (socket.is_open()) {
    boost::system::error_code ignored;
    socket.close(ignored);
  }
}

boost::asio::ip::udp::socket& AsyncConnectionUdp::getSocket() { return socket; }

void AsyncConnectionUdp::initClientInfo() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  initClientIP();
  initClientPort();
}

void AsyncConnectionUdp::setCountry(std::string country) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  this->country = std::move(country);
}

std::string AsyncConnectionUdp::getCountry() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return country;
}

bool AsyncConnectionUdp::isConnected() { return true; }

void AsyncConnectionUdp::initClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  try {
    clientIP = socket.remote_endpoint().address().to_string();
  } catch (const std::exception& e) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << " Exception while getting remote ip caught. Therefore no client ip will be "
                                  "visible. Error was: "
                               << e.what());
  } catch (...) {
    LOG4CPLUS_WARN(logger, getLogPrefix() << "Exception while getting remote ip caught. Therefore no client ip "
                                             "will be visible.");
  }
}

void AsyncConnectionUdp::initClientPort() {
  try {
    clientPort.store(socket.remote_endpoint().port());
  } catch (const std::exception& e) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << " Exception while getting remote port caught. Therefore no client ip will be "
                                  "visible. Error was: "
                               << e.what());
  } catch (...) {
    LOG4CPLUS_WARN(logger, getLogPrefix() << "Exception while getting remote port caught. Therefore no client ip "
                                             "will be visible.");
  }
}

void AsyncConnectionUdp::close(std::string reason) {
  if (closed.load()) {
    return;
  }
  if (socket.is_open()) {
    socket.close();
  }
  closed.store(true);
  setCloseReason(std::move(reason));
}

void AsyncConnectionUdp::startTransport(WhileConnectionCallback callback) {
  if (callback) {
    callback(true, boost::system::error_code());
  }
}

void AsyncConnectionUdp::emitClose(std::string reason) { closeSignal(std::move(reason)); }

void AsyncConnectionUdp::replaceClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  setClientIP(std::move(ip));
  clientPort.store(0);
}

void AsyncConnectionUdp::setClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  clientIP = std::move(ip);
}

void AsyncConnectionUdp::emitConnected() { connectedSignal(); }

std::string AsyncConnectionUdp::streambufToString(const boost::asio::streambuf& buffer) {
  const auto data = buffer.data();
  return std::string(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
}

}  // namespace quorvel::transport
