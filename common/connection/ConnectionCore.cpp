#include "common/connection/ConnectionCore.h"

#include <utility>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/utils/LogText.h"

namespace quorvel::transport {

ConnectionCore::ConnectionCore(boost::asio::io_service& ioService, AuthInfoPtr authInfo, std::uint32_t id,
                               log4cplus::Logger logger, bool quoteWhat)
    : id(id),
      creationTime(boost::posix_time::second_clock::universal_time()),
      authInfo(std::move(authInfo)),
      ioService(ioService),
      connectionLogger(std::move(logger)),
      quoteWhat(quoteWhat) {
  if (!this->authInfo) {
    this->authInfo = std::make_shared<authentication::AuthInfo>();
    this->authInfo->setConnectionId("cid:" + std::to_string(id));
  }
}

ConnectionCore::~ConnectionCore() = default;

// ---- writes ----

void ConnectionCore::async_write(const std::string& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(data, offset, std::move(callback)));
}

void ConnectionCore::async_write(const utils::ByteBufferPtr& buffer, std::size_t length, std::size_t offset,
                                 IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(buffer, length, offset, std::move(callback)));
}

void ConnectionCore::async_write(std::string&& data, std::size_t offset, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(data), offset, std::move(callback)));
}

void ConnectionCore::async_write(utils::ByteBufferPtr&& buffer, std::size_t length, std::size_t offset,
                                 IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(buffer), length, offset, std::move(callback)));
}

void ConnectionCore::async_write(std::string&& head, std::shared_ptr<const std::string> body, IoCallback callback) {
  dispatchWrite(std::make_shared<utils::WriteBuffers>(std::move(head), std::move(body), std::move(callback)));
}

void ConnectionCore::dispatchWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  // The queue is only ever touched on the connection's own thread.
  boost::asio::dispatch(ioService, [self = self(), buffers = std::move(buffers)]() mutable {
    self->enqueueWrite(std::move(buffers));
  });
}

void ConnectionCore::enqueueWrite(std::shared_ptr<utils::WriteBuffers> buffers) {
  if (closed.load()) {
    if (!writing.load()) {
      runCallback(buffers->callback, boost::asio::error::operation_aborted, 0);
      return;
    }
    // While a write is in flight, even a refused write waits for its turn so
    // that callbacks keep the order in which the writes were issued; it never
    // reaches the transport, so whatever the write in flight reports, none of
    // its bytes went out.
    buffers->callback = [callback = std::move(buffers->callback)](const boost::system::error_code& error,
                                                                  std::size_t /*bytesTransferred*/) {
      if (callback) {
        callback(error, 0);
      }
    };
  }
  writeQueue.push_back(std::move(buffers));
  if (!writing.load()) {
    doWrite();
  }
}

void ConnectionCore::doWrite() {
  while (!writeQueue.empty()) {
    if (closed.load()) {
      abortQueue(nullptr, 0);
      return;
    }
    writing.store(true);
    std::shared_ptr<utils::WriteBuffers> front = writeQueue.front();
    if (!front->isValid()) {
      writeQueue.pop_front();
      LOG4CPLUS_WARN(connectionLogger, getLogPrefix() << "Refusing a write whose offset or length lies beyond its data.");
      runCallback(front->callback, boost::asio::error::invalid_argument, 0);
      continue;
    }
    sendFront(front, [self = self()](const boost::system::error_code& error, std::size_t bytesTransferred) {
      self->writeHandler(error, bytesTransferred);
    });
    return;
  }
  writing.store(false);
}

void ConnectionCore::writeHandler(const boost::system::error_code& error, std::size_t bytesTransferred) {
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

void ConnectionCore::abortQueue(std::shared_ptr<utils::WriteBuffers> first, std::size_t bytesTransferred) {
  // Stays set while the callbacks run so that writes they issue queue up
  // behind and are aborted in turn instead of being sent.
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

void ConnectionCore::runCallback(const IoCallback& callback, const boost::system::error_code& error,
                                 std::size_t bytesTransferred) {
  if (!callback) {
    return;
  }
  try {
    callback(error, bytesTransferred);
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(connectionLogger, getLogPrefix() << "Write callback threw '" << e.what() << "'.");
  } catch (...) {
    LOG4CPLUS_ERROR(connectionLogger, getLogPrefix() << "Write callback threw an exception.");
  }
}

bool ConnectionCore::isReadPending() { return readPending.load(); }

bool ConnectionCore::isWriting() { return writing.load(); }

void ConnectionCore::clearReadPending() { readPending.store(false); }

// ---- identity, close reason, country ----

std::uint32_t ConnectionCore::getId() { return id; }

const boost::posix_time::ptime& ConnectionCore::getCreationTime() { return creationTime; }

std::string ConnectionCore::getLogPrefix() { return authInfo ? authInfo->toString() : std::string(); }

AuthInfoPtr ConnectionCore::getAuthInfo() { return authInfo; }

boost::asio::io_service& ConnectionCore::getIOService() { return ioService; }

void ConnectionCore::emitClose(std::string reason) { closeSignal(std::move(reason)); }

void ConnectionCore::emitConnected() { connectedSignal(); }

std::string ConnectionCore::getCloseReason() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return closeReason;
}

void ConnectionCore::setCloseReason(std::string reason) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  closeReason = std::move(reason);
}

void ConnectionCore::setCountry(std::string country) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  this->country = std::move(country);
}

std::string ConnectionCore::getCountry() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return country;
}

// ---- client address ----

std::string ConnectionCore::getClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return clientIP;
}

std::uint16_t ConnectionCore::getClientPort() { return clientPort.load(); }

void ConnectionCore::setClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  clientIP = std::move(ip);
}

void ConnectionCore::replaceClientIP(std::string ip) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  setClientIP(std::move(ip));
  clientPort.store(0);
}

void ConnectionCore::initClientInfo() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  initClientIP();
  initClientPort();
}

void ConnectionCore::initClientIP() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  const char* quote = quoteWhat ? "'" : "";
  try {
    if (auto remote = remoteEndpoint()) {
      clientIP = remote->address.to_string();
    }
  } catch (const std::exception& e) {
    NIMBREL_LOG_FOLDED(connectionLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(),
                       std::string(" Exception while getting remote ip caught. Therefore no client ip will be visible. "
                                   "Error was: ") +
                           quote + e.what() + quote);
  } catch (...) {
    NIMBREL_LOG_FOLDED(connectionLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(),
                       "Exception while getting remote ip caught. Therefore no client ip will be visible.");
  }
}

void ConnectionCore::initClientPort() {
  try {
    if (auto remote = remoteEndpoint()) {
      clientPort.store(remote->port);
    }
  } catch (const std::exception& e) {
    NIMBREL_LOG_FOLDED(connectionLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(),
                       std::string(" Exception while getting remote port caught. Therefore no client ip will be "
                                   "visible. Error was: ") +
                           e.what());
  } catch (...) {
    NIMBREL_LOG_FOLDED(connectionLogger, log4cplus::WARN_LOG_LEVEL, getLogPrefix(),
                       "Exception while getting remote port caught. Therefore no client ip will be visible.");
  }
}

std::string ConnectionCore::streambufToString(const boost::asio::streambuf& buffer) {
  const auto data = buffer.data();
  return std::string(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
}

}  // namespace quorvel::transport
