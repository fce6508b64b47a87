#include "common/connection/HttpConnection.h"

#include <gtest/gtest.h>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* k200 = "HTTP/1.1 200 OK";
constexpr const char* k431 = "HTTP/1.1 431 Request Header Fields Too Large";
constexpr const char* k413 = "HTTP/1.1 413 Payload Too Large";
// Hard bounds even with read limits off or generous.
constexpr std::size_t kHeaderCeiling = 1024 * 1024;
constexpr std::size_t kPayloadCeiling = 64 * 1024 * 1024;

std::string announcing(std::size_t contentLength) {
  return "POST /big HTTP/1.1\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

std::string times(const std::string& text, int count) {
  std::string repeated;
  while (count-- > 0) {
    repeated += text;
  }
  return repeated;
}

ConnectionSettings limits(bool on, std::size_t header, std::size_t payload) {
  ConnectionSettings settings;
  settings.useReadLimits = on;
  settings.maxHeaderSize = header;
  settings.maxPayloadSize = payload;
  return settings;
}

// What the connection wrote for the given pieces, then "|" and each request the processor saw.
std::string exchange(const std::vector<std::string>& pieces, const ConnectionSettings& settings = {}) {
  auto processor = std::make_shared<RecordingProcessor>();
  MemoryConnection peer(settings, processor);
  for (const auto& piece : pieces) {
    peer.arrive(piece);
  }
  peer.stream().endInput();
  peer.runUntilClosed(5s);
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
    EXPECT_EQ(statusLine(exchange(inPieces(headerOfSize(64), piece), limits(true, 64, 0))), k200) << piece;
    EXPECT_EQ(statusLine(exchange(inPieces(headerOfSize(65), piece), limits(true, 64, 0))), k431) << piece;
  }
}

struct LimitCase {
  const char* name;
  ConnectionSettings settings;
  std::string request;
  std::size_t bodySize;  // bytes of body sent behind the header when served
  const char* refusal;   // null: served with 200, and the connection stays
};

const LimitCase kLimitCases[] = {
    {"HeaderAtLimit", limits(true, 4096, 1024), headerOfSize(4096), 0, nullptr},
    {"HeaderOneOver", limits(true, 4096, 1024), headerOfSize(4097), 0, k431},
    {"PayloadAtLimit", limits(true, 4096, 1024), announcing(1024), 1024, nullptr},
    {"PayloadOneOver", limits(true, 4096, 1024), announcing(1025), 0, k413},
    {"LimitsOffIgnoreHeaderSize", limits(false, 100, 10), headerOfSize(4096), 0, nullptr},
    {"LimitsOffIgnorePayloadSize", limits(false, 100, 10), announcing(5000), 5000, nullptr},
    {"CeilingHeaderLimitsOff", limits(false, 100, 10), headerOfSize(kHeaderCeiling + 1), 0, k431},
    {"CeilingPayloadLimitsOff", limits(false, 100, 10), announcing(kPayloadCeiling + 1), 0, k413},
    {"CeilingOverGenerousHeaderLimit", limits(true, 8 * kHeaderCeiling, 10), headerOfSize(kHeaderCeiling + 1), 0,
     k431},
    {"CeilingOverGenerousPayloadLimit", limits(true, 4096, 8 * kPayloadCeiling), announcing(kPayloadCeiling + 1), 0,
     k413},
};

class HttpConnectionLimitsTest : public ConnectionTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HttpConnectionLimitsTest, ServesOrRefusesAndCloses) {
  const LimitCase& c = GetParam();
  MemoryConnection peer(c.settings, processor);
  peer.arrive(c.request + std::string(c.bodySize, 'b'));
  if (c.refusal == nullptr) {
    peer.arrive(get("/again"));
    const auto replies = peer.replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(statusLine(replies[0]), k200);
    EXPECT_TRUE(processor->seen[0].ends_with(" [" + std::string(c.bodySize, 'b') + "]"));
    EXPECT_EQ(bodyOf(replies[1]), "path=/again");
    return;
  }
  // What the client still sends is drained, not answered.
  peer.arrive(get("/after-refusal"));
  peer.stream().endInput();
  EXPECT_TRUE(peer.runUntilClosed(1s));
  EXPECT_EQ(peer.replies(), std::vector<std::string>{peer.stream().written()});
  EXPECT_EQ(statusLine(peer.stream().written()), c.refusal);
  EXPECT_TRUE(processor->seen.empty());
  EXPECT_TRUE(log.contains(c.refusal == k431 ? "Header too large!" : "Payload too long!", log4cplus::ERROR_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Limits, HttpConnectionLimitsTest, ::testing::ValuesIn(kLimitCases),
                         [](const auto& info) { return std::string(info.param.name); });

using HttpConnectionRequestTest = ConnectionTest;

TEST_F(HttpConnectionRequestTest, OnlyTheHeaderBlockCountsTowardsTheHeaderLimit) {
  MemoryConnection peer(limits(true, 200, 4096), processor);
  peer.arrive(post("/with-body", std::string(3000, 'b')) + times(get("/pipelined"), 10));
  const auto replies = peer.replies();
  ASSERT_EQ(replies.size(), 11u);
  EXPECT_EQ(statusLine(replies[0]), k200);
  EXPECT_EQ(bodyOf(replies[10]), "path=/pipelined");
}

TEST_F(HttpConnectionRequestTest, UnreadBodyIsSkippedAndEarlierReplyPrecedesRefusal) {
  processor->reaction = [](const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                           std::shared_ptr<transport::HttpConnection>&) {
    char first[3] = {};
    body.read(first, 2);
    response.setBody(request.getPath() + ":" + first + std::string(request.getPath() == "/large" ? 1 << 21 : 0, 'r'),
                     false, false);
    return true;
  };
  MemoryConnection peer(limits(true, 4096, 10), processor);
  peer.arrive(post("/partial", "abcdefghij") + get("/large") + announcing(11));
  peer.stream().endInput();
  EXPECT_TRUE(peer.runUntilClosed(1s));
  const auto replies = peer.replies();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(bodyOf(replies[0]), "/partial:ab");
  EXPECT_EQ(bodyOf(replies[1]).size(), 7u + (1u << 21));
  EXPECT_EQ(statusLine(replies[2]), k413);
}

TEST_F(HttpConnectionRequestTest, MalformedRequestClosesWithoutReply) {
  MemoryConnection peer({}, processor);
  peer.arrive("THIS IS NOT HTTP\r\n\r\n");
  EXPECT_TRUE(peer.runUntilClosed(1s));
  EXPECT_EQ(peer.stream().written(), "");
  EXPECT_TRUE(log.contains("Caught http parsing exception in handle_httpRequest. Shutting down!",
                           log4cplus::ERROR_LOG_LEVEL));
}

TEST_F(HttpConnectionRequestTest, StrictTransportSecurityOnlyWithMaxAge) {
  for (std::uint32_t maxAge : {600u, 0u}) {
    ConnectionSettings settings;
    settings.hstsMaxAge = maxAge;
    MemoryConnection peer(settings, processor);
    peer.arrive(get("/"));
    EXPECT_EQ(peer.stream().written().find("\r\nStrict-Transport-Security: max-age=600\r\n") != std::string::npos,
              maxAge == 600);
  }
}

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
  ConnectionSettings settings = limits(true, maxHeader, 1024);
  settings.idleTimeout = idle;
  settings.headerTimeout = header;
  settings.bodyTimeout = body;
  return settings;
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
    {"UnreadReply", timeouts(100ms, 100ms, 100ms, 1024), {times(get("/x"), 50)}, 300ms,
     false, 1, "Idle time-out"},
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
