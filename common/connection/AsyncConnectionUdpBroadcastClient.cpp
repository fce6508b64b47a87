#include "common/connection/AsyncConnectionUdpBroadcastClient.h"

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace quorvel::transport {

namespace {
log4cplus::Logger logger = log4cplus::Logger::getInstance("UdpBC");
}

AsyncConnectionUdpBroadcastClient::AsyncConnectionUdpBroadcastClient(boost::asio::io_service& ioService)
    : AsyncConnectionUdp(ioService) {}

AsyncConnectionUdpBroadcastClient::AsyncConnectionUdpBroadcastClient(boost::asio::io_service& ioService,
                                                                     AuthInfoPtr&& authInfo, std::uint32_t id)
    : AsyncConnectionUdp(ioService, std::move(authInfo), id) {}

AsyncConnectionUdpBroadcastClient::~AsyncConnectionUdpBroadcastClient() {
  AsyncConnectionUdpBroadcastClient::disconnectSignals();
}

void AsyncConnectionUdpBroadcastClient::connectSignals() { AsyncConnectionUdp::connectSignals(); }

void AsyncConnectionUdpBroadcastClient::disconnectSignals() {
  AsyncConnectionUdp::disconnectSignals();
  connectedSignal.disconnect_all_slots();
}

bool AsyncConnectionUdpBroadcastClient::isConnected() { return isOpen.load(); }

void AsyncConnectionUdpBroadcastClient::close(std::string reason) {
  isOpen.store(false);
  AsyncConnectionUdp::close(std::move(reason));
}

void AsyncConnectionUdpBroadcastClient::postOpen(unsigned short port) {
  auto self = std::static_pointer_cast<AsyncConnectionUdpBroadcastClient>(shared_from_this());
  boost::asio::post(ioService, [self = std::move(self), port] {
    // Runs on a pool thread: an escaping exception would end that thread.
    try {
      self->open(port);
    } catch (const std::exception& e) {
      LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Cannot open the UDP broadcast socket for port " << port
                                                   << ": " << e.what());
    } catch (...) {
      LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Cannot open the UDP broadcast socket for port " << port
                                                   << ".");
    }
    // A half-made socket (open, but broadcast refused) is of no use; a client
    // that opened earlier keeps its working socket.
    if (!self->isOpen.load()) {
      self->closeSocket();
    }
  });
}

void AsyncConnectionUdpBroadcastClient::open(unsigned short port) {
  std::unique_lock<std::mutex> lock(socketMutex);
  endpoint = boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::broadcast(), port);
  if (socket.is_open()) {
    throw boost::system::system_error(boost::asio::error::already_open, "open");
  }
  socket.open(boost::asio::ip::udp::v4());
  socket.set_option(boost::asio::socket_base::broadcast(true));
  isOpen.store(true);
  lock.unlock();
  emitConnected();
}

}  // namespace quorvel::transport
