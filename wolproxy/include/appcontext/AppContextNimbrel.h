#pragma once

#include "common/base/ApplicationContextBaseLogBoost.h"
#include "common/base/SingletonBase.h"
#include "common/boost/IOServicePool.h"
#include "common/openssl/CertManager.h"
#include "wolproxy/include/data/ServerConfig.h"
#include "wolproxy/include/server/ConnectionPtr.h"
#include "wolproxy/include/wolmanager/WolManager.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

namespace quorvel::http {
class HttpsServer;
}  // namespace quorvel::http

namespace quorvel::calvexa {

inline constexpr const char* kOsReleasePath = "/etc/os-release";
// The operating-system description of the start-up banner: the os-release
// description, or "Linux" when there is none.
std::string readOsInfo(const std::string& path = kOsReleasePath);
// "" when the file cannot be read or parsed, or is no small regular file
// (a pipe or device there is never waited for nor read without end).
std::string parseOsRelease(const std::string& path = kOsReleasePath);

// Owns everything long-lived: directories, configuration, logging, the
// listener and the list of live connections.
class AppContextNimbrel : public common::ApplicationContextBaseLogBoost,
                          public common::SingletonBase<AppContextNimbrel> {
 public:
  enum class ServerStatus { Stopped = 1, Running = 2, StartException = 3, StartFailed = 4 };

  static constexpr const char* kConfigFileName = "Nimbrel.cfg";
  static constexpr const char* kCertFileName = "NimbrelCert.pem";
  static constexpr const char* kKeyFileName = "NimbrelKey.pem";
  static constexpr const char* kChainFileName = "NimbrelChain.pem";
  static constexpr const char* kCertHostNameFileName = "certhostname";
  static constexpr unsigned int kConfigVersion = 1;

  ~AppContextNimbrel() override;

  // Directories, configuration, logging, certificates, Wake-on-LAN and I/O
  // threads; false ends the program (the cause is already reported).
  bool init() override;
  void shutdown() override;
  // The path the configuration is read from and written to.
  std::string getConfigFilePath() override;

  ServerStatus startServer();
  int stopServer();
  void stopListen();
  // Restarts the listener on a thread of its own.
  void startServerThread();

  quorvel::data::wolproxy::ServerConfigPtr getServerConfig() const;
  // Installs a new configuration and saves it; settings that cannot change
  // while the service runs are taken over from the current one.
  void setServerConfig(quorvel::data::wolproxy::ServerConfigPtr newConfig);
  std::uint16_t getConfiguredPort() const;

  // Returns the number of live connections, this one included.
  std::size_t addConnection(transport::ConnectionPtr connection);
  bool removeConnection(const transport::ConnectionPtr& connection);
  std::size_t connectionCount();
  void closeAllConnections();
  // Closes up to `count` of the connections that have waited longest for a
  // request's first byte; returns how many it closed.
  std::size_t closeIdleConnections(std::size_t count);

  std::string getOsInfo();
  // The manager that sends the magic packets.
  velmora::WolManager& getWolManager();

  // Command-line overrides for this run.
  void setPort(std::uint16_t port) { portParam = port; }
  bool hasPort() const { return portParam != 0; }
  std::uint16_t getPort() const { return portParam; }
  void setCertFile(std::string path) { certParam = std::move(path); }
  bool hasCertFile() const { return !certParam.empty(); }
  const std::string& getCertFile() const { return certParam; }
  void setKeyFile(std::string path) { keyParam = std::move(path); }
  bool hasKeyFile() const { return !keyParam.empty(); }
  const std::string& getKeyFile() const { return keyParam; }
  void setChainFile(std::string path) { chainParam = std::move(path); }
  bool hasChainFile() const { return !chainParam.empty(); }
  const std::string& getChainFile() const { return chainParam; }
  // -1: none given. The level applies to this run only; the file keeps its own.
  void setLogLevel(int level) { commandLineLogLevel = level; }

  void setLastError(std::string text);
  std::string getLastError() const;

  std::string randomString(unsigned int length) const;

  const std::string& getConfigDir() const { return configDir; }
  const std::string& getSysconfigDir() const { return sysconfigDir; }
  const std::string& getDataDir() const { return dataDir; }
  const std::string& getLogDir() const { return logDir; }
  const std::string& getExeDir() const { return exeDir; }

  bool createDefaultConfig(const std::string& path);
  bool loadServerConfig(const std::string& path);
  bool saveServerConfig(const std::string& path);
  bool loadOrCreateConfig(std::uint16_t port);
  static boost::property_tree::ptree readXmlFile(const std::string& path);
  // Replaces the file only once the new content is safely on disk; on any
  // failure the old file stays as it was and the exception says why.
  static void writeXmlFile(const boost::property_tree::ptree& tree, const std::string& path);

  // Certificate and key to use exist and are readable, created on first start.
  bool checkAndInitCertificate(const std::string& hostName);
  std::string getCertHostName();
  void storeCertHostName(const std::string& hostName);
  static std::string getSystemHostName();
  std::string getCertHostNameFilePath() const;

 private:
  friend class common::SingletonBase<AppContextNimbrel>;

  AppContextNimbrel();

  struct CertificateFiles {
    std::string certificate;
    std::string key;
    std::string chain;
  };
  // The files given on the command line, or the service's own in configDir.
  CertificateFiles certificateFiles() const;

  bool initDirectories();
  static bool createDirectory(const std::string& path);

  // Components owned or called by the context.
  void startIoThreads();                // IOServicePool::run()
  void stopIoThreads();                 // IOServicePool::stop with a 10-second limit
  bool startWolManager();               // WolManager::init()
  void stopWolManager();                // WolManager::stop()
  bool initCertificateStore();          // CertManager::init("")
  void deinitCertificateStore();        // CertManager::deinit()
  // Builds the listener on an I/O context of the pool and starts accepting; throws on failure.
  void createHttpsServer(std::uint16_t port, const std::string& certFile, const std::string& keyFile,
                         const std::string& chainFile);
  void cancelPendingAccept();           // runs the stop on the acceptor's own I/O context and waits for it

  // OpenSSL's own exit handler would clean it up while the I/O threads still
  // run; the destructor does it once they have stopped. First member, so it
  // happens before anything else here touches OpenSSL.
  bool openSslWithoutAtExit;
  boostutils::IOServicePool ioServicePool;
  std::string configDir;
  std::string sysconfigDir;
  std::string dataDir;
  std::string logDir;
  std::string exeDir;
  // Guards start, stop, the OS description cache and the certificate host name cache.
  mutable std::recursive_mutex contextMutex;
  std::string osInfoCache;
  velmora::WolManager wolManager;
  certificate::CertManager certManager;
  const std::string randomAlphabet;
  int commandLineLogLevel = -1;
  // A set: thousands of connections closing at once must not each search a list.
  std::unordered_set<transport::ConnectionPtr> connections;
  std::shared_ptr<http::HttpsServer> server;
  std::mutex connectionsMutex;
  ServerStatus status = ServerStatus::Stopped;
  std::string lastError;
  std::string certText;
  std::string chainData;
  // I/O threads read it while start-up or a reload replaces it.
  std::atomic<quorvel::data::wolproxy::ServerConfigPtr> serverConfig;
  std::uint16_t portParam = 0;
  std::string certParam;
  std::string keyParam;
  std::string chainParam;
  std::string certHostNameCache;
};

}  // namespace quorvel::calvexa
