// An HttpConnection over a memory transport, run by the test thread: the test
// decides how the request bytes arrive, whether the replies are read, and how
// long time passes, and sees the exact bytes written.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/connection/HttpConnection.h"
#include "common/http/HttpProcessor.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"
#include "support/MemoryTransport.h"

namespace quorvel::testing {

// Answers every request with 200 unless the test installs its own reaction;
// records "METHOD path [body]" of each request. It takes at most 16 bytes of
// a body, so the connection must skip the rest.
class RecordingProcessor : public http::HttpProcessor {
 public:
  using Reaction = std::function<bool(const http::HttpRequest&, http::HttpResponse&, std::istream&,
                                      std::shared_ptr<transport::HttpConnection>&)>;

  bool processRequest(const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                      std::shared_ptr<transport::HttpConnection>& connection) override {
    seen.push_back(request.getMethod() + " " + request.getPath());
    if (reaction) {
      return reaction(request, response, body, connection);
    }
    char taken[16];
    body.read(taken, sizeof(taken));
    seen.back() += " [" + std::string(taken, static_cast<std::size_t>(body.gcount())) + "]";
    return true;
  }

  Reaction reaction;
  std::vector<std::string> seen;
};

struct ConnectionSettings {
  bool useReadLimits = true;
  std::size_t maxHeaderSize = 49152;
  std::size_t maxPayloadSize = 20971520;
  std::uint32_t hstsMaxAge = 0;
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
  std::chrono::milliseconds headerTimeout = std::chrono::seconds(30);
  std::chrono::milliseconds bodyTimeout = std::chrono::seconds(120);
};

class MemoryConnection {
 public:
  MemoryConnection(const ConnectionSettings& settings, const http::HttpProcessorPtr& processor)
      : transport(std::make_shared<MemoryTransport>(io)),
        connection(std::make_shared<transport::HttpConnection>(transport, settings.useReadLimits,
                                                               settings.maxHeaderSize, settings.maxPayloadSize,
                                                               processor, settings.hstsMaxAge)) {
    connection->setTimeouts(settings.idleTimeout, settings.headerTimeout, settings.bodyTimeout);
    connection->connectSignals();
    connection->postStartTransport(transport::WhileConnectionCallback());
    runFor(std::chrono::milliseconds(0));
  }

  ~MemoryConnection() {
    connection->postClose("test end");
    runFor(std::chrono::milliseconds(0));
  }

  // Delivers the bytes and runs everything they set off.
  void arrive(const std::string& piece) {
    stream().arrive(piece);
    runFor(std::chrono::milliseconds(0));
  }

  // Lets the given time pass, running handlers and timers as they fall due;
  // with none, runs what is ready.
  void runFor(std::chrono::milliseconds time) {
    io.restart();
    time.count() == 0 ? io.poll() : io.run_for(time);
  }

  MemoryStream& stream() { return transport->stream; }

  // The status codes of the replies written so far ("200 413 "), each reply
  // found by its Content-Length (not for HEAD).
  std::string statuses() {
    std::string result;
    const std::string& written = stream().written();
    for (std::size_t start = 0, end; (end = written.find("\r\n\r\n", start)) != std::string::npos;) {
      const auto at = written.find("Content-Length: ", start);
      result += written.substr(start + 9, 4);
      start = end + 4 + (at < end ? std::stoul(written.substr(at + 16)) : 0);
    }
    return result;
  }

 private:
  boost::asio::io_context io;
  std::shared_ptr<MemoryTransport> transport;
  std::shared_ptr<transport::HttpConnection> connection;
};

class ConnectionTest : public ::testing::Test {
 protected:
  LogCapture log{log4cplus::TRACE_LOG_LEVEL};
  std::shared_ptr<RecordingProcessor> processor = std::make_shared<RecordingProcessor>();
};

inline std::string get(const std::string& path, const std::string& extraHeaders = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders + "\r\n";
}

inline std::vector<std::string> inPieces(const std::string& text, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size(); at += size) {
    pieces.push_back(text.substr(at, size));
  }
  return pieces;
}

}  // namespace quorvel::testing
