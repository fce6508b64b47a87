#include "wolproxy/include/wolmanager/WolManager.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/boost/IOServicePool.h"
#include "common/connection/AsyncConnectionUdpBroadcastClient.h"
#include "common/utils/LogText.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"

namespace quorvel::velmora {

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance("wolManager");

constexpr std::size_t kSyncStreamSize = 6;
constexpr std::size_t kAddressRepetitions = 16;
constexpr std::size_t kFieldCount = 6;
constexpr std::size_t kPacketSize = kSyncStreamSize + kAddressRepetitions * kFieldCount;
constexpr std::size_t kPacketSizeWithPassword = kPacketSize + kFieldCount;
constexpr char kShutdownReason[] = "Shutdown of server.";

// Exactly six fields of one or two hexadecimal digits, either case, between
// ":"s. Nothing looser: a typing mistake read leniently wakes another machine.
bool parseFields(std::string_view text, char (&bytes)[kFieldCount]) {
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const auto colon = i + 1 < kFieldCount ? text.find(':') : text.size();
    if (colon == std::string_view::npos || colon == 0 || colon > 2) {
      return false;
    }
    const char* const end = text.data() + colon;
    unsigned char value = 0;
    // Unsigned and base 16: no sign, no blank and no "0x" is read as a digit.
    const auto parsed = std::from_chars(text.data(), end, value, 16);
    if (parsed.ec != std::errc() || parsed.ptr != end) {
      return false;
    }
    bytes[i] = static_cast<char>(value);
    text.remove_prefix(std::min(colon + 1, text.size()));
  }
  return true;
}

}  // namespace

WolManager::WolManager(boostutils::IOServicePool* pool)
    : pool(pool), authInfo(std::make_shared<authentication::AuthInfo>()) {}

WolManager::~WolManager() = default;

bool WolManager::init() {
  return init(calvexa::AppContextNimbrel::getInstance().getServerConfig()->getWolPort());
}

bool WolManager::init(std::uint16_t wolPort) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  auto fresh = std::make_shared<transport::AsyncConnectionUdpBroadcastClient>(pool->getIOService());
  client.store(fresh);
  fresh->postOpen(wolPort);
  return true;
}

void WolManager::stop() {
  if (auto old = client.exchange(nullptr)) {
    old->postClose(kShutdownReason);
  }
}

bool WolManager::fillWOLPacket(const std::string& mac, const std::string& password, std::string& packet) {
  // A refused text leaves no packet behind that a caller could send by mistake.
  packet.clear();
  char address[kFieldCount];
  if (!parseFields(mac, address)) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL Packet, MAC address in wrong format!",
                          "Cannot send WOL Packet, MAC address in wrong format! Format should be: "
                          "'XX:XX:XX:XX:XX:XX' but found '" +
                              utils::escapeForLog(mac) + "' ...");
    return false;
  }
  char secureOn[kFieldCount];
  if (!password.empty() && !parseFields(password, secureOn)) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL Packet, SecureOn password address in wrong format!",
                          "Cannot send WOL Packet, SecureOn password address in wrong format! Format should "
                          "be: 'XX:XX:XX:XX:XX:XX' but found '" +
                              utils::escapeForLog(password) + "' ...");
    return false;
  }
  packet.reserve(password.empty() ? kPacketSize : kPacketSizeWithPassword);
  packet.assign(kSyncStreamSize, static_cast<char>(0xFF));
  for (std::size_t r = 0; r < kAddressRepetitions; ++r) {
    packet.append(address, kFieldCount);
  }
  if (!password.empty()) {
    packet.append(secureOn, kFieldCount);
  }
  return true;
}

bool WolManager::sendWOLPacket(const std::string& mac, const std::string& password) {
  std::string packet;
  if (!fillWOLPacket(mac, password, packet)) {
    NIMBREL_LOG_FOLDED(logger, log4cplus::WARN_LOG_LEVEL, "", "Magic packet creation failed!");
    return false;
  }
  // A local copy keeps the client alive for this send even if stop runs now.
  const auto sender = client.load();
  if (!sender) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL packet, the Wake-on-LAN sender is stopped.",
                          "Cannot send WOL packet for mac '" + utils::escapeForLog(mac) +
                              "', the Wake-on-LAN sender is stopped.");
    return false;
  }
  if (!sender->isConnected()) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL packet, the broadcast socket is not open.",
                          "Cannot send WOL packet for mac '" + utils::escapeForLog(mac) +
                              "', the broadcast socket is not open.");
    return false;
  }
  LOG4CPLUS_INFO(logger, "Sending WOL packet for mac '" << utils::escapeForLog(mac) << "'.");
  return sender->trySend(packet);
}

}  // namespace quorvel::velmora
