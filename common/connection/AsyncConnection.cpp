#include "common/connection/AsyncConnection.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/authentication/AuthInfo.h"
#include "common/transport/GracefulClose.h"
#include "common/transport/SocketTransport.h"

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

// The transport's record, renamed for the connection, or a new one.
AuthInfoPtr connectionAuthInfo(const std::shared_ptr<Transport>& transport, std::uint32_t id) {
  AuthInfoPtr info = transport ? transport->getAuthInfo() : nullptr;
  if (!info) {
    info = std::make_shared<authentication::AuthInfo>();
  }
  info->setConnectionId("cid:" + std::to_string(id));
  return info;
}

}  // namespace

AsyncConnection::AsyncConnection(std::shared_ptr<Transport>&& transport)
    : AsyncConnection(connectionCounter.fetch_add(1), std::move(transport)) {}

AsyncConnection::AsyncConnection(std::uint32_t id, std::shared_ptr<Transport>&& transport)
    : AsyncConnection(std::move(transport), connectionAuthInfo(transport, id), id) {}

AsyncConnection::AsyncConnection(std::shared_ptr<Transport>&& transport, AuthInfoPtr&& authInfo, std::uint32_t id)
    : ConnectionCore(ioServiceOf(transport), std::move(authInfo), id, logger, true),
      transport(std::move(transport)) {
  if (!this->transport->getAuthInfo()) {
    this->transport->setAuthInfo(this->authInfo);
  }
}

AsyncConnection::~AsyncConnection() { AsyncConnection::disconnectSignals(); }

std::shared_ptr<ConnectionCore> AsyncConnection::self() { return shared_from_this(); }

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

void AsyncConnection::sendFront(const std::shared_ptr<utils::WriteBuffers>& front, IoCallback done) {
  transport->async_write(front, std::move(done));
}

std::optional<ConnectionCore::Endpoint> AsyncConnection::remoteEndpoint() {
  auto socketTransport = std::dynamic_pointer_cast<SocketTransport>(transport);
  if (!socketTransport) {
    return std::nullopt;
  }
  const auto remote = socketTransport->getSocket().remote_endpoint();
  return Endpoint{remote.address(), remote.port()};
}

// ---- reads ----

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

bool AsyncConnection::isClosedGracefully(const boost::system::error_code& error) {
  return closed.load() || isGracefulClose(error, true);
}

void AsyncConnection::printError(const boost::system::error_code& error, const std::string& where) {
  logIoFailure(logger, getLogPrefix(), error, isClosedGracefully(error), where);
}

bool AsyncConnection::isConnected() { return transport->isConnected(); }

std::shared_ptr<Transport> AsyncConnection::getTransport() { return transport; }

}  // namespace quorvel::transport
