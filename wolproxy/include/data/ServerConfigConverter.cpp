#include "wolproxy/include/data/ServerConfigConverter.h"

#include <boost/property_tree/ptree.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <optional>
#include <stdexcept>
#include <type_traits>

static log4cplus::Logger logger = log4cplus::Logger::getInstance("ServerConfigConverter");

namespace quorvel::data::wolproxy {

namespace {

using boost::property_tree::ptree;

// A value that is present but unreadable ends the load: guessing a port or a
// limit would run the service with settings nobody chose.
template <typename T>
std::optional<T> readStrict(const ptree& server, const char* key) {
  const auto child = server.get_child_optional(key);
  if (!child) {
    return std::nullopt;
  }
  std::optional<T> value;
  // The stream conversion wraps "-1" into the largest unsigned value; refuse it instead.
  const bool negative = std::is_unsigned_v<T> && !std::is_same_v<T, bool> &&
                        child->data().find('-') != std::string::npos;
  if (!negative) {
    if (const auto converted = child->get_value_optional<T>()) {
      value = *converted;
    }
  }
  if (!value) {
    throw std::runtime_error(std::string("setting server.") + key + " has the unreadable value '" + child->data() +
                             "'");
  }
  return value;
}

}  // namespace

void ServerConfigConverter::toPropertyTree(ptree& tree, const ServerConfigPtr& config) {
  if (!config) {
    throw std::invalid_argument("no server configuration to write");
  }
  auto existing = tree.get_child_optional("server");
  ptree& server = existing ? *existing : tree.add_child("server", ptree());

  server.put("port", config->getPort());
  server.put("wolPort", config->getWolPort());
  if (config->getCipher() != ServerConfig::kDefaultCipher) {
    server.put("cipher", config->getCipher());
  }
  server.put("lastUpdated", config->getLastUpdated());
  if (config->getHttpUseReadLimits() != ServerConfig::kDefaultHttpUseReadLimits) {
    server.put("httpUseReadLimits", config->getHttpUseReadLimits());
  }
  if (config->getHttpMaxHeaderSize() != ServerConfig::kDefaultHttpMaxHeaderSize) {
    server.put("httpMaxHeaderSize", config->getHttpMaxHeaderSize());
  }
  if (config->getHttpMaxPayloadSize() != ServerConfig::kDefaultHttpMaxPayloadSize) {
    server.put("httpMaxPayloadSize", config->getHttpMaxPayloadSize());
  }
  if (config->getEnableTLSv1() != ServerConfig::kDefaultEnableTLSv1) {
    server.put("enableTLSv1", config->getEnableTLSv1());
  }
  if (config->getEnableTLSv1_1() != ServerConfig::kDefaultEnableTLSv1_1) {
    server.put("enableTLSv1_1", config->getEnableTLSv1_1());
  }
  if (config->getEnableTLSv1_2() != ServerConfig::kDefaultEnableTLSv1_2) {
    server.put("enableTLSv1_2", config->getEnableTLSv1_2());
  }
  if (config->getEnableTLSv1_3() != ServerConfig::kDefaultEnableTLSv1_3) {
    server.put("enableTLSv1_3", config->getEnableTLSv1_3());
  }
}

ServerConfigPtr ServerConfigConverter::fromPropertyTree(const ptree& tree, const std::string& osInfo,
                                                        unsigned int /*version*/) {
  auto config = std::make_shared<ServerConfig>();
  const ptree empty;
  const auto found = tree.get_child_optional("server");
  const ptree& server = found ? *found : empty;

  if (const auto port = readStrict<std::uint16_t>(server, "port")) {
    config->setPort(*port);
  } else {
    LOG4CPLUS_WARN(logger, " setting server.port not found. Assuming standard value of '"
                               << ServerConfig::kDefaultPort << "'.");
  }
  if (const auto wolPort = readStrict<std::uint16_t>(server, "wolPort")) {
    config->setWolPort(*wolPort);
  } else {
    LOG4CPLUS_WARN(logger, " setting server.m_wolPort not found. Assuming standard value of '"
                               << ServerConfig::kDefaultWolPort << "'.");
  }
  const std::string cipher = server.get<std::string>("cipher", "");
  config->setCipher(cipher.empty() ? ServerConfig::kDefaultCipher : cipher);
  if (const auto lastUpdated = readStrict<std::time_t>(server, "lastUpdated")) {
    config->setLastUpdated(*lastUpdated);
  }
  if (const auto value = readStrict<bool>(server, "httpUseReadLimits")) {
    config->setHttpUseReadLimits(*value);
  }
  if (const auto value = readStrict<std::uint64_t>(server, "httpMaxHeaderSize")) {
    config->setHttpMaxHeaderSize(*value);
  }
  if (const auto value = readStrict<std::uint64_t>(server, "httpMaxPayloadSize")) {
    config->setHttpMaxPayloadSize(*value);
  }
  config->setEnableTLSv1(server.get<bool>("enableTLSv1", ServerConfig::kDefaultEnableTLSv1));
  config->setEnableTLSv1_1(server.get<bool>("enableTLSv1_1", ServerConfig::kDefaultEnableTLSv1_1));
  config->setEnableTLSv1_2(server.get<bool>("enableTLSv1_2", ServerConfig::kDefaultEnableTLSv1_2));
  config->setEnableTLSv1_3(server.get<bool>("enableTLSv1_3", ServerConfig::kDefaultEnableTLSv1_3));
  config->osInfo = osInfo;
  return config;
}

}  // namespace quorvel::data::wolproxy
