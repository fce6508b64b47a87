#include "wolproxy/include/appcontext/AppContextNimbrel.h"

#include "NimbrelVersion.h"
#include "common/utils/FileSetWriter.h"
#include "common/utils/LogText.h"
#include "wolproxy/include/data/ServerConfigConverter.h"
#include "wolproxy/include/server/Connection.h"
#include "wolproxy/include/server/HttpsServer.h"

#include <boost/dll/runtime_symbol_info.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/system/system_error.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static log4cplus::Logger logger = log4cplus::Logger::getInstance("appcontext");

namespace quorvel::calvexa {

using quorvel::data::wolproxy::ServerConfig;
using quorvel::data::wolproxy::ServerConfigConverter;
using quorvel::data::wolproxy::ServerConfigPtr;
using boost::property_tree::ptree;

namespace {

constexpr const char* kDefaultBaseDir = "/var/lib/calvexa";
constexpr const char* kDefaultSysconfigBaseDir = "/etc/calvexa";
constexpr const char* kLogDir = "/var/log/calvexa/";
// Long enough for the I/O threads to finish what they are writing.
constexpr long kPoolStopTimeoutMs = 10000;
// A chain file larger than this is not a chain but something put there by mistake.
constexpr long kMaxChainFileSize = 5242880;
// An os-release file is a few hundred bytes; anything near this is not one.
constexpr long kMaxOsReleaseFileSize = 65536;

// An empty variable is treated as unset, so that nothing lands in "/config/".
const char* environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// Saved beside the target and renamed over it, so that a crash or a full
// disk never leaves a half-written file; the file keeps its permissions.
void replaceFile(const std::string& path, const std::string& data) {
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666;
  utils::FileSetWriter file;
  if (!file.add(path, data, mode) || !file.commit()) {
    const char* step = file.failedStage() == utils::FileSetWriter::Stage::Open    ? "creating"
                       : file.failedStage() == utils::FileSetWriter::Stage::Write ? "writing"
                                                                                  : "renaming";
    throw std::system_error(file.error(), std::generic_category(), std::string(step) + " '" + path + "'");
  }
}

std::string removeQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

// Only "does not exist" means a first start: any other failure to query the
// file must not be mistaken for one, which would overwrite it with defaults.
// A pipe or device is refused: opening it would block, or read without end.
enum class ConfigFileState { Present, Absent, Unknown, NotRegular };

ConfigFileState configFileState(const std::string& path, boost::system::error_code& ec) {
  const boost::filesystem::file_status status = boost::filesystem::status(path, ec);
  if (ec == boost::system::errc::no_such_file_or_directory) {
    return ConfigFileState::Absent;
  }
  if (ec) {
    return ConfigFileState::Unknown;
  }
  return status.type() == boost::filesystem::regular_file ? ConfigFileState::Present : ConfigFileState::NotRegular;
}

// True, with the reason logged, when the file's state stops the start; false
// when the file may be read or created.
bool refuseConfigFileState(ConfigFileState state, const std::string& path, const boost::system::error_code& ec) {
  if (state == ConfigFileState::Unknown) {
    LOG4CPLUS_ERROR(logger, "Cannot determine the state of the config file '" << path << "'. Error was: "
                                                                               << ec.message());
    return true;
  }
  if (state == ConfigFileState::NotRegular) {
    LOG4CPLUS_ERROR(logger, "Config file '" << path << "' is not a regular file, stopping server.");
    return true;
  }
  return false;
}

// A pipe or device where a file is expected would block whoever opens it.
bool isPresentButNotRegular(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

}  // namespace

std::string parseOsRelease(const std::string& path) {
  std::vector<char> content;
  int openError = 0;
  if (certificate::readWholeFile(path, kMaxOsReleaseFileSize, content, openError) != certificate::FileRead::Ok) {
    return "";
  }
  try {
    std::istringstream in(std::string(content.begin(), content.end()));
    ptree release;
    boost::property_tree::read_ini(in, release);
    std::string result;
    if (const auto pretty = release.get_optional<std::string>("PRETTY_NAME")) {
      result = *pretty;
    } else {
      auto name = release.get_optional<std::string>("NAME");
      if (!name) {
        name = release.get_optional<std::string>("ID");
      }
      result = name.value_or("");
      const auto version = release.get_optional<std::string>("VERSION");
      if (version && !result.empty()) {
        result += " " + *version;
      }
    }
    return removeQuotes(result);
  } catch (const std::exception&) {
    return "";
  }
}

std::string readOsInfo(const std::string& path) {
  std::string info = parseOsRelease(path);
  return info.empty() ? "Linux" : info;
}

AppContextNimbrel::AppContextNimbrel()
    : openSslWithoutAtExit(OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1),
      ioServicePool(boost::thread::hardware_concurrency()),
      wolManager(&ioServicePool),
      randomAlphabet("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") {
  log4cplus::initialize();
  console.setEnabled(true);
  setupDefaultLogging();
}

AppContextNimbrel::~AppContextNimbrel() {
  // Connections closed by shutdown let their contexts run out; the pool stops
  // within its limit, and only then may what lives on those contexts go.
  stopIoThreads();
  std::unordered_set<transport::ConnectionPtr> remaining;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    remaining.swap(connections);
  }
  // Destroyed outside the lock: a connection going away may still look at the list.
  remaining.clear();
  server.reset();
  // Handlers left on a force-stopped context hold TLS streams and log; they
  // must go while OpenSSL and logging are still up.
  ioServicePool.releaseServices();
  // Nothing can log a client's doing any more: what the last windows held back is written now.
  utils::LogRepeatFolder::process().flush(utils::LogRepeatFolder::Clock::now(), true);
  log4cplus::Logger::shutdown();
  log4cplus::threadCleanup();
  OPENSSL_thread_stop();
  OPENSSL_cleanup();
}

// configDir ends in "/".
std::string AppContextNimbrel::getConfigFilePath() { return configDir + kConfigFileName; }

bool AppContextNimbrel::createDirectory(const std::string& path) {
  boost::system::error_code ec;
  if (boost::filesystem::exists(boost::filesystem::symlink_status(path, ec))) {
    return true;
  }
  boost::filesystem::create_directories(path, ec);
  if (ec) {
    std::cerr << "Error while creating directory " << path << ". Error was: " << ec.message() << std::endl;
    return false;
  }
  return true;
}

bool AppContextNimbrel::initDirectories() {
  try {
    exeDir = boost::dll::program_location().parent_path().string() + "/";
  } catch (const std::exception& e) {
    std::cerr << "Error while determining the executable directory. Error was: " << e.what() << std::endl;
    return false;
  }

  std::string configBase = kDefaultBaseDir;
  std::string sysconfigBase = kDefaultSysconfigBaseDir;
  std::string dataBase = kDefaultBaseDir;
  if (const char* value = environmentValue("XDG_CONFIG_HOME")) {
    configBase = sysconfigBase = value;
  }
  if (const char* value = environmentValue("XDG_DATA_HOME")) {
    dataBase = value;
  }
  if (const char* value = environmentValue("SNAP_DATA")) {
    configBase = sysconfigBase = dataBase = value;
  }
  configDir = configBase + "/config/";
  sysconfigDir = sysconfigBase + "/";
  dataDir = dataBase + "/data/";
  logDir = kLogDir;

  return createDirectory(configDir) && createDirectory(dataDir) && createDirectory(logDir);
}

bool AppContextNimbrel::init() {
  if (!initDirectories()) {
    return false;
  }

  const std::string path = getConfigFilePath();
  boost::system::error_code ec;
  const ConfigFileState state = configFileState(path, ec);
  if (state == ConfigFileState::Absent) {
    if (!createDefaultConfig(path) || !saveServerConfig(path)) {
      std::fprintf(stderr, "Error while saving webserver-config from file '%s'", path.c_str());
      return false;
    }
  } else if (refuseConfigFileState(state, path, ec)) {
    std::fprintf(stderr, "Error while loading webserver-config from file '%s'", path.c_str());
    return false;
  }

  if (!loadServerConfig(path)) {
    std::fprintf(stderr, "Error while loading webserver-config from file '%s'", path.c_str());
    return false;
  }

  LOG4CPLUS_INFO(logger, "Nimbrel " << kVersion << " (" << kCommitId << ") Running on " << getOsInfo());
  LOG4CPLUS_DEBUG(logger, "Executable directory: " << exeDir);
  LOG4CPLUS_DEBUG(logger, "Config directory:     " << configDir);
  LOG4CPLUS_DEBUG(logger, "Sysconfig directory:  " << sysconfigDir);
  LOG4CPLUS_DEBUG(logger, "Data directory:       " << dataDir);
  LOG4CPLUS_DEBUG(logger, "Log directory:        " << logDir);

  const ServerConfigPtr config = getServerConfig();
  if (!config) {
    LOG4CPLUS_FATAL(logger, "ServerConfig was null, this should never happen!");
    return false;
  }
  LOG4CPLUS_DEBUG(logger, "Using http read limitation: " << (config->getHttpUseReadLimits() ? "true" : "false"));
  if (config->getHttpUseReadLimits()) {
    LOG4CPLUS_DEBUG(logger, "http head read limit set to: " << config->getHttpMaxHeaderSize());
    LOG4CPLUS_DEBUG(logger, "http payload read limit set to: " << config->getHttpMaxPayloadSize());
  }
  LOG4CPLUS_DEBUG(logger, "Using openssl cipher string '" << config->getCipher() << "'");

  if (!initCertificateStore()) {
    LOG4CPLUS_FATAL(logger, "Certfication Manager init failed, this should never happen!");
    return false;
  }
  if (!checkAndInitCertificate("")) {
    LOG4CPLUS_FATAL(logger, "checkAndInitCertificate failed, this should never happen!");
    return false;
  }
  if (!startWolManager()) {
    LOG4CPLUS_FATAL(logger, "Wake On Lan Manager init failed!");
    return false;
  }
  startIoThreads();
  return true;
}

AppContextNimbrel::ServerStatus AppContextNimbrel::startServer() {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  std::uint16_t port = portParam;
  if (port != 0) {
    LOG4CPLUS_WARN(logger, "using port '" << port << "' set per parameter, port will not be configurable!");
  } else {
    port = getConfiguredPort();
  }

  if (!certParam.empty()) {
    if (keyParam.empty()) {
      LOG4CPLUS_FATAL(logger, "Missing key for certificate, cannot start without key!");
      status = ServerStatus::StartFailed;
      return status;
    }
    LOG4CPLUS_WARN(logger, "using certificate file '" << certParam
                                                      << "' set per parameter, certificate will not be configurable!");
    LOG4CPLUS_WARN(logger,
                   "using key file '" << keyParam << "' set per parameter, certificate will not be configurable!");
  }

  LOG4CPLUS_INFO(logger, "Https server starting on port '" << port << "' ...");

  const CertificateFiles files = certificateFiles();
  try {
    createHttpsServer(port, files.certificate, files.key, files.chain);
    status = ServerStatus::Running;
  } catch (const boost::system::system_error& e) {
    lastError = e.code() == boost::system::errc::address_in_use ? "Error binding to port " + std::to_string(port)
                                                                : e.code().message();
    LOG4CPLUS_FATAL(logger, "Exception in server thread caught, exiting server. Exception was : " << lastError);
    server.reset();
    status = ServerStatus::StartException;
  } catch (const std::exception& e) {
    LOG4CPLUS_FATAL(logger, "Exception in server thread caught, exiting server. Exception was : " << e.what());
    lastError = e.what();
    server.reset();
    status = ServerStatus::StartException;
  } catch (...) {
    LOG4CPLUS_FATAL(logger, "Exception in server thread caught, exiting server.");
    server.reset();
    status = ServerStatus::StartFailed;
  }
  return status;
}

int AppContextNimbrel::stopServer() {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  LOG4CPLUS_INFO(logger, "Wake On Lan Proxy server stopping ...");
  if (!server) {
    return static_cast<int>(status);
  }
  try {
    cancelPendingAccept();
  } catch (const std::exception& e) {
    // The listener is dropped below anyway; a failed cancel must not end the process.
    LOG4CPLUS_ERROR(logger, "Cancelling the pending accept failed: " << e.what());
  }
  status = ServerStatus::Stopped;
  server.reset();
  return 1;
}

void AppContextNimbrel::stopListen() {
  LOG4CPLUS_INFO(logger, "Wake On Lan Proxy server stopping listening ...");
  {
    std::lock_guard<std::recursive_mutex> lock(contextMutex);
    if (server) {
      cancelPendingAccept();
    }
  }
  LOG4CPLUS_INFO(logger, "Wake On Lan Proxy server stopped listening.");
}

void AppContextNimbrel::startServerThread() {
  std::thread([this] {
    stopServer();
    startServer();
    log4cplus::threadCleanup();
    OPENSSL_thread_stop();
  }).detach();
}

void AppContextNimbrel::shutdown() {
  // Connections still open would go on using the Wake-on-LAN client and the
  // certificate store released below.
  closeAllConnections();
  stopWolManager();
  deinitCertificateStore();
}

ServerConfigPtr AppContextNimbrel::getServerConfig() const { return serverConfig.load(); }

void AppContextNimbrel::setServerConfig(ServerConfigPtr newConfig) {
  if (!newConfig) {
    return;
  }
  if (const ServerConfigPtr current = getServerConfig()) {
    if (current->getLastUpdated() == newConfig->getLastUpdated()) {
      return;
    }
    newConfig->setLastUpdated(std::time(nullptr));
    // Connections and the broadcast socket were set up with these.
    newConfig->setHttpUseReadLimits(current->getHttpUseReadLimits());
    newConfig->setHttpMaxHeaderSize(current->getHttpMaxHeaderSize());
    newConfig->setHttpMaxPayloadSize(current->getHttpMaxPayloadSize());
    newConfig->setWolPort(current->getWolPort());
  } else {
    newConfig->setLastUpdated(std::time(nullptr));
  }
  serverConfig.store(newConfig);

  const std::string path = getConfigFilePath();
  if (!saveServerConfig(path)) {
    LOG4CPLUS_FATAL(logger, "Error while saving config to file '" << path << "'");
  }
}

std::uint16_t AppContextNimbrel::getConfiguredPort() const {
  const ServerConfigPtr config = getServerConfig();
  return config ? config->getPort() : ServerConfig::kDefaultPort;
}

std::size_t AppContextNimbrel::addConnection(transport::ConnectionPtr connection) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  connections.insert(std::move(connection));
  return connections.size();
}

bool AppContextNimbrel::removeConnection(const transport::ConnectionPtr& connection) {
  // Copied first: the caller's pointer may be one of the entries removed.
  const transport::ConnectionPtr target = connection;
  std::lock_guard<std::mutex> lock(connectionsMutex);
  connections.erase(target);
  return true;
}

std::size_t AppContextNimbrel::connectionCount() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  return connections.size();
}

void AppContextNimbrel::closeAllConnections() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  // Posted, not called: a connection's close removes it from this list under the same mutex.
  for (const auto& connection : connections) {
    connection->postClose("Server shutdown");
  }
}

std::size_t AppContextNimbrel::closeIdleConnections(std::size_t count) {
  using Idle = std::pair<std::chrono::steady_clock::time_point, transport::ConnectionPtr>;
  std::vector<Idle> idle;
  std::lock_guard<std::mutex> lock(connectionsMutex);
  for (const auto& connection : connections) {
    if (const auto since = connection->idleSince()) {
      idle.emplace_back(*since, connection);
    }
  }
  count = std::min(count, idle.size());
  std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(count), idle.end(),
                    [](const Idle& a, const Idle& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < count; ++i) {
    // Posted, as in closeAllConnections: the close removes the connection under this mutex.
    idle[i].second->postClose("Idle connection closed to free descriptors");
    // Out of the list at once, so that the next shed neither picks it again
    // nor counts it as still open; the posted close keeps it alive.
    connections.erase(idle[i].second);
  }
  return count;
}

std::string AppContextNimbrel::getOsInfo() {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  if (osInfoCache.empty()) {
    osInfoCache = readOsInfo();
  }
  return osInfoCache;
}

void AppContextNimbrel::setLastError(std::string text) {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  lastError = std::move(text);
}

std::string AppContextNimbrel::getLastError() const {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  return lastError;
}

std::string AppContextNimbrel::randomString(unsigned int length) const {
  thread_local std::mt19937 engine{std::random_device("default")()};
  thread_local std::uniform_int_distribution<std::size_t> pick(0, randomAlphabet.size() - 1);
  std::string result;
  result.reserve(length);
  for (unsigned int i = 0; i < length; ++i) {
    result += randomAlphabet[pick(engine)];
  }
  return result;
}

bool AppContextNimbrel::createDefaultConfig(const std::string& /*path*/) {
  serverConfig.store(std::make_shared<ServerConfig>());
  logLevel = kInfoLevel;

  const auto reset = [](common::AppenderSettings& settings, bool enabled) {
    settings.setLayout("log4cplus::PatternLayout");
    settings.setConversationPattern(kDefaultPattern);
    settings.setEnabled(enabled);
  };
  constexpr const char* kLogFileName = "Calvexa.log";
  reset(console, true);
  reset(win32debug, false);
  reset(file, false);
  file.setFilename(kLogFileName);
  reset(rollingfile, false);
  rollingfile.setFilename(kLogFileName);
  rollingfile.setMaxBackupIndex(10);
  rollingfile.setMaxFileSize(10485760);
  reset(dailyrollingfile, false);
  dailyrollingfile.setFilename(kLogFileName);
  dailyrollingfile.setMaxBackupIndex(10);
  dailyrollingfile.setSchedule(2);
  return true;
}

ptree AppContextNimbrel::readXmlFile(const std::string& path) {
  // Never a blocking open: a pipe swapped in after the start's check is refused, not waited for.
  std::vector<char> content;
  int openError = 0;
  switch (certificate::readWholeFile(path, std::numeric_limits<long>::max(), content, openError)) {
    case certificate::FileRead::Ok:
    case certificate::FileRead::Empty:
      break;
    case certificate::FileRead::OpenFailed:
      throw std::system_error(openError, std::generic_category(), "opening '" + path + "'");
    case certificate::FileRead::NotRegular:
      throw std::runtime_error("'" + path + "' is not a regular file");
    case certificate::FileRead::TooLarge:
    case certificate::FileRead::ReadFailed:
      throw std::system_error(EIO, std::generic_category(), "reading '" + path + "'");
  }
  std::istringstream in(std::string(content.begin(), content.end()));
  ptree tree;
  boost::property_tree::read_xml(in, tree, 0);
  return tree;
}

void AppContextNimbrel::writeXmlFile(const ptree& tree, const std::string& path) {
  std::ostringstream out;
  boost::property_tree::write_xml(out, tree, boost::property_tree::xml_writer_make_settings<std::string>(' ', 4));
  replaceFile(path, out.str());
}

bool AppContextNimbrel::saveServerConfig(const std::string& path) {
  try {
    ptree tree;
    ServerConfigConverter::toPropertyTree(tree, getServerConfig());
    writeLogConfig(tree);
    tree.put("server.<xmlattr>.version", kConfigVersion);
    writeXmlFile(tree, path);
    return true;
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, "Got exception while saving file '" << path << "' Exception was :" << e.what());
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Got unknown exception while saving file '" << path << "'");
  }
  return false;
}

bool AppContextNimbrel::loadServerConfig(const std::string& path) {
  try {
    const ptree tree = readXmlFile(path);
    unsigned int version = kConfigVersion;
    if (const auto attribute = tree.get_child_optional("server.<xmlattr>.version")) {
      version = attribute->get_value<unsigned int>();
    } else {
      LOG4CPLUS_WARN(logger, " No version found in element 'server' in the Calvexa config file assuming version "
                                 << kConfigVersion);
    }

    setLogDirectory(logDir);
    const bool levelGiven = commandLineLogLevel != -1;
    configureLogging(tree, levelGiven);
    if (levelGiven) {
      // For this run only: the configured level is what gets saved.
      log4cplus::Logger::getRoot().setLogLevel(commandLineLogLevel);
    }

    setServerConfig(ServerConfigConverter::fromPropertyTree(tree, getOsInfo(), version));
    return true;
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, "Error while loading config file '" << path << "'. Exception was: " << e.what());
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Unknown error while loading config file '" << path << "'");
  }
  return false;
}

bool AppContextNimbrel::loadOrCreateConfig(std::uint16_t port) {
  const std::string path = getConfigFilePath();
  try {
    ServerConfigPtr config;
    boost::system::error_code ec;
    const ConfigFileState state = configFileState(path, ec);
    if (refuseConfigFileState(state, path, ec)) {
      return false;
    }
    if (state == ConfigFileState::Present) {
      const ptree tree = readXmlFile(path);
      unsigned int version = kConfigVersion;
      if (const auto attribute = tree.get_child_optional("server.<xmlattr>.version")) {
        version = attribute->get_value<unsigned int>();
      } else {
        std::fprintf(stderr,
                     "No version found in element 'server' in the Calvexa Workstation Mode config file assuming "
                     "version %d \n",
                     static_cast<int>(kConfigVersion));
      }
      config = ServerConfigConverter::fromPropertyTree(tree, getOsInfo(), version);
      setLogDirectory(logDir);
      configureLogging(tree, false);
    } else {
      createDefaultConfig(path);
      config = std::make_shared<ServerConfig>(*getServerConfig());
    }
    config->setPort(port);

    ptree tree;
    ServerConfigConverter::toPropertyTree(tree, config);
    writeLogConfig(tree);
    tree.put("server.<xmlattr>.version", kConfigVersion);
    writeXmlFile(tree, path);
    return true;
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, "Got exception while saving file '" << path << "' Exception was :" << e.what());
  }
  return false;
}

AppContextNimbrel::CertificateFiles AppContextNimbrel::certificateFiles() const {
  // A key or chain given without a certificate is not used.
  if (!certParam.empty()) {
    return {certParam, keyParam, chainParam};
  }
  return {configDir + kCertFileName, configDir + kKeyFileName, configDir + kChainFileName};
}

bool AppContextNimbrel::checkAndInitCertificate(const std::string& hostName) {
  using certificate::CertManager;
  using certificate::FileRead;
  using certificate::fileExists;
  using certificate::readWholeFile;
  namespace fs = boost::filesystem;
  auto exists = [](const std::string& path) {
    boost::system::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
  };

  const auto [certificate, key, chain] = certificateFiles();
  if (!certParam.empty()) {
    if (!exists(certParam)) {
      LOG4CPLUS_ERROR(logger, "Certificate set by parameter, but file does not exit! File: " << certParam);
      return false;
    }
    if (keyParam.empty()) {
      LOG4CPLUS_ERROR(logger, "Certificate set by parameter, but missing private key file!");
      return false;
    }
    if (!exists(keyParam)) {
      LOG4CPLUS_ERROR(logger, "Private key set by parameter, but file does not exit! File: " << keyParam);
      return false;
    }
  } else {
    const bool haveCertificate = exists(certificate);
    if (haveCertificate && !exists(key)) {
      LOG4CPLUS_ERROR(logger, "Certification file '"
                                  << certificate << "' exists, but keyFile '" << key
                                  << "' does not. Either add the corresponding keyFile, or delete the certification "
                                     "file, to let Calvexa generate a self-signed on startup if not provided by "
                                     "parameter.");
      return false;
    }
    if (!haveCertificate) {
      if (hostName.empty() && isPresentButNotRegular(getCertHostNameFilePath())) {
        LOG4CPLUS_ERROR(logger, "Certificate host name file '" << getCertHostNameFilePath()
                                                               << "' is not a regular file, stopping server.");
        return false;
      }
      const std::string host = hostName.empty() ? getCertHostName() : hostName;
      LOG4CPLUS_INFO(logger, "No certificate found, creating new selfsigned certificate for '" << host << "' ...");
      unsigned long errorCode = 0;
      std::string errorMessage;
      if (!CertManager::createSelfSign(host, certificate, key, chain, false, errorCode, errorMessage, "")) {
        LOG4CPLUS_ERROR(logger, "There was an error creating a certificate, stopping server. Error was: '"
                                    << errorMessage << "'");
        setLastError("There was an error creating a certificate! Error was: " + errorMessage);
        return false;
      }
      LOG4CPLUS_INFO(logger, "Certificate created successfully!");
      storeCertHostName(host);
    }
  }

  if (!CertManager::checkCertificateFile(certificate, &certText, nullptr, nullptr, nullptr, nullptr, nullptr, "")) {
    LOG4CPLUS_ERROR(logger, "Check of the certificate file failed! File: " << certificate);
    return false;
  }

  if (fileExists(chain)) {
    std::vector<char> content;
    int openError = 0;
    switch (readWholeFile(chain, kMaxChainFileSize, content, openError)) {
      case FileRead::Ok:
      case FileRead::Empty:
        chainData.assign(content.begin(), content.end());
        break;
      case FileRead::NotRegular:
        // The listener would block on it, or read it forever.
        LOG4CPLUS_ERROR(logger, "Certificate chain file '" << chain << "' is not a regular file, stopping server.");
        return false;
      case FileRead::TooLarge:
        LOG4CPLUS_ERROR(logger,
                        "Certificate chain file is larger than 5 MB, does not seem to be a chainFile. Not loading "
                        "certificate chain file '"
                            << chain << "'");
        break;
      case FileRead::OpenFailed:
      case FileRead::ReadFailed:
        LOG4CPLUS_ERROR(logger, "Exception while loading certificate chain file. Error was: '"
                                    << std::strerror(openError != 0 ? openError : EIO)
                                    << "'. Certificate chain file not loaded!");
        break;
    }
  }

  if (!CertManager::checkKeyFile(key, nullptr, "")) {
    LOG4CPLUS_ERROR(logger, "Check of the private key file failed!" << key);
    return false;
  }
  return true;
}

std::string AppContextNimbrel::getCertHostName() {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  if (!certHostNameCache.empty()) {
    return certHostNameCache;
  }
  std::vector<char> content;
  int openError = 0;
  if (certificate::readWholeFile(getCertHostNameFilePath(), std::numeric_limits<long>::max(), content, openError) ==
      certificate::FileRead::Ok) {
    return std::string(content.begin(), content.end());
  }
  return getSystemHostName();
}

void AppContextNimbrel::storeCertHostName(const std::string& hostName) {
  std::lock_guard<std::recursive_mutex> lock(contextMutex);
  certHostNameCache = hostName;
  // Replaced, never opened for writing: a pipe there would block the start.
  const std::string path = getCertHostNameFilePath();
  if (isPresentButNotRegular(path)) {
    return;
  }
  try {
    replaceFile(path, hostName);
  } catch (const std::exception&) {
    // A name that cannot be kept is found again from the machine next time.
  }
}

std::string AppContextNimbrel::getSystemHostName() {
  char buffer[1024] = {};
  ::gethostname(buffer, sizeof(buffer) - 1);
  buffer[sizeof(buffer) - 1] = '\0';
  return buffer;
}

std::string AppContextNimbrel::getCertHostNameFilePath() const { return configDir + kCertHostNameFileName; }

// The components the context owns or calls.

void AppContextNimbrel::startIoThreads() { ioServicePool.run(); }

void AppContextNimbrel::stopIoThreads() {
  ioServicePool.stop(boost::posix_time::milliseconds(kPoolStopTimeoutMs));
}

bool AppContextNimbrel::startWolManager() { return wolManager.init(); }

velmora::WolManager& AppContextNimbrel::getWolManager() { return wolManager; }

void AppContextNimbrel::stopWolManager() { wolManager.stop(); }

bool AppContextNimbrel::initCertificateStore() { return certManager.init(""); }

void AppContextNimbrel::deinitCertificateStore() { certManager.deinit(); }

void AppContextNimbrel::createHttpsServer(std::uint16_t port, const std::string& certFile,
                                          const std::string& keyFile, const std::string& chainFile) {
  server = std::make_shared<http::HttpsServer>(ioServicePool.getIOService(), port, certFile, keyFile, chainFile,
                                               &ioServicePool);
  server->start_accept();
}

// The listener runs its cancel on the acceptor's own I/O context, where the
// accept loop re-arms, and marks itself stopped so the loop does not re-arm.
void AppContextNimbrel::cancelPendingAccept() { server->stop(); }

}  // namespace quorvel::calvexa
