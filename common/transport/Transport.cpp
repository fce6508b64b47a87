#include "common/transport/Transport.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>

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

void Transport::async_close_write(IoCallback callback) { postFailure(std::move(callback)); }

void Transport::async_discard_some(boost::asio::mutable_buffers_1, IoCallback callback) {
  postFailure(std::move(callback));
}

void Transport::postFailure(IoCallback callback) {
  // Without a way to end only its side, the caller closes at once.
  boost::asio::post(*ioService, [callback = std::move(callback)] {
    if (callback) {
      callback(boost::asio::error::operation_not_supported, 0);
    }
  });
}

std::string Transport::getLogPrefix() {
  const AuthInfoPtr info = getAuthInfo();
  return info ? info->toString() : std::string();
}

void Transport::setAuthInfo(AuthInfoPtr authInfo) { std::atomic_store(&this->authInfo, std::move(authInfo)); }

AuthInfoPtr Transport::getAuthInfo() { return std::atomic_load(&authInfo); }

boost::asio::io_service& Transport::getIOService() { return *ioService; }

std::uint32_t Transport::getId() { return id; }

}  // namespace quorvel::transport
