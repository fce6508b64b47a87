#include "wolproxy/include/data/ServerConfig.h"

#include "wolproxy/include/appcontext/AppContextNimbrel.h"

namespace quorvel::data::wolproxy {

ServerConfig::ServerConfig()
    : ServerConfig(kDefaultPort, kDefaultCipher, std::time(nullptr), kDefaultHttpUseReadLimits,
                   kDefaultHttpMaxHeaderSize, kDefaultHttpMaxPayloadSize, kDefaultEnableTLSv1, kDefaultEnableTLSv1_1,
                   kDefaultEnableTLSv1_2, kDefaultEnableTLSv1_3, kDefaultWolPort) {}

ServerConfig::ServerConfig(std::uint16_t port, std::string cipher, std::time_t lastUpdated, bool httpUseReadLimits,
                           std::uint64_t httpMaxHeaderSize, std::uint64_t httpMaxPayloadSize, bool enableTLSv1,
                           bool enableTLSv1_1, bool enableTLSv1_2, bool enableTLSv1_3, std::uint16_t wolPort)
    : port(port),
      cipher(std::move(cipher)),
      lastUpdated(lastUpdated),
      osInfo(calvexa::AppContextNimbrel::getInstance().getOsInfo()),
      httpUseReadLimits(httpUseReadLimits),
      httpMaxHeaderSize(httpMaxHeaderSize),
      httpMaxPayloadSize(httpMaxPayloadSize),
      enableTLSv1(enableTLSv1),
      enableTLSv1_1(enableTLSv1_1),
      enableTLSv1_2(enableTLSv1_2),
      enableTLSv1_3(enableTLSv1_3),
      wolPort(wolPort) {}

ServerConfig::~ServerConfig() = default;

bool ServerConfig::operator==(const ServerConfig& other) const {
  return port == other.port && cipher == other.cipher && lastUpdated == other.lastUpdated &&
         httpUseReadLimits == other.httpUseReadLimits && httpMaxHeaderSize == other.httpMaxHeaderSize &&
         httpMaxPayloadSize == other.httpMaxPayloadSize && enableTLSv1 == other.enableTLSv1 &&
         enableTLSv1_1 == other.enableTLSv1_1 && enableTLSv1_2 == other.enableTLSv1_2 &&
         enableTLSv1_3 == other.enableTLSv1_3;
}

}  // namespace quorvel::data::wolproxy
