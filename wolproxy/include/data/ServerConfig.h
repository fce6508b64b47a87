#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace quorvel::data::wolproxy {

class ServerConfigConverter;

// Service settings. Once installed in the application context a record is
// never changed: a change is a new record that replaces it.
class ServerConfig {
 public:
  static constexpr std::uint16_t kDefaultPort = 1444;
  static constexpr const char* kDefaultCipher = "ALL:+HIGH:!EXPORT:!LOW:!MEDIUM:@SECLEVEL=1";
  static constexpr bool kDefaultHttpUseReadLimits = true;
  // Large enough for big cookies, small enough to refuse header floods.
  static constexpr std::uint64_t kDefaultHttpMaxHeaderSize = 49152;
  // Wake-on-LAN requests carry no body; 20 MiB leaves room for the general HTTP layer.
  static constexpr std::uint64_t kDefaultHttpMaxPayloadSize = 20971520;
  static constexpr bool kDefaultEnableTLSv1 = false;
  static constexpr bool kDefaultEnableTLSv1_1 = true;
  static constexpr bool kDefaultEnableTLSv1_2 = true;
  static constexpr bool kDefaultEnableTLSv1_3 = true;
  // The discard port, where Wake-on-LAN listeners conventionally wait.
  static constexpr std::uint16_t kDefaultWolPort = 9;

  // Every setting at its default, last updated now.
  ServerConfig();
  ServerConfig(std::uint16_t port, std::string cipher, std::time_t lastUpdated, bool httpUseReadLimits,
               std::uint64_t httpMaxHeaderSize, std::uint64_t httpMaxPayloadSize, bool enableTLSv1, bool enableTLSv1_1,
               bool enableTLSv1_2, bool enableTLSv1_3, std::uint16_t wolPort);
  ServerConfig(const ServerConfig&) = default;
  ServerConfig& operator=(const ServerConfig&) = default;
  virtual ~ServerConfig();

  std::uint16_t getPort() const { return port; }
  void setPort(std::uint16_t value) { port = value; }
  const std::string& getCipher() const { return cipher; }
  void setCipher(std::string value) { cipher = std::move(value); }
  std::time_t getLastUpdated() const { return lastUpdated; }
  void setLastUpdated(std::time_t value) { lastUpdated = value; }
  const std::string& getOsInfo() const { return osInfo; }
  bool getHttpUseReadLimits() const { return httpUseReadLimits; }
  void setHttpUseReadLimits(bool value) { httpUseReadLimits = value; }
  std::uint64_t getHttpMaxHeaderSize() const { return httpMaxHeaderSize; }
  void setHttpMaxHeaderSize(std::uint64_t value) { httpMaxHeaderSize = value; }
  std::uint64_t getHttpMaxPayloadSize() const { return httpMaxPayloadSize; }
  void setHttpMaxPayloadSize(std::uint64_t value) { httpMaxPayloadSize = value; }
  bool getEnableTLSv1() const { return enableTLSv1; }
  void setEnableTLSv1(bool value) { enableTLSv1 = value; }
  bool getEnableTLSv1_1() const { return enableTLSv1_1; }
  void setEnableTLSv1_1(bool value) { enableTLSv1_1 = value; }
  bool getEnableTLSv1_2() const { return enableTLSv1_2; }
  void setEnableTLSv1_2(bool value) { enableTLSv1_2 = value; }
  bool getEnableTLSv1_3() const { return enableTLSv1_3; }
  void setEnableTLSv1_3(bool value) { enableTLSv1_3 = value; }
  std::uint16_t getWolPort() const { return wolPort; }
  void setWolPort(std::uint16_t value) { wolPort = value; }

  // osInfo and wolPort take no part.
  bool operator==(const ServerConfig& other) const;
  bool operator!=(const ServerConfig& other) const { return !(*this == other); }

 private:
  friend class ServerConfigConverter;

  std::uint16_t port;
  std::string cipher;
  std::time_t lastUpdated;
  std::string osInfo;
  bool httpUseReadLimits;
  std::uint64_t httpMaxHeaderSize;
  std::uint64_t httpMaxPayloadSize;
  bool enableTLSv1;
  bool enableTLSv1_1;
  bool enableTLSv1_2;
  bool enableTLSv1_3;
  std::uint16_t wolPort;
};

using ServerConfigPtr = std::shared_ptr<ServerConfig>;

}  // namespace quorvel::data::wolproxy
