#include "common/connection/HttpConnection.h"

#include <gtest/gtest.h>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using HttpConnectionTest = ConnectionTest;

// A peer that pipelines requests and then reads nothing: the queue of
// replies does not grow, and the connection does not wait for ever.
struct StalledPeerCase {
  const char* name;
  std::string request;
  std::size_t processed;
  // Logged when the request is refused; empty when it is served.
  const char* refusal;
};

class StalledPeerTest : public ::testing::TestWithParam<StalledPeerCase> {};

TEST_P(StalledPeerTest, ReplyThatIsNeverReadEndsTheConnectionInTime) {
  LogCapture log;
  ConnectionSettings settings;
  settings.maxHeaderSize = 1024;
  settings.maxPayloadSize = 1024;
  settings.idleTimeout = settings.headerTimeout = settings.bodyTimeout = 100ms;
  auto processor = std::make_shared<RecordingProcessor>();
  MemoryConnection peer(settings, processor);
  peer.stream().holdWrites();
  for (int i = 0; i < 50; ++i) {
    peer.arrive(GetParam().request);
  }
  EXPECT_EQ(processor->seen.size(), GetParam().processed);
  EXPECT_TRUE(peer.runUntilClosed(3s));
  if (*GetParam().refusal != '\0') {
    EXPECT_TRUE(log.contains(GetParam().refusal));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StalledPeerTest,
    ::testing::Values(StalledPeerCase{"Served", get("/x"), 1, ""},
                      StalledPeerCase{"HeaderTooLarge", headerOfSize(2000), 0, "Header too large!"},
                      StalledPeerCase{"PayloadTooLarge", "POST /p HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", 0,
                                      "Payload too long!"}),
    [](const auto& info) { return std::string(info.param.name); });

// The replies to a pipelined sequence fed in the given pieces, followed by
// what the processor saw.
std::string repliesTo(const std::vector<std::string>& pieces, const ConnectionSettings& settings = {}) {
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

TEST(HttpConnectionArrivalTest, RepliesDoNotDependOnHowTheBytesArrive) {
  LogCapture log;
  // Requests with and without bodies, a body holding a header terminator,
  // and headers that end right at an arrival boundary in the split runs.
  // Whatever the Connection header says, the connection stays.
  const std::string pipeline = get("/a", "Connection: close\r\n") + post("/b", "hello\r\n\r\nworld") +
                               "HEAD /c HTTP/1.1\r\nHost: t\r\n\r\n" + get("/d", "Content-Length: 0\r\n") +
                               post("/e", "x");
  const std::string whole = repliesTo({pipeline});
  ASSERT_NE(whole.find("|GET /a []|POST /b [hello\r\n\r\nworld]|HEAD /c []|GET /d []|POST /e [x]"), std::string::npos)
      << whole;
  EXPECT_TRUE(log.contains("Writing Response (", log4cplus::TRACE_LOG_LEVEL));
  EXPECT_EQ(repliesTo(inPieces(pipeline, 1)), whole) << "one byte per arrival";
  for (std::size_t cut = 1; cut < pipeline.size(); ++cut) {
    EXPECT_EQ(repliesTo({pipeline.substr(0, cut), pipeline.substr(cut)}), whole) << "cut at " << cut;
  }
}

TEST(HttpConnectionArrivalTest, HeaderLimitHoldsWhateverTheArrivals) {
  LogCapture log;
  ConnectionSettings settings;
  settings.maxHeaderSize = 64;
  for (std::size_t piece : {1u, 2u, 3u, 5u, 63u, 64u, 65u}) {
    EXPECT_EQ(statusLine(repliesTo(inPieces(headerOfSize(64), piece), settings)), "HTTP/1.1 200 OK") << piece;
    EXPECT_EQ(statusLine(repliesTo(inPieces(headerOfSize(65), piece), settings)),
              "HTTP/1.1 431 Request Header Fields Too Large")
        << piece;
  }
}

TEST_F(HttpConnectionTest, UnreadBodyBytesAreSkipped) {
  processor->reaction = [](const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                           std::shared_ptr<transport::HttpConnection>&) {
    char first[3] = {};
    body.read(first, 2);
    response.setBody(request.getPath() + ":" + first, false, false);
    return true;
  };
  MemoryConnection peer({}, processor);
  peer.arrive(post("/partial", "abcdefghij") + get("/next"));
  const auto replies = peer.replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(bodyOf(replies[0]), "/partial:ab");
  EXPECT_EQ(bodyOf(replies[1]), "/next:");
}

TEST_F(HttpConnectionTest, MalformedRequestClosesWithoutReply) {
  MemoryConnection peer({}, processor);
  peer.arrive("THIS IS NOT HTTP\r\n\r\n");
  EXPECT_TRUE(peer.runUntilClosed(1s));
  EXPECT_EQ(peer.stream().written(), "");
  EXPECT_TRUE(log.contains("Caught http parsing exception in handle_httpRequest. Shutting down!",
                           log4cplus::ERROR_LOG_LEVEL));
  EXPECT_TRUE(processor->seen.empty());
}

TEST_F(HttpConnectionTest, StrictTransportSecurityOnlyWithMaxAge) {
  ConnectionSettings withHsts;
  withHsts.hstsMaxAge = 600;
  MemoryConnection secured(withHsts, processor);
  secured.arrive(get("/"));
  EXPECT_NE(secured.stream().written().find("\r\nStrict-Transport-Security: max-age=600\r\n"), std::string::npos);

  MemoryConnection plain({}, processor);
  plain.arrive(get("/"));
  EXPECT_EQ(plain.stream().written().find("Strict-Transport-Security"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::testing
