#include "wolproxy/include/server/HttpsServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/filesystem.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include "common/boost/IOServicePool.h"
#include "common/openssl/CertManager.h"
#include "common/transport/SSLTransport.h"
#include "common/utils/LogText.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"
#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

namespace quorvel::http {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("HttpsServer");

namespace {
constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::size_t kBomLength = 3;
constexpr int kServerHandshake = 1;

const char* enabledText(bool enabled) {
  return enabled ? "enabled" : "disabled";
}

boost::asio::ip::tcp::acceptor openAcceptor(boost::asio::io_service& io, unsigned short port) {
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v6::any(), port);
  boost::asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(boost::asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(boost::asio::socket_base::max_listen_connections);
  return acceptor;
}

std::uint64_t descriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return UINT64_MAX;
  }
  return limit.rlim_cur;
}

bool outOfDescriptors(const boost::system::error_code& error) {
  return error == boost::asio::error::no_descriptors || error == boost::system::errc::too_many_files_open_in_system;
}
}  // namespace

std::size_t HttpsServer::connectionLimit(std::uint64_t descriptorLimit) {
  if (descriptorLimit >= SIZE_MAX) {
    return SIZE_MAX;
  }
  const auto limit = static_cast<std::size_t>(descriptorLimit);
  // A small limit still leaves half of it to clients.
  return limit > 2 * kReservedDescriptors ? limit - kReservedDescriptors : limit / 2;
}

HttpsServer::HttpsServer(boost::asio::io_service& io, unsigned short port, const std::string& certFile,
                         const std::string& keyFile, const std::string& chainFile, boostutils::IOServicePool* pool)
    : pool(pool),
      acceptor(openAcceptor(io, port)),
      sslContext(boost::asio::ssl::context::tls),
      port(port),
      retryTimer(acceptor.get_executor()),
      maxConnections(connectionLimit(descriptorLimit())),
      upkeepTimer(acceptor.get_executor()) {
  auto config = calvexa::AppContextNimbrel::getInstance().getServerConfig();
  // The configured cipher order applies, not the client's.
  long options = SSL_OP_ALL | SSL_OP_NO_SSLv3 | SSL_OP_CIPHER_SERVER_PREFERENCE;
  const bool tls1 = config ? config->getEnableTLSv1() : false;
  const bool tls11 = config ? config->getEnableTLSv1_1() : true;
  const bool tls12 = config ? config->getEnableTLSv1_2() : true;
  const bool tls13 = config ? config->getEnableTLSv1_3() : true;
  if (!tls1) {
    options |= SSL_OP_NO_TLSv1;
  }
  if (!tls11) {
    options |= SSL_OP_NO_TLSv1_1;
  }
  if (!tls12) {
    options |= SSL_OP_NO_TLSv1_2;
  }
  if (!tls13) {
    options |= SSL_OP_NO_TLSv1_3;
  }
  SSL_CTX_set_options(sslContext.native_handle(), options);

  bool chainUsed = false;
  try {
    std::string certText = loadFileStripBom(certFile);
    boost::system::error_code statusError;
    if (!chainFile.empty() && boost::filesystem::exists(chainFile, statusError)) {
      certText += "\r\n" + loadFileStripBom(chainFile);
      sslContext.use_certificate_chain(boost::asio::buffer(certText));
      chainUsed = true;
    } else {
      sslContext.use_certificate(boost::asio::buffer(certText), boost::asio::ssl::context::pem);
    }
    const std::string keyText = loadFileStripBom(keyFile);
    sslContext.use_private_key(boost::asio::buffer(keyText), boost::asio::ssl::context::pem);
  } catch (const std::exception& e) {
    LOG4CPLUS_FATAL(logger, "Exception ' " << e.what() << "' using cert file: '" << certFile
                                           << "' and using key file: '" << keyFile << "'");
    throw std::runtime_error(e.what());
  }

  LOG4CPLUS_INFO(logger, "TLS 1.0  " << enabledText(tls1));
  LOG4CPLUS_INFO(logger, "TLS 1.1  " << enabledText(tls11));
  LOG4CPLUS_INFO(logger, "TLS 1.2  " << enabledText(tls12));
  LOG4CPLUS_INFO(logger, "TLS 1.3  " << enabledText(tls13));
  LOG4CPLUS_TRACE(logger, "Using certificate file '" << certFile << "'");
  if (chainUsed) {
    LOG4CPLUS_TRACE(logger, "Using certificate chain file '" << chainFile << "'");
  }
  LOG4CPLUS_TRACE(logger, "Using certificate key file '" << keyFile << "'");
}

HttpsServer::~HttpsServer() = default;

void HttpsServer::start() {
  start_accept();
}

unsigned short HttpsServer::getLocalPort() const {
  boost::system::error_code error;
  auto endpoint = acceptor.local_endpoint(error);
  return error ? port : endpoint.port();
}

void HttpsServer::start_accept() {
  for (std::size_t i = 0; i < kPreparedAhead; ++i) {
    prepareNext();
  }
}

void HttpsServer::prepareNext() {
  if (stopped) {
    return;
  }
  auto config = calvexa::AppContextNimbrel::getInstance().getServerConfig();
  if (!config) {
    LOG4CPLUS_FATAL(logger, "Could not get server config! Stop accepting!");
    return;
  }
  auto self = shared_from_this();
  auto* next = &pool->getIOService();
  if (&next->get_executor().context() == &acceptor.get_executor().context()) {
    next = &pool->getIOService();  // the same again only when the pool has no other
  }
  auto& io = *next;
  // Built on the thread that will serve it, so that its memory comes from
  // that thread's arena. The acceptor's thread keeps Asio's reactor record
  // of every socket it accepted, for reuse; connections built in between
  // those would leave their memory pinned among them once closed.
  boost::asio::post(io, [self, &io, config] { self->prepareAccept(io, config); });
}

void HttpsServer::prepareAccept(boost::asio::io_service& io, const data::wolproxy::ServerConfigPtr& config) {
  auto self = shared_from_this();
  try {
    auto transport = std::make_shared<transport::SSLTransport>(io, sslContext, kServerHandshake,
                                                               authentication::AuthInfoPtr(), config->getCipher());
    auto processor = std::make_shared<HttpProcessorWOLProxy>();
    auto connection = std::make_shared<transport::Connection>(
        transport, config->getHttpUseReadLimits(), static_cast<std::size_t>(config->getHttpMaxHeaderSize()),
        static_cast<std::size_t>(config->getHttpMaxPayloadSize()), processor, 0);
    connection->connectSignals();

    boost::asio::post(acceptor.get_executor(), [self, transport, connection] {
      if (!self->stopped) {
        self->prepared.push_back({transport, connection});
        self->acceptNext();
      }
    });
  } catch (const std::exception& e) {
    // Like a failed accept, a failure to prepare a connection (such as a
    // lack of memory) is passing: try again rather than stop listening.
    LOG4CPLUS_ERROR(logger, "Caught Exception ' " << e.what() << "'! Accepting again shortly.");
    boost::asio::post(acceptor.get_executor(), [self] { self->scheduleRetry(); });
  } catch (...) {
    LOG4CPLUS_ERROR(logger, "Caught Exception! Accepting again shortly.");
    boost::asio::post(acceptor.get_executor(), [self] { self->scheduleRetry(); });
  }
}

void HttpsServer::acceptNext() {
  if (acceptPending || prepared.empty()) {
    return;
  }
  const auto transport = std::move(prepared.front().first);
  const auto connection = std::move(prepared.front().second);
  prepared.pop_front();
  acceptPending = true;
  auto self = shared_from_this();
  acceptor.async_accept(transport->getSocket(), [self, connection](const boost::system::error_code& error) {
    self->acceptPending = false;
    self->handle_accept(connection, error);
  });
}

void HttpsServer::handle_accept(transport::ConnectionPtr connection, const boost::system::error_code& error) {
  if (stopped) {
    return;  // the accepted socket, if any, closes with the connection
  }
  if (error) {
    if (error == boost::asio::error::operation_aborted) {
      return;
    }
    NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, "", "Handle_accept error. Error was: '" + error.message() +
                                           "'. Accepting again shortly.");
    if (outOfDescriptors(error)) {
      shedIdleConnections();
    }
    scheduleRetry();
    return;
  }

  try {
    connection->initClientInfo();
    LOG4CPLUS_TRACE(logger, "Accepted connection from client '" << connection->getClientIP() << ":"
                                                                << connection->getClientPort() << "' from country '"
                                                                << connection->getCountry() << "'");
    // Listed before it starts, so a connection that fails at once still
    // finds itself in the list when it removes itself.
    const std::size_t live = calvexa::AppContextNimbrel::getInstance().addConnection(connection);
    trimmer.notePeak(live);
    armUpkeep();
    if (live >= maxConnections) {
      shedIdleConnections();
    }
    connection->postStartTransport(transport::WhileConnectionCallback());
  } catch (const std::exception& e) {
    NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, "", std::string("Caught Exception ' ") + e.what() + "' while starting a connection!");
    connection->postClose(e.what());
  }
  prepareNext();
  acceptNext();
}

void HttpsServer::scheduleRetry() {
  auto self = weak_from_this().lock();
  if (!self || stopped) {
    return;
  }
  // Each failure used up one prepared connection; a second failure within
  // the delay cancels the first wait, so the count, not the wait, is owed.
  if (retriesOwed++ != 0) {
    return;
  }
  retryTimer.expires_after(kAcceptRetryDelay);
  retryTimer.async_wait([self](const boost::system::error_code& error) {
    if (error) {
      return;
    }
    for (std::size_t owed = std::exchange(self->retriesOwed, 0); owed != 0; --owed) {
      self->prepareNext();
    }
    self->acceptNext();
  });
}

void HttpsServer::shedIdleConnections() {
  // Closes are posted and take a moment: a batch, not one, so the next
  // accepts do not all find the count still at the limit.
  const std::size_t batch = std::clamp<std::size_t>(maxConnections / 64, 1, 256);
  const std::size_t closed = calvexa::AppContextNimbrel::getInstance().closeIdleConnections(batch);
  LOG4CPLUS_DEBUG(logger, "Closing " << closed << " idle keep-alive connections to free descriptors.");
  shedInBurst += closed;
  lastShed = std::chrono::steady_clock::now();
  armUpkeep();
}

void HttpsServer::reportShedBurst() {
  LOG4CPLUS_WARN(logger, "Running out of file descriptors: closed " << shedInBurst
                                                                   << " of the longest-idle keep-alive connections.");
  shedInBurst = 0;
}

void HttpsServer::armUpkeep() {
  if (upkeepArmed || stopped) {
    return;
  }
  upkeepArmed = true;
  upkeepTimer.expires_after(kUpkeepInterval);
  // Weak: a server that is let go of must not live on for its timer.
  std::weak_ptr<HttpsServer> weak = weak_from_this();
  upkeepTimer.async_wait([weak](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (!error && self) {
      self->upkeep();
    }
  });
}

void HttpsServer::upkeep() {
  upkeepArmed = false;
  const std::size_t live = calvexa::AppContextNimbrel::getInstance().connectionCount();
  if (trimmer.trimIfDrained(live)) {
    LOG4CPLUS_DEBUG(logger, "Memory of closed connections returned to the system; " << live << " still open.");
  }
  if (shedInBurst != 0 && std::chrono::steady_clock::now() - lastShed >= kShedBurstGap) {
    reportShedBurst();
  }
  // Clients cause the folded lines, so their counts are due while clients come and go.
  auto& folder = utils::LogRepeatFolder::process();
  folder.flush(utils::LogRepeatFolder::Clock::now());
  if (live != 0 || shedInBurst != 0 || folder.holding()) {
    armUpkeep();
  }
}

void HttpsServer::closeAcceptor() {
  stopped = true;
  boost::system::error_code ignored;
  retryTimer.cancel();
  upkeepTimer.cancel();
  if (shedInBurst != 0) {
    reportShedBurst();
  }
  acceptor.cancel(ignored);
  acceptor.close(ignored);
}

void HttpsServer::stop() {
  // The acceptor was built on an io_service, so its context is one.
  auto& io = static_cast<boost::asio::io_service&>(acceptor.get_executor().context());
  auto executor = io.get_executor();
  if (executor.running_in_this_thread()) {
    closeAcceptor();
    return;
  }
  stopped = true;
  auto self = shared_from_this();
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  boost::asio::post(executor, [self, done] {
    self->closeAcceptor();
    done->set_value();
  });
  // Bounded: with the pool already stopped the posted close never runs, and
  // the acceptor then closes when the server is destroyed.
  finished.wait_for(kStopWait);
}

std::string HttpsServer::loadFileStripBom(const std::string& path) {
  // Never a blocking open: a pipe in place of a PEM file has no size and is refused.
  std::vector<char> content;
  int openError = 0;
  const auto read = certificate::readWholeFile(path, std::numeric_limits<long>::max(), content, openError);
  if (read != certificate::FileRead::Ok && read != certificate::FileRead::Empty) {
    const int error = read == certificate::FileRead::OpenFailed   ? openError
                      : read == certificate::FileRead::NotRegular ? ESPIPE
                                                                  : EIO;
    LOG4CPLUS_ERROR(logger, "Filesize returned -1 for file '" << path << "'. Last error was: '" << std::strerror(error)
                                                              << "'");
    return "";
  }
  std::string data(content.begin(), content.end());
  if (data.size() >= kBomLength && data.compare(0, kBomLength, kBom) == 0) {
    data.erase(0, kBomLength);
  }
  return data;
}

bool HttpsServer::stripBom(std::string& data) {
  if (data.size() < kBomLength) {
    return false;
  }
  if (data.compare(0, kBomLength, kBom) == 0) {
    data.erase(0, kBomLength);
  }
  return true;
}

}  // namespace quorvel::http
