#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/authentication/AuthInfo.h"

namespace quorvel::boostutils {
class IOServicePool;
}
namespace quorvel::transport {
class AsyncConnectionUdpBroadcastClient;
}

namespace quorvel::velmora {

// Builds Wake-on-LAN magic packets and broadcasts them on the configured port.
class WolManager : public std::enable_shared_from_this<WolManager> {
 public:
  explicit WolManager(boostutils::IOServicePool* pool);
  WolManager(const WolManager&) = delete;
  WolManager& operator=(const WolManager&) = delete;
  virtual ~WolManager();

  // Opens the broadcast client on the Wake-on-LAN port of the current configuration.
  bool init();
  // The same on a given port, for callers that have no application context.
  bool init(std::uint16_t wolPort);
  // Closes and drops the client; later sends fail.
  void stop();

  // Six 0xFF bytes, the address sixteen times and, when given, the SecureOn
  // password: 102 or 108 bytes. Texts are "XX:XX:XX:XX:XX:XX", each field one
  // or two hexadecimal digits; any other text is refused and leaves `packet` empty.
  static bool fillWOLPacket(const std::string& mac, const std::string& password, std::string& packet);
  // Queues the packet for broadcast. False when it cannot be built or when no
  // open broadcast socket exists (before init, after stop, or a failed open).
  // Safe to call from any thread, also while stop runs.
  bool sendWOLPacket(const std::string& mac, const std::string& password);

 private:
  boostutils::IOServicePool* pool;
  // Replaced by init and stop while connection threads send.
  std::atomic<std::shared_ptr<transport::AsyncConnectionUdpBroadcastClient>> client;
  std::recursive_mutex mutex;
  authentication::AuthInfoPtr authInfo;
};

}  // namespace quorvel::velmora
