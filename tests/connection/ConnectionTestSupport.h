// Loopback plumbing shared by the connection-layer tests: an I/O thread, a
// throw-away TLS identity and a client whose every operation has a deadline.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

namespace quorvel::testing {

using namespace std::chrono_literals;

// Upper bound for anything a test waits for; reaching it is a failure.
constexpr auto kDeadline = 10s;

// Waits for a result that handlers referencing the caller's frame deliver;
// giving up would leave them writing into freed memory, so a hang aborts.
template <typename T>
T await(std::future<T> future) {
  if (future.wait_for(kDeadline) != std::future_status::ready) {
    std::fputs("timed out waiting for an asynchronous result\n", stderr);
    std::abort();
  }
  return future.get();
}

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

// Server contexts carry a self-signed P-256 identity made once per process.
std::unique_ptr<boost::asio::ssl::context> makeServerContext();
// A non-empty list restricts the client to TLS 1.2, where cipher lists apply.
std::unique_ptr<boost::asio::ssl::context> makeClientContext(const std::string& tls12Ciphers = "");

// Plain TCP without a TLS context, TLS with one.
class Client {
 public:
  explicit Client(boost::asio::ssl::context* tls = nullptr);
  ~Client();
  boost::asio::ip::tcp::socket& socket() { return stream.next_layer(); }
  boost::system::error_code connect(const boost::asio::ip::tcp::endpoint& endpoint);
  boost::system::error_code handshake();
  boost::system::error_code write(const std::string& data);
  // Reads exactly `count` bytes.
  boost::system::error_code read(std::size_t count, std::string& out);
  // Reads until the stream ends; returns how it ended.
  boost::system::error_code readToEnd(std::string& out);

 private:
  template <typename Start>
  boost::system::error_code drive(Start start);
  template <typename Op>
  void onStream(Op op) {
    tls ? op(stream) : op(socket());
  }

  boost::asio::io_service io;
  std::unique_ptr<boost::asio::ssl::context> plainContext;
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream;
  bool tls;
};

// Connects `client` over an ephemeral loopback port to `socket`, which lives on `io`.
boost::system::error_code connectLoopback(IoThread& io, boost::asio::ip::tcp::socket& socket, Client& client);

}  // namespace quorvel::testing
