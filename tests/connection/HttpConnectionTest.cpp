#include "common/connection/HttpConnection.h"

#include <gtest/gtest.h>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// Hard bounds even with read limits off or generous.
constexpr std::size_t kHeaderCeiling = 1024 * 1024;
constexpr std::size_t kPayloadCeiling = 64 * 1024 * 1024;

std::string post(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A GET whose header block is exactly the given size.
std::string headerOfSize(std::size_t size) {
  const std::string head = "GET /sized HTTP/1.1\r\nX-Pad: ";
  return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
}

std::string announcing(std::size_t contentLength) {
  return "POST /big HTTP/1.1\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

std::string times(const std::string& text, int count) { return count == 0 ? "" : text + times(text, count - 1); }

ConnectionSettings limits(bool on, std::size_t header, std::size_t payload) { return {on, header, payload}; }

// What the connection wrote for the given pieces, then "|" and each request the processor saw.
std::string exchange(const std::vector<std::string>& pieces, const ConnectionSettings& settings = {}) {
  auto processor = std::make_shared<RecordingProcessor>();
  MemoryConnection peer(settings, processor);
  for (const auto& piece : pieces) {
    peer.arrive(piece);
  }
  peer.stream().endInput();
  peer.runFor(0ms);
  std::string written = peer.stream().written();
  for (const auto& seen : processor->seen) {
    written += "|" + seen;
  }
  return written;
}

TEST(HttpConnectionTest, RepliesDoNotDependOnHowTheBytesArrive) {
  LogCapture log;
  // Requests with and without bodies, a body holding a header terminator,
  // and headers that end right at an arrival boundary in the split runs.
  // Whatever the Connection header says, the connection stays.
  const std::string pipeline = get("/a", "Connection: close\r\n") + post("/b", "hello\r\n\r\nworld") +
                               "HEAD /c HTTP/1.1\r\nHost: t\r\n\r\n" + get("/d", "Content-Length: 0\r\n") +
                               post("/e", "x");
  const std::string whole = exchange({pipeline});
  ASSERT_NE(whole.find("|GET /a []|POST /b [hello\r\n\r\nworld]|HEAD /c []|GET /d []|POST /e [x]"), std::string::npos)
      << whole;
  EXPECT_EQ(exchange(inPieces(pipeline, 1)), whole) << "one byte per arrival";
  for (std::size_t cut = 1; cut < pipeline.size(); ++cut) {
    EXPECT_EQ(exchange({pipeline.substr(0, cut), pipeline.substr(cut)}), whole) << "cut at " << cut;
  }
  for (std::size_t piece : {1u, 2u, 3u, 63u, 64u, 65u}) {
    EXPECT_EQ(exchange(inPieces(headerOfSize(64), piece), limits(true, 64, 0)).substr(9, 3), "200") << piece;
    EXPECT_EQ(exchange(inPieces(headerOfSize(65), piece), limits(true, 64, 0)).substr(9, 3), "431") << piece;
  }
}

struct ExchangeCase {
  const char* name;
  ConnectionSettings settings;
  std::string input;
  std::string statuses;  // of the replies, in order
  std::size_t served;
  const char* logLine = "";
};

const ExchangeCase kExchangeCases[] = {
    {"HeaderAtLimit", limits(true, 4096, 1024), headerOfSize(4096), "200 200 ", 2},
    {"HeaderOneOver", limits(true, 4096, 1024), headerOfSize(4097), "431 ", 0, "Header too large!"},
    {"PayloadAtLimitUnreadPartSkipped", limits(true, 4096, 1024), announcing(1024) + std::string(1024, 'b'),
     "200 200 ", 2},
    {"PayloadOneOver", limits(true, 4096, 1024), announcing(1025), "413 ", 0, "Payload too long!"},
    {"LimitsOffIgnoreHeaderSize", limits(false, 100, 10), headerOfSize(4096), "200 200 ", 2},
    {"LimitsOffIgnorePayloadSize", limits(false, 100, 10), announcing(5000) + std::string(5000, 'b'), "200 200 ", 2},
    {"CeilingHeaderLimitsOff", limits(false, 100, 10), headerOfSize(kHeaderCeiling + 1), "431 ", 0},
    {"CeilingPayloadLimitsOff", limits(false, 100, 10), announcing(kPayloadCeiling + 1), "413 ", 0},
    {"CeilingOverGenerousHeaderLimit", limits(true, 8 * kHeaderCeiling, 10), headerOfSize(kHeaderCeiling + 1), "431 ",
     0},
    {"CeilingOverGenerousPayloadLimit", limits(true, 4096, 8 * kPayloadCeiling), announcing(kPayloadCeiling + 1),
     "413 ", 0},
    // A body or pipelined requests arriving with a small header are no reason to refuse it.
    {"OnlyHeaderBlockCounts", limits(true, 200, 4096), post("/b", std::string(3000, 'b')) + times(get("/p"), 10),
     times("200 ", 12), 12},
    {"ReplyBeforeRefusal", limits(true, 4096, 10), get("/a") + announcing(11), "200 413 ", 1},
    {"MalformedNoReply", {}, "THIS IS NOT HTTP\r\n\r\n", "", 0,
     "Caught http parsing exception in handle_httpRequest. Shutting down!"},
};

class HttpConnectionExchangeTest : public ConnectionTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(HttpConnectionExchangeTest, ServesOrRefusesAndCloses) {
  const ExchangeCase& c = GetParam();
  MemoryConnection peer(c.settings, processor);
  // What the client sends after a refusal is drained, not answered.
  peer.arrive(c.input + get("/after"));
  peer.stream().endInput();
  peer.runFor(0ms);
  EXPECT_TRUE(peer.stream().isClosed());
  EXPECT_EQ(peer.statuses(), c.statuses);
  EXPECT_EQ(processor->seen.size(), c.served);
  EXPECT_TRUE(*c.logLine == '\0' || log.contains(c.logLine, log4cplus::ERROR_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Requests, HttpConnectionExchangeTest, ::testing::ValuesIn(kExchangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TimingCase {
  const char* name;
  ConnectionSettings settings;
  std::vector<std::string> arrivals;  // each followed by `pause`
  std::chrono::milliseconds pause;
  bool peerReads;
  std::size_t processed;
  const char* logLine;  // null: the connection stays open
};

ConnectionSettings timeouts(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                            std::chrono::milliseconds body, std::size_t maxHeader = 49152) {
  return {true, maxHeader, 1024, 0, idle, header, body};
}

const TimingCase kTimingCases[] = {
    // The idle time runs again after each reply.
    {"IdleAfterReplies", timeouts(300ms, 10s, 10s), {get("/a"), get("/b"), ""}, 200ms, true, 2, "Idle time-out"},
    {"TricklingHeaderIsNotIdle", timeouts(300ms, 5s, 10s),
     inPieces(get("/trickle", "User-Agent: a client that sends its header slowly\r\n"), 8), 40ms, true, 1, nullptr},
    {"HeaderTimeOut", timeouts(10s, 200ms, 10s), {"GET /slow HTTP/1.1\r\nHost: x"}, 300ms, true, 0,
     "Header not received in time"},
    {"BodyTimeOut", timeouts(10s, 10s, 200ms), {announcing(10) + "12345"}, 300ms, true, 0,
     "Body not received in time"},
    // A peer that pipelines and never reads: one request is served, and the
    // reply that is never taken ends the connection in time.
    {"UnreadReply", timeouts(100ms, 100ms, 100ms, 1024), {times(get("/x"), 50)}, 300ms, false, 1, "Idle time-out"},
    {"UnreadRefusal", timeouts(100ms, 100ms, 100ms, 1024), {headerOfSize(2000)}, 300ms, false, 0, "Header too large!"},
};

class HttpConnectionTimeoutTest : public ConnectionTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(HttpConnectionTimeoutTest, StartedWorkMustCompleteInTime) {
  const TimingCase& c = GetParam();
  MemoryConnection peer(c.settings, processor);
  if (!c.peerReads) {
    peer.stream().holdWrites();
  }
  for (const auto& piece : c.arrivals) {
    peer.arrive(piece);
    peer.runFor(c.pause);
  }
  EXPECT_EQ(processor->seen.size(), c.processed);
  EXPECT_EQ(peer.stream().isClosed(), c.logLine != nullptr);
  EXPECT_TRUE(c.logLine == nullptr || log.contains(c.logLine));
}

INSTANTIATE_TEST_SUITE_P(Timing, HttpConnectionTimeoutTest, ::testing::ValuesIn(kTimingCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::testing
