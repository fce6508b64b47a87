#include "wolproxy/include/wolmanager/WolManager.h"

#include <cstdlib>
#include <utility>
#include <vector>

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

// Empty fields count, nothing is trimmed: only the number of fields is checked.
std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const auto colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) {
      return fields;
    }
    start = colon + 1;
  }
}

// As far as the field is hexadecimal, like strtol; only the low byte is kept.
char fieldByte(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 16);
  return static_cast<char>(static_cast<unsigned char>(value & 0xFF));
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
  packet.resize(password.empty() ? kPacketSize : kPacketSizeWithPassword);

  const auto macFields = splitFields(mac);
  if (macFields.size() != kFieldCount) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL Packet, MAC address in wrong format!",
                          "Cannot send WOL Packet, MAC address in wrong format! Format should be: "
                          "'XX:XX:XX:XX:XX:XX' but found '" +
                              utils::escapeForLog(mac) + "' ...");
    return false;
  }
  for (std::size_t i = 0; i < kSyncStreamSize; ++i) {
    packet[i] = static_cast<char>(0xFF);
  }
  char address[kFieldCount];
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    address[i] = fieldByte(macFields[i]);
  }
  for (std::size_t r = 0; r < kAddressRepetitions; ++r) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      packet[kSyncStreamSize + kFieldCount * r + i] = address[i];
    }
  }

  if (password.empty()) {
    return true;
  }
  const auto passwordFields = splitFields(password);
  if (passwordFields.size() != kFieldCount) {
    NIMBREL_LOG_FOLDED_AS(logger, log4cplus::WARN_LOG_LEVEL, "", "Cannot send WOL Packet, SecureOn password address in wrong format!",
                          "Cannot send WOL Packet, SecureOn password address in wrong format! Format should "
                          "be: 'XX:XX:XX:XX:XX:XX' but found '" +
                              utils::escapeForLog(password) + "' ...");
    return false;
  }
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    packet[kPacketSize + i] = fieldByte(passwordFields[i]);
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
