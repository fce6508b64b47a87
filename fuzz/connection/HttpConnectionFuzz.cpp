// Feeds arbitrary bytes, cut into arbitrary arrivals, to an HTTP connection
// over an in-memory stream and checks: no crash, the connection ends once the
// input ends (unless a request was deliberately left unanswered), and what
// it wrote is a clean sequence of whole replies, one per answered request
// plus at most one refusal; after a switch to chunked transfer nothing more,
// after a switch to WebSocket only whole pong and close frames.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include "common/connection/HttpConnection.h"
#include "common/http/HttpProcessor.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/MemoryTransport.h"

namespace {

using namespace quorvel;

// Paths steer the processor, so the fuzzer reaches every way a request ends.
class SteeredProcessor : public http::HttpProcessor {
 public:
  bool processRequest(const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                      std::shared_ptr<transport::HttpConnection>& connection) override {
    const std::string& path = request.getPath();
    if (path.rfind("/throw", 0) == 0) {
      throw std::runtime_error("processor failed");
    }
    if (path.rfind("/silent", 0) == 0) {
      declined = true;
      return false;
    }
    if (path.rfind("/chunked", 0) == 0 || path.rfind("/ws", 0) == 0) {
      // Takes part of what it is offered, so the rest is offered again.
      http::ProcessChunk take = [](http::HttpResponse&, std::istream& in, std::size_t length) {
        in.ignore(static_cast<std::streamsize>(length / 2 + 1));
        return true;
      };
      upgrade = path[1] == 'w' ? Upgrade::WebSocket : Upgrade::Chunked;
      if (upgrade == Upgrade::WebSocket) {
        connection->upgradeToWebSocketAndGenerateResponse(request, response, take);
      } else {
        connection->upgradeToChunked(request, response, take);
      }
      methods.push_back(request.getMethod());
      return true;
    }
    // Reads part of the body only: the rest must be skipped.
    std::string text;
    for (int c; text.size() < path.size() && (c = body.get()) != EOF;) {
      text.push_back(static_cast<char>(c));
    }
    response.setStatusCode(http::StatusCode::OK);
    response.setBody("b" + std::to_string(text.size()), false, false);
    methods.push_back(request.getMethod());
    return true;
  }

  enum class Upgrade { None, Chunked, WebSocket };

  std::vector<std::string> methods;
  bool declined = false;
  Upgrade upgrade = Upgrade::None;
};

void fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "%s\n--- output ---\n%s\n", what, output.c_str());
  std::abort();
}

// Whole server frames: pongs, then at most one close frame, last.
void checkFrames(const std::string& output, std::size_t at) {
  while (at < output.size()) {
    const auto first = static_cast<unsigned char>(output[at]);
    if (first != 0x8A && first != 0x88) fail("not a pong or close frame", output);
    if (at + 2 > output.size()) fail("frame header cut off", output);
    const std::size_t length = static_cast<unsigned char>(output[at + 1]);
    if (length > 125) fail("control frame too long", output);
    at += 2 + length;
    if (at > output.size() || (first == 0x88 && at != output.size())) fail("frame cut off or after close", output);
  }
}

// Whole replies in order: a header block and, except for HEAD, its body.
void checkReplies(const std::string& output, const std::vector<std::string>& methods,
                  SteeredProcessor::Upgrade upgrade) {
  std::size_t at = 0;
  std::size_t replies = 0;
  while (at < output.size()) {
    if (upgrade != SteeredProcessor::Upgrade::None && replies == methods.size()) {
      if (upgrade == SteeredProcessor::Upgrade::Chunked) fail("written after the switch to chunked", output);
      checkFrames(output, at);
      return;
    }
    if (output.compare(at, 9, "HTTP/1.1 ") != 0) fail("reply does not start with a status line", output);
    const std::size_t end = output.find("\r\n\r\n", at);
    if (end == std::string::npos) fail("reply header cut off", output);
    const std::string head = output.substr(at, end + 4 - at);
    std::size_t length = 0;
    const std::size_t field = head.find("Content-Length: ");
    if (field != std::string::npos) length = std::strtoul(head.c_str() + field + 16, nullptr, 10);
    const bool answered = replies < methods.size();
    if (answered && methods[replies] == "HEAD") length = 0;
    if (!answered && head.compare(0, 12, "HTTP/1.1 431") != 0 && head.compare(0, 12, "HTTP/1.1 413") != 0) {
      fail("more replies than answered requests", output);
    }
    at = end + 4 + length;
    if (at > output.size()) fail("reply body cut off", output);
    ++replies;
  }
  if (replies < methods.size() || replies > methods.size() + 1) fail("reply count does not match", output);
}

struct Run {
  boost::asio::io_context io;
  std::shared_ptr<testing::MemoryTransport> transport = std::make_shared<testing::MemoryTransport>(io);
  std::shared_ptr<SteeredProcessor> processor = std::make_shared<SteeredProcessor>();
  std::shared_ptr<transport::HttpConnection> connection;

  Run(bool limits, std::size_t header, std::size_t payload)
      : connection(std::make_shared<transport::HttpConnection>(transport, limits, header, payload, processor, 60)) {
    connection->connectSignals();
    connection->postStartTransport(transport::WhileConnectionCallback());
  }
  ~Run() {
    connection->postClose("end");
    io.restart();
    io.poll();
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto root = log4cplus::Logger::getRoot();
  root.removeAllAppenders();
  root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
  root.setLogLevel(log4cplus::OFF_LOG_LEVEL);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: limits on or off and which small limits; second: how to cut.
  const bool limits = (data[0] & 1) != 0;
  const std::size_t header = (data[0] & 2) != 0 ? 64 : 512;
  const std::size_t payload = (data[0] & 4) != 0 ? 0 : 32;
  std::uint32_t cut = data[1] | 1u;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  Run run(limits, header, payload);
  for (std::size_t at = 0; at < input.size();) {
    cut = cut * 1103515245u + 12345u;
    const std::size_t piece = 1 + (cut >> 16) % 97;
    run.transport->stream.arrive(input.substr(at, piece));
    at += piece;
    run.io.restart();
    run.io.poll();
  }
  run.transport->stream.endInput();
  run.io.restart();
  run.io.poll();

  if (!run.transport->stream.isClosed() && !run.processor->declined) {
    fail("connection still open after the end of its input", run.transport->stream.written());
  }
  checkReplies(run.transport->stream.written(), run.processor->methods, run.processor->upgrade);
  return 0;
}
