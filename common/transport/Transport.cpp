#include "common/transport/Transport.h"

#include <boost/asio/io_service.hpp>

#include "common/authentication/AuthInfo.h"

namespace quorvel::transport {

namespace {
std::atomic<std::uint32_t> transportCounter{1};
}

Transport::Transport(boost::asio::io_service& ioService, AuthInfoPtr authInfo)
    : id(transportCounter.fetch_add(1)), ioService(&ioService), connected(false) {
  if (!authInfo) {
    authInfo = std::make_shared<authentication::AuthInfo>();
    authInfo->setConnectionId("tid:" + std::to_string(id));
  }
  std::atomic_store(&this->authInfo, std::move(authInfo));
}

Transport::~Transport() = default;

bool Transport::isConnected() { return connected.load(); }

bool Transport::hasUnreadInput() { return false; }

std::string Transport::getLogPrefix() {
  const AuthInfoPtr info = getAuthInfo();
  return info ? info->toString() : std::string();
}

void Transport::setAuthInfo(AuthInfoPtr authInfo) { std::atomic_store(&this->authInfo, std::move(authInfo)); }

AuthInfoPtr Transport::getAuthInfo() { return std::atomic_load(&authInfo); }

boost::asio::io_service& Transport::getIOService() { return *ioService; }

std::uint32_t Transport::getId() { return id; }

}  // namespace quorvel::transport
