// The connection driven over an in-memory stream: exact control over how the
// request bytes arrive and whether the peer reads the replies.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackConnection.h"
#include "MemoryTransport.h"
#include "support/LogCapture.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// One connection over a memory transport; the test thread runs its I/O.
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
    runReady();
  }

  ~MemoryConnection() {
    connection->postClose("test end");
    runReady();
  }

  MemoryConnection(const MemoryConnection&) = delete;
  MemoryConnection& operator=(const MemoryConnection&) = delete;

  void runReady() {
    io.restart();
    io.poll();
  }

  // Runs handlers and timers until the connection has shut its transport down.
  bool runUntilClosed(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    io.restart();
    while (!stream().isClosed() && std::chrono::steady_clock::now() < end) {
      io.run_one_for(10ms);
    }
    return stream().isClosed();
  }

  MemoryStream& stream() { return transport->stream; }

 private:
  boost::asio::io_context io;
  std::shared_ptr<MemoryTransport> transport;
  std::shared_ptr<transport::HttpConnection> connection;
};

std::string headerOfSize(std::size_t size) {
  const std::string head = "GET /sized HTTP/1.1\r\nX-Pad: ";
  return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
}

// A peer that sends a request and then reads nothing: whatever the reply, the
// connection must not wait for that peer for ever.
struct StalledPeerCase {
  const char* name;
  std::string request;
  // Logged when the request is refused; empty when it is served.
  const char* refusal;
};

void PrintTo(const StalledPeerCase& c, std::ostream* os) { *os << c.name; }

class StalledPeerTest : public ::testing::TestWithParam<StalledPeerCase> {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      dumpLog(log);
    }
  }

  LogCapture log{log4cplus::TRACE_LOG_LEVEL};
};

TEST_P(StalledPeerTest, ReplyThatIsNeverReadEndsTheConnectionInTime) {
  ConnectionSettings settings;
  settings.maxHeaderSize = 1024;
  settings.maxPayloadSize = 1024;
  settings.idleTimeout = 100ms;
  settings.headerTimeout = 100ms;
  settings.bodyTimeout = 100ms;
  MemoryConnection peer(settings, std::make_shared<RecordingProcessor>());
  peer.stream().holdWrites();
  peer.stream().arrive(GetParam().request);

  EXPECT_TRUE(peer.runUntilClosed(3s));
  if (*GetParam().refusal != '\0') {
    EXPECT_TRUE(log.contains(GetParam().refusal));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StalledPeerTest,
    ::testing::Values(StalledPeerCase{"Served", get("/x"), ""},
                      StalledPeerCase{"HeaderTooLarge", headerOfSize(2000), "Header too large!"},
                      StalledPeerCase{"PayloadTooLarge",
                                      "POST /p HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", "Payload too long!"}),
    [](const auto& info) { return std::string(info.param.name); });

// The replies to a pipelined sequence, fed in the given pieces.
std::string repliesTo(const std::vector<std::string>& pieces, const ConnectionSettings& settings) {
  auto processor = std::make_shared<RecordingProcessor>();
  MemoryConnection peer(settings, processor);
  for (const auto& piece : pieces) {
    peer.stream().arrive(piece);
  }
  peer.stream().endInput();
  peer.runUntilClosed(5s);
  std::string written = peer.stream().written();
  for (const auto& seen : processor->seen()) {
    written += "|" + seen.method + " " + seen.path + " [" + seen.body + "]";
  }
  return written;
}

// Requests with and without bodies, a body holding a header terminator, and a
// header that ends right at an arrival boundary in the split runs below.
const std::string kPipeline = get("/a") + post("/b", "hello\r\n\r\nworld") + "HEAD /c HTTP/1.1\r\nHost: t\r\n\r\n" +
                              get("/d", "Content-Length: 0\r\n") + post("/e", "x");

TEST(HttpConnectionArrivalTest, RepliesDoNotDependOnHowTheBytesArrive) {
  LogCapture log;
  ConnectionSettings settings;
  const std::string whole = repliesTo({kPipeline}, settings);
  ASSERT_NE(whole.find("|POST /e [x]"), std::string::npos) << whole;

  std::vector<std::string> bytes;
  for (char c : kPipeline) {
    bytes.emplace_back(1, c);
  }
  EXPECT_EQ(repliesTo(bytes, settings), whole) << "one byte per arrival";

  for (std::size_t cut = 1; cut < kPipeline.size(); ++cut) {
    EXPECT_EQ(repliesTo({kPipeline.substr(0, cut), kPipeline.substr(cut)}, settings), whole) << "cut at " << cut;
  }
}

TEST(HttpConnectionArrivalTest, HeaderLimitHoldsWhateverTheArrivals) {
  LogCapture log;
  ConnectionSettings settings;
  settings.maxHeaderSize = 64;
  const std::string atLimit = headerOfSize(64);
  const std::string overLimit = headerOfSize(65);
  for (std::size_t piece : {1u, 2u, 3u, 5u, 63u, 64u, 65u}) {
    std::vector<std::string> fits;
    std::vector<std::string> over;
    for (std::size_t at = 0; at < atLimit.size(); at += piece) {
      fits.push_back(atLimit.substr(at, piece));
    }
    for (std::size_t at = 0; at < overLimit.size(); at += piece) {
      over.push_back(overLimit.substr(at, piece));
    }
    EXPECT_EQ(statusLine(repliesTo(fits, settings)), "HTTP/1.1 200 OK") << piece;
    EXPECT_EQ(statusLine(repliesTo(over, settings)), "HTTP/1.1 431 Request Header Fields Too Large") << piece;
  }
}

}  // namespace
}  // namespace quorvel::testing
