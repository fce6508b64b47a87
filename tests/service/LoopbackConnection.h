// Drives an HttpConnection over a plain TCP loopback socket: the server side
// runs on its own I/O thread, the test talks to it through a blocking client
// socket whose reads give up after a bounded time.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include <chrono>
#include <functional>
#include <iostream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "common/connection/HttpConnection.h"
#include "common/http/HttpProcessor.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "common/transport/TcpTransport.h"
#include "support/LogCapture.h"

namespace quorvel::testing {

// What a test processor saw of one request.
struct SeenRequest {
  std::string method;
  std::string path;
  std::string body;
};

// Answers every request with 200 and a body naming the path, unless the test
// installs its own reaction.
class RecordingProcessor : public http::HttpProcessor {
 public:
  using Reaction = std::function<bool(const http::HttpRequest&, http::HttpResponse&, std::istream&)>;

  bool processRequest(const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                      std::shared_ptr<transport::HttpConnection>&) override {
    SeenRequest seen{request.getMethod(), request.getPath(), {}};
    bool result = true;
    if (reaction) {
      result = reaction(request, response, body);
    } else {
      seen.body.assign(std::istreambuf_iterator<char>(body), std::istreambuf_iterator<char>());
      response.setStatusCode(http::StatusCode::OK);
      response.setBody("path=" + request.getPath(), false, false);
    }
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(std::move(seen));
    return result;
  }

  std::vector<SeenRequest> seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }

  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests.size();
  }

  Reaction reaction;

 private:
  std::mutex mutex;
  std::vector<SeenRequest> requests;
};

struct ConnectionSettings {
  bool useReadLimits = true;
  std::size_t maxHeaderSize = 49152;
  std::size_t maxPayloadSize = 20971520;
  std::uint32_t hstsMaxAge = 0;
  std::chrono::milliseconds idleTimeout = transport::httplimits::kIdleTimeout;
  std::chrono::milliseconds headerTimeout = transport::httplimits::kHeaderTimeout;
  std::chrono::milliseconds bodyTimeout = transport::httplimits::kBodyTimeout;
};

// Blocking client end of one loopback connection.
class Client {
 public:
  static constexpr std::chrono::milliseconds kReadLimit{5000};

  Client(boost::asio::io_context& io, unsigned short port) : socket(io) {
    socket.connect({boost::asio::ip::address_v4::loopback(), port});
    setReadTimeout(kReadLimit);
  }

  void setReadTimeout(std::chrono::milliseconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }

  void send(const std::string& data) { boost::asio::write(socket, boost::asio::buffer(data)); }

  // Sends what the peer still takes; stops quietly once it has closed.
  void sendIgnoringErrors(const std::string& data) {
    boost::system::error_code ignored;
    boost::asio::write(socket, boost::asio::buffer(data), ignored);
  }

  // One response: header block and a body of its Content-Length. Empty when
  // the connection closed (or nothing came in time) before a full response.
  std::string readResponse() {
    if (!readUntil("\r\n\r\n")) {
      return "";
    }
    auto end = pending.find("\r\n\r\n");
    std::string header = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    std::size_t length = 0;
    auto at = header.find("Content-Length: ");
    if (at != std::string::npos) {
      length = std::stoul(header.substr(at + 16));
    }
    while (pending.size() < length) {
      if (!fill()) {
        return "";
      }
    }
    std::string response = header + pending.substr(0, length);
    pending.erase(0, length);
    return response;
  }

  // True when the server closed (end of stream or reset) within the read
  // limit, with nothing but what was already received before.
  bool closedByPeer() {
    char byte;
    ssize_t n = receive(&byte, 1);
    if (n == 1) {
      pending.push_back(byte);
      return false;
    }
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

  // True when nothing arrives and the connection stays open for the given time.
  bool silentFor(std::chrono::milliseconds limit) {
    setReadTimeout(limit);
    char byte;
    ssize_t n = receive(&byte, 1);
    const int error = errno;
    setReadTimeout(kReadLimit);
    if (n == 1) {
      pending.push_back(byte);
    }
    return n < 0 && (error == EAGAIN || error == EWOULDBLOCK);
  }

  // Reads until the received bytes hold the marker; false when they never do.
  bool readUntil(const std::string& marker) {
    while (pending.find(marker) == std::string::npos) {
      if (!fill()) {
        return false;
      }
    }
    return true;
  }

  const std::string& buffered() const { return pending; }
  boost::asio::ip::tcp::socket& raw() { return socket; }

 private:
  // Asio's blocking reads ignore SO_RCVTIMEO (they poll without limit), so
  // reads go to the socket directly.
  ssize_t receive(char* data, std::size_t size) {
    ssize_t n;
    do {
      n = ::recv(socket.native_handle(), data, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  bool fill() {
    char chunk[16384];
    ssize_t n = receive(chunk, sizeof(chunk));
    if (n <= 0) {
      return false;
    }
    pending.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  boost::asio::ip::tcp::socket socket;
  std::string pending;
};

// A loopback listener whose accepted sockets become HTTP connections.
class LoopbackServer {
 public:
  LoopbackServer()
      : work(boost::asio::make_work_guard(io)),
        acceptor(io, {boost::asio::ip::address_v4::loopback(), 0}),
        thread([this] { io.run(); }) {}

  ~LoopbackServer() { shutdown(); }

  unsigned short port() const { return acceptor.local_endpoint().port(); }

  // Accepts one client into a new connection built with the settings.
  std::unique_ptr<Client> connect(const ConnectionSettings& settings, const http::HttpProcessorPtr& processor) {
    auto transport = std::make_shared<transport::TcpTransport>(io, authentication::AuthInfoPtr());
    auto connection = std::make_shared<transport::HttpConnection>(transport, settings.useReadLimits,
                                                                  settings.maxHeaderSize, settings.maxPayloadSize,
                                                                  processor, settings.hstsMaxAge);
    connection->setTimeouts(settings.idleTimeout, settings.headerTimeout, settings.bodyTimeout);
    connection->connectSignals();
    std::promise<void> accepted;
    acceptor.async_accept(transport->getSocket(), [&accepted](const boost::system::error_code&) {
      accepted.set_value();
    });
    auto client = std::make_unique<Client>(clientIo, port());
    accepted.get_future().wait();
    connection->initClientInfo();
    connection->postStartTransport(transport::WhileConnectionCallback());
    std::lock_guard<std::mutex> lock(mutex);
    connections.push_back(connection);
    return client;
  }

  // Closes what is still open and lets the I/O thread run out of work, so no
  // connection outlives the I/O context it lives on.
  void shutdown() {
    if (!thread.joinable()) {
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& connection : connections) {
        connection->postClose("test end");
      }
      connections.clear();
    }
    boost::asio::post(io, [this] {
      boost::system::error_code ignored;
      acceptor.close(ignored);
    });
    work.reset();
    thread.join();
  }

 private:
  boost::asio::io_context io;
  boost::asio::io_context clientIo;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
  boost::asio::ip::tcp::acceptor acceptor;
  std::mutex mutex;
  // Held like the service's list of live connections holds them.
  std::vector<std::shared_ptr<transport::HttpConnection>> connections;
  std::thread thread;
};

// Prints what was logged, for the report of a failed test.
inline void dumpLog(const LogCapture& log) {
  for (const auto& line : log.lines()) {
    std::cerr << "  [" << line.logger << "] " << line.message << "\n";
  }
}

inline std::string get(const std::string& path, const std::string& extraHeaders = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders + "\r\n";
}

inline std::string post(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: test\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

inline std::string statusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

inline std::string bodyOf(const std::string& response) {
  auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

}  // namespace quorvel::testing
