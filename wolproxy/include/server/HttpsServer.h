#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "wolproxy/include/data/ServerConfig.h"
#include "wolproxy/include/server/Connection.h"
#include "wolproxy/include/server/HeapTrimmer.h"

namespace quorvel::boostutils {
class IOServicePool;
}

namespace quorvel::transport {
class SSLTransport;
}  // namespace quorvel::transport

namespace quorvel::http {

// The service's TLS listener: one acceptor, one TLS context shared by every
// connection, and the accept loop that prepares and starts connections.
class HttpsServer : public std::enable_shared_from_this<HttpsServer> {
 public:
  // An accept that fails (for example for lack of descriptors) is tried
  // again after this pause rather than ending the listener. Its error goes
  // through the process-wide folder of log lines, so a run of failures is
  // written once per window, with the number of the others.
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{250};
  // stop() called from outside the pool waits this long for the acceptor to close.
  static constexpr std::chrono::milliseconds kStopWait{2000};
  // Descriptors kept back from client connections for everything else the
  // process opens: logs, I/O contexts, the Wake-on-LAN socket, files.
  static constexpr std::size_t kReservedDescriptors = 64;
  // Sheds within this time of the previous one belong to the same burst,
  // which is logged once it is over, with the number closed in all.
  static constexpr std::chrono::seconds kShedBurstGap{10};
  // While connections are open or folded log lines are held back, this
  // often the listener looks whether a burst of connections or of sheds, or
  // a window of folded lines, has ended.
  static constexpr std::chrono::seconds kUpkeepInterval{5};
  // Connections prepared ahead of the accepts, so that the next accept
  // starts at once rather than after a round trip to a pool thread.
  static constexpr std::size_t kPreparedAhead = 2;

  // The number of connections at which idle ones are shed, for a given
  // limit of open descriptors.
  static std::size_t connectionLimit(std::uint64_t descriptorLimit);

  HttpsServer(boost::asio::io_service& io, unsigned short port, const std::string& certFile,
              const std::string& keyFile, const std::string& chainFile, boostutils::IOServicePool* pool);
  ~HttpsServer();

  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  // Starts the accept loop.
  void start_accept();
  void handle_accept(transport::ConnectionPtr connection, const boost::system::error_code& error);
  void start();

  // Ends the accept loop: sets the stopped flag and cancels and closes the
  // acceptor on the acceptor's own executor (waits for that, bounded, when
  // called from outside it). Accepted connections are not touched.
  void stop();
  bool isStopped() const { return stopped.load(); }

  // The bound port (the actual one when 0 was asked for).
  unsigned short getLocalPort() const;
  boost::asio::ssl::context& getSslContext() { return sslContext; }

  static std::string loadFileStripBom(const std::string& path);
  static bool stripBom(std::string& data);

 private:
  // On the connection's own thread: builds it, then accepts into its socket.
  void prepareAccept(boost::asio::io_service& io, const data::wolproxy::ServerConfigPtr& config);
  // Asks a pool thread for one more prepared connection.
  void prepareNext();
  // On the acceptor's thread: accepts into the oldest prepared connection
  // unless an accept is pending already.
  void acceptNext();
  void closeAcceptor();
  void scheduleRetry();
  // Closes the longest-idle keep-alive connections to make room for new ones.
  void shedIdleConnections();
  void reportShedBurst();
  // Off the accept path: memory back after a burst, the report of a shed burst.
  void armUpkeep();
  void upkeep();

  boostutils::IOServicePool* pool;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::ssl::context sslContext;
  unsigned short port;
  boost::asio::steady_timer retryTimer;
  std::atomic<bool> stopped{false};
  // From the descriptor limit at start; reached, idle connections are shed.
  std::size_t maxConnections;
  std::chrono::steady_clock::time_point lastShed;
  // Connections shed in the burst not yet reported.
  std::size_t shedInBurst = 0;
  boost::asio::steady_timer upkeepTimer;
  bool upkeepArmed = false;
  HeapTrimmer trimmer;
  // Touched on the acceptor's thread only.
  std::deque<std::pair<std::shared_ptr<transport::SSLTransport>, transport::ConnectionPtr>> prepared;
  bool acceptPending = false;
  // Prepared connections lost to failures, made again when the retry delay is over.
  std::size_t retriesOwed = 0;
};

}  // namespace quorvel::http
