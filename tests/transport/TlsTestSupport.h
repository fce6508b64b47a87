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
#include <gtest/gtest.h>

#include "common/transport/SSLTransport.h"

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

struct StartReport {
  bool connected = false;
  boost::system::error_code error;
  std::vector<std::string> events;  // signals and callback, in the order they happened
  std::string closeReason;
};

// A server-side TLS transport on its own I/O thread, connected to a client
// that speaks TLS when given a context and plain TCP otherwise.
class TlsServer {
 public:
  explicit TlsServer(std::unique_ptr<boost::asio::ssl::context> clientTls, std::string cipherList = "")
      : context(makeServerContext()),
        clientContext(std::move(clientTls)),
        client(clientContext.get()),
        transport(std::make_shared<transport::SSLTransport>(io.context(), *context, boost::asio::ssl::stream_base::server,
                                                 nullptr, std::move(cipherList))) {
    transport->connectedSignal.connect([this] { events.push_back("connected"); });
    transport->closeSignal.connect([this](std::string reason) {
      events.push_back("close");
      closeReason = std::move(reason);
    });
    EXPECT_FALSE(connectLoopback(io, transport->getSocket(), client));
  }
  ~TlsServer() {
    io.call([this] { transport->shutdown(); });
  }

  // Starts the handshake on the I/O thread; the future reports its outcome.
  std::future<StartReport> start() {
    auto done = std::make_shared<std::promise<StartReport>>();
    io.call([this, done] {
      transport->start(
          [this, done](bool connected, const boost::system::error_code& error) {
            events.push_back("callback");
            done->set_value({connected, error, events, closeReason});
          },
          "");
    });
    return done->get_future();
  }

  // Reads one line and answers it with `reply`; the future tells whether both went well.
  std::future<bool> echoLine(std::string reply, bool shutdownAfter = false) {
    auto done = std::make_shared<std::promise<bool>>();
    io.call([&] {
      transport->async_read_until(inbound, "\n", [=, t = transport](const auto& error, std::size_t) {
        const bool readOk = !error;  // by value: the error is gone once this handler returns
        t->async_write(std::make_shared<utils::WriteBuffers>(reply, 0, transport::IoCallback()), [=](const auto& writeError, auto) {
          if (shutdownAfter) {
            t->shutdown();
          }
          done->set_value(readOk && !writeError);
        });
      });
    });
    return done->get_future();
  }

  IoThread io;
  std::unique_ptr<boost::asio::ssl::context> context, clientContext;
  Client client;
  std::shared_ptr<transport::SSLTransport> transport;
  boost::asio::streambuf inbound;
  std::vector<std::string> events;  // only touched on the I/O thread
  std::string closeReason;
};

}  // namespace quorvel::testing
