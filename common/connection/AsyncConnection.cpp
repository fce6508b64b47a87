#include "common/connection/AsyncConnection.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/authentication/AuthInfo.h"
#include "common/transport/SocketTransport.h"
#include "common/utils/LogText.h"

namespace quorvel::transport {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("ASyncCon");

namespace {

std::atomic<std::uint32_t> connectionCounter{1};

boost::asio::io_service& ioServiceOf(const std::shared_ptr<Transport>& transport) {
  if (!transport) {
    throw std::invalid_argument("AsyncConnection needs a transport");
  }
  return transport->getIOService();
}

}  // namespace

AsyncConnection::AsyncConnection(std::shared_ptr<Transport>&& transport)
    : id(connectionCounter.fetch_add(1)),
      creationTime(boost::posix_time::second_clock::universal_time()),
      ioService(ioServiceOf(transport)),
      transport(std::move(transport)) {
  authInfo = this->transport->getAuthInfo();
  if (!authInfo) {
    authInfo = std::make_shared<authentication::AuthInfo>();
  }
  authInfo->setConnectionId("cid:" + std::to_string(id));
  if (!this->transport->getAuthInfo()) {
    this->transport->setAuthInfo(authInfo);
  }
}

AsyncConnection::AsyncConnection(std::shared_ptr<Transport>&& transport, AuthInfoPtr&& authInfo, std::uint32_t id)
    : id(id),
      creationTime(boost::posix_time::second_clock::universal_time()),
      authInfo(std::move(authInfo)),
      ioService(ioServiceOf(transport)),
      transport(std::move(transport)) {
  if (!this->authInfo) {
    this->authInfo = std::make_shared<authentication::AuthInfo>();
    this->authInfo->setConnectionId("cid:" + std::to_string(id));
  }
  if (!this->transport->getAuthInfo()) {
    this->transport->setAuthInfo(this->authInfo);
  }
}

AsyncConnection::~AsyncConnection() { AsyncConnection::disconnectSignals(); }

void AsyncConnection::connectSignals() {
  // Tracked slots stop firing once the connection is gone, so a transport
  // that outlives it cannot call into freed memory.
  const std::weak_ptr<AsyncConnection> self = weak_from_this();
  using CloseSlot = boost::signals2::signal<void(std::string)>::slot_type;
  using ConnectedSlot = boost::signals2::signal<void()>::slot_type;
  closeSignal.connect(CloseSlot([this](std::string reason) { postCloseConnection(std::move(reason)); })
                          .track_foreign(self));
  transport->closeSignal.connect(CloseSlot([this](std::string reason) { emitClose(std::move(reason)); })
                                     .track_foreign(self));
  transport->connectedSignal.connect(ConnectedSlot([this] { emitConnected(); }).track_foreign(self));
}

void AsyncConnection::disconnectSignals() { closeSignal.disconnect_all_slots(); }

// ---- writes ----

void AsyncConnection::async_write(const std::string& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(data, offset, std::move(callback)));
}

void AsyncConnection::async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                                  IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(buffer, length, offset, std::move(callback)));
}

void AsyncConnection::async_write(std::string&& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(data), offset, std::move(callback)));
}

void AsyncConnection::async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                                  IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(buffer), length, offset, std::move(callback)));
}

void AsyncConnection::dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  // The queue is only ever touched on the connection's own thread.
  auto self = shared_from_this();
  boost::asio::dispatch(ioService, [self, buffers = std::move(buffers)]() mutable {
    self->enqueueWrite(std::move(buffers));
  });
}

void AsyncConnection::enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  if (closed.load() && !writing.load()) {
    runCallback(buffers->callback, boost::asio::error::operation_aborted, 0);
    return;
  }
  // While a write is in flight, even a refused write waits for its turn so
  // that callbacks keep the order in which the writes were issued.
  writeQueue.push_back(std::move(buffers));
  if (!writing.load()) {
    doWrite();
  }
}

void AsyncConnection::doWrite() {
  while (!writeQueue.empty()) {
    if (closed.load()) {
      abortQueue(nullptr, 0);
      return;
    }
    writing.store(true);
    std::shared_ptr<utils::WriteBuffers> front = writeQueue.front();
    if (!front->isValid()) {
      writeQueue.pop_front();
      LOG4CPLUS_WARN(logger, getLogPrefix() << "Refusing a write whose offset or length lies beyond its data.");
      runCallback(front->callback, boost::asio::error::invalid_argument, 0);
      continue;
    }
    auto self = shared_from_this();
    transport->async_write(front, [self](const boost::system::error_code& error, std::size_t bytesTransferred) {
      self->writeHandler(error, bytesTransferred);
    });
    return;
  }
  writing.store(false);
}

void AsyncConnection::writeHandler(const boost::system::error_code& error, std::size_t bytesTransferred) {
  if (writeQueue.empty()) {
    writing.store(false);
    return;
  }
  // Taken out before its callback runs: the callback may write or close again.
  std::shared_ptr<utils::WriteBuffers> done = std::move(writeQueue.front());
  writeQueue.pop_front();
  if (!error) {
    runCallback(done->callback, error, bytesTransferred);
    doWrite();
    return;
  }
  printError(error, "AsyncConnection::writeHandler");
  abortQueue(std::move(done), bytesTransferred);
  emitClose(error.message());
}

void AsyncConnection::abortQueue(std::shared_ptr<utils::WriteBuffers> first, std::size_t bytesTransferred) {
  // Stays set while the callbacks run so that writes they issue queue up
  // behind and are aborted in turn instead of reaching the transport.
  writing.store(true);
  std::deque<std::shared_ptr<utils::WriteBuffers>> entries;
  entries.swap(writeQueue);
  if (first) {
    entries.push_front(std::move(first));
  }
  while (!entries.empty()) {
    for (const auto& entry : entries) {
      runCallback(entry->callback, boost::asio::error::operation_aborted, bytesTransferred);
    }
    entries.clear();
    entries.swap(writeQueue);
    bytesTransferred = 0;
  }
  writing.store(false);
}

void AsyncConnection::runCallback(const IoCallback& callback, const boost::system::error_code& error,
                                  std::size_t bytesTransferred) {
  if (!callback) {
    return;
  }
  try {
    callback(error, bytesTransferred);
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Write callback threw '" << e.what() << "'.");
  } catch (...) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Write callback threw an exception.");
  }
}

// ---- reads ----

template <typename ReadCall>
void AsyncConnection::guardedRead(const char* pendingMessage, const char* typedThrowName, const char* stdThrowName,
                                  const char* unknownThrowName, const char* unknownReason, ReadCall&& read) {
  if (readPending.exchange(true)) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << pendingMessage);
    return;
  }
  try {
    read();
  } catch (const boost::system::system_error& e) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << typedThrowName << " throws '" << e.what()
                                           << "' shutting down connection!");
    emitClose(e.what());
  } catch (const std::exception& e) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << stdThrowName << " throws '" << e.what() << "' shutting down connection!");
    emitClose(e.what());
  } catch (...) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << unknownThrowName << " throws an exception, shutting down connection!");
    emitClose(unknownReason);
  }
}

void AsyncConnection::async_read(boost::asio::streambuf& buffer, std::size_t count, IoCallback callback) {
  guardedRead("async_read called but reading is already pending!", "async_read", "async_read", "async_read",
              "Exception while async_read",
              [&] { transport->async_read(buffer, count, std::move(callback)); });
}

void AsyncConnection::async_read(boost::asio::mutable_buffers_1 buffer, std::size_t count, IoCallback callback) {
  guardedRead("async_read called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read",
              [&] { transport->async_read(buffer, count, std::move(callback)); });
}

void AsyncConnection::async_read_some(boost::asio::mutable_buffers_1 buffer, IoCallback callback) {
  guardedRead("async_read_some called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read",
              [&] { transport->async_read_some(buffer, std::move(callback)); });
}

void AsyncConnection::async_read_some(boost::asio::streambuf& buffer, IoCallback callback) {
  guardedRead("async_read_some called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read",
              [&] { transport->async_read_some(buffer, std::move(callback)); });
}

void AsyncConnection::async_read_until(boost::asio::streambuf& buffer, std::string delimiter, IoCallback callback) {
  guardedRead("async_read_until called but reading is already pending!", "async_read_until", "async_read_until",
              "async_read_until", "Exception while async_read_until",
              [&] { transport->async_read_until(buffer, delimiter, std::move(callback)); });
}

void AsyncConnection::async_read_until(boost::asio::streambuf& buffer, MatchCondition match, IoCallback callback) {
  guardedRead("async_read_until called but reading is already pending!", "async_read_until", "async_read",
              "async_read_until", "Exception while async_read_until",
              [&] { transport->async_read_until(buffer, std::move(match), std::move(callback)); });
}

bool AsyncConnection::isReadPending() { return readPending.load(); }

bool AsyncConnection::isWriting() { return writing.load(); }

void AsyncConnection::clearReadPending() { readPending.store(false); }

// ---- lifecycle ----

void AsyncConnection::postCloseConnection(std::string reason) {
  auto self = shared_from_this();
  boost::asio::post(ioService, [self, reason = std::move(reason)]() mutable { self->closeConnection(std::move(reason)); });
}

void AsyncConnection::postClose(std::string reason) {
  auto self = shared_from_this();
  boost::asio::post(ioService, [self, reason = std::move(reason)]() mutable { self->close(std::move(reason)); });
}

void AsyncConnection::postStartTransport(WhileConnectionCallback callback) {
  auto self = shared_from_this();
  boost::asio::post(ioService,
                    [self, callback = std::move(callback)]() mutable { self->startTransport(std::move(callback)); });
}

void AsyncConnection::startTransport(WhileConnectionCallback callback) {
  auto self = shared_from_this();
  transport->start(
      [self, callback = std::move(callback)](bool connected, const boost::system::error_code& error) {
        if (!callback) {
          return;
        }
        try {
          callback(connected, error);
        } catch (const std::exception& e) {
          LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Start callback threw '" << e.what() << "'.");
        } catch (...) {
          LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Start callback threw an exception.");
        }
      },
      "");
}

void AsyncConnection::close(std::string reason) {
  if (closed.exchange(true)) {
    return;
  }
  setCloseReason(std::move(reason));
  transport->shutdown();
}

void AsyncConnection::closeConnection(std::string reason) { close(std::move(reason)); }

void AsyncConnection::emitClose(std::string reason) { closeSignal(std::move(reason)); }

void AsyncConnection::emitConnected() { connectedSignal(); }

bool AsyncConnection::isClosedGracefully(const boost::system::error_code& error) {
  switch (error.value()) {
    case 1236:
    case 2:
    case 104:
    case 10054:
    case 995:
    case 109:
      return true;
    default:
      break;
  }
  if (closed.load()) {
    return true;
  }
  if (error == boost::system::errc::operation_canceled) {
    return true;
  }
  if (error == boost::system::error_condition(0, boost::system::generic_category())) {
    return true;
  }
  return error == boost::asio::ssl::error::stream_truncated;
}

void AsyncConnection::printError(const boost::system::error_code& error, const std::string& where) {
  if (isClosedGracefully(error)) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Connection closed gracefully( " << where << " ).");
    return;
  }
  // Any client can cause these, so a flood of them is folded.
  static utils::LogRepeatFolder folder(utils::kLogRepeatWindow);
  const std::string message = error.message();
  std::size_t folded = 0;
  if (folder.admit(where + message, folded)) {
    LOG4CPLUS_WARN(logger, getLogPrefix() << where << " Error was: '" << message << "'" << utils::foldedNote(folded));
  }
}

// ---- identity and client address ----

std::uint32_t AsyncConnection::getId() { return id; }

const boost::posix_time::ptime& AsyncConnection::getCreationTime() { return creationTime; }

std::string AsyncConnection::getLogPrefix() { return authInfo ? authInfo->toString() : std::string(); }

AuthInfoPtr AsyncConnection::getAuthInfo() { return authInfo; }

bool AsyncConnection::isConnected() { return transport->isConnected(); }

boost::asio::io_service& AsyncConnection::getIOService() { return ioService; }

std::shared_ptr<Transport> AsyncConnection::getTransport() { return transport; }

std::string AsyncConnection::getCloseReason() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return closeReason;
}

void AsyncConnection::setCloseReason(std::string reason) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  closeReason = std::move(reason);
}

void AsyncConnection::setCountry(std::string country) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  this->country = std::move(country);
}

std::string AsyncConnection::getCountry() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return country;
}

std::string AsyncConnection::getClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return clientIP;
}

std::uint16_t AsyncConnection::getClientPort() { return clientPort.load(); }

void AsyncConnection::setClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  clientIP = std::move(ip);
}

void AsyncConnection::replaceClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  setClientIP(std::move(ip));
  clientPort.store(0);
}

void AsyncConnection::initClientInfo() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  initClientIP();
  initClientPort();
}

void AsyncConnection::initClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  auto socketTransport = std::dynamic_pointer_cast<SocketTransport>(transport);
  if (!socketTransport) {
    return;
  }
  try {
    clientIP = socketTransport->getSocket().remote_endpoint().address().to_string();
  } catch (const std::exception& e) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << " Exception while getting remote ip caught. Therefore no client ip will be visible. "
                                  "Error was: '"
                               << e.what() << "'");
  } catch (...) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << "Exception while getting remote ip caught. Therefore no client ip will be visible.");
  }
}

void AsyncConnection::initClientPort() {
  auto socketTransport = std::dynamic_pointer_cast<SocketTransport>(transport);
  if (!socketTransport) {
    return;
  }
  try {
    clientPort.store(socketTransport->getSocket().remote_endpoint().port());
  } catch (const std::exception& e) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << " Exception while getting remote port caught. Therefore no client ip will be "
                                  "visible. Error was: "
                               << e.what());
  } catch (...) {
    LOG4CPLUS_WARN(logger, getLogPrefix()
                               << "Exception while getting remote port caught. Therefore no client ip will be visible.");
  }
}

std::string AsyncConnection::streambufToString(const boost::asio::streambuf& buffer) {
  const auto data = buffer.data();
  return std::string(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
}

}  // namespace quorvel::transport
