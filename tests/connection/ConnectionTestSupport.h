// Loopback plumbing shared by the connection-layer tests: an I/O thread, a
// throw-away TLS identity, a TLS client driven with deadlines and a log
// watcher that lets a test wait for a line instead of sleeping.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

namespace quorvel::testing {

using namespace std::chrono_literals;

// Upper bound for anything a test waits for; reaching it is a failure.
constexpr auto kDeadline = 10s;

// An I/O context with one thread, as the pool gives to every connection.
class IoThread {
 public:
  IoThread();
  ~IoThread();
  boost::asio::io_service& context() { return io; }
  // Runs fn on the I/O thread and waits for it.
  template <typename Fn>
  auto call(Fn fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    boost::asio::post(io, [&task] { task(); });
    if (result.wait_for(kDeadline) != std::future_status::ready) {
      throw std::runtime_error("I/O thread did not run the call in time");
    }
    return result.get();
  }

 private:
  boost::asio::io_service io;
  boost::asio::executor_work_guard<boost::asio::io_service::executor_type> work;
  std::thread thread;
};

// Self-signed P-256 certificate and key, made once per process.
void useTestIdentity(boost::asio::ssl::context& context);
std::unique_ptr<boost::asio::ssl::context> makeServerContext();
std::unique_ptr<boost::asio::ssl::context> makeClientContext(const std::string& tls12Ciphers = "");

// Accepts one connection from a fresh acceptor on the loopback address into
// `socket`, which lives on `serverIo`; returns the port clients must use.
class LoopbackAcceptor {
 public:
  explicit LoopbackAcceptor(boost::asio::io_service& serverIo, bool ipv6 = false);
  boost::asio::ip::tcp::endpoint endpoint() const;
  std::future<boost::system::error_code> acceptInto(boost::asio::ip::tcp::socket& socket);

 private:
  boost::asio::ip::tcp::acceptor acceptor;
};

// A client whose every operation is bounded by kDeadline.
class Client {
 public:
  explicit Client(boost::asio::ssl::context* tls = nullptr);
  ~Client();
  boost::asio::ip::tcp::socket& socket() { return stream.next_layer(); }
  boost::system::error_code connect(const boost::asio::ip::tcp::endpoint& endpoint);
  boost::system::error_code handshake();
  boost::system::error_code write(const std::string& data);
  // Reads exactly `count` bytes into `out`.
  boost::system::error_code read(std::size_t count, std::string& out);
  // Reads until the stream ends; returns how it ended.
  boost::system::error_code readToEnd(std::string& out);
  boost::system::error_code shutdown();

 private:
  template <typename Start>
  boost::system::error_code drive(Start start);

  boost::asio::io_service io;
  std::unique_ptr<boost::asio::ssl::context> plainContext;
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream;
  bool tls;
};

// Fulfils a future when a log line containing the text is written.
class LogWaiter {
 public:
  explicit LogWaiter(std::string text);
  ~LogWaiter();
  bool wait(std::chrono::milliseconds limit = std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline));

 private:
  class Sink;
  log4cplus::SharedAppenderPtr sink;
  std::shared_future<void> seen;
};

}  // namespace quorvel::testing
