#include <gtest/gtest.h>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// Hard bounds even with read limits off or generous.
constexpr std::size_t kHeaderSizeCeiling = 1024 * 1024;
constexpr std::size_t kPayloadSizeCeiling = 64 * 1024 * 1024;

constexpr const char* k431 = "HTTP/1.1 431 Request Header Fields Too Large";
constexpr const char* k413 = "HTTP/1.1 413 Payload Too Large";

std::string announcing(std::size_t contentLength) {
  return "POST /big HTTP/1.1\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

struct LimitCase {
  const char* name;
  bool useReadLimits;
  std::size_t maxHeaderSize;
  std::size_t maxPayloadSize;
  std::string request;
  // Bytes of body sent behind the header when served.
  std::size_t bodySize;
  // Null: the request is served with 200 and the connection stays.
  const char* refusal;
};

const LimitCase kLimitCases[] = {
    {"HeaderAtLimit", true, 4096, 1024, headerOfSize(4096), 0, nullptr},
    {"HeaderOneOver", true, 4096, 1024, headerOfSize(4097), 0, k431},
    {"PayloadAtLimit", true, 4096, 1024, announcing(1024), 1024, nullptr},
    {"PayloadOneOver", true, 4096, 1024, announcing(1025), 0, k413},
    {"LimitsOffIgnoreHeaderSize", false, 100, 10, headerOfSize(4096), 0, nullptr},
    {"LimitsOffIgnorePayloadSize", false, 100, 10, announcing(5000), 5000, nullptr},
    {"CeilingHeaderLimitsOff", false, 100, 10, headerOfSize(kHeaderSizeCeiling + 1), 0, k431},
    {"CeilingPayloadLimitsOff", false, 100, 10, announcing(kPayloadSizeCeiling + 1), 0, k413},
    {"CeilingHeaderOverGenerousLimit", true, 8 * kHeaderSizeCeiling, 10, headerOfSize(kHeaderSizeCeiling + 1), 0,
     k431},
    {"CeilingPayloadOverGenerousLimit", true, 4096, 8 * kPayloadSizeCeiling, announcing(kPayloadSizeCeiling + 1), 0,
     k413},
};

class HttpConnectionLimitsTest : public ConnectionTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HttpConnectionLimitsTest, ServesOrRefusesAndCloses) {
  const LimitCase& c = GetParam();
  ConnectionSettings settings;
  settings.useReadLimits = c.useReadLimits;
  settings.maxHeaderSize = c.maxHeaderSize;
  settings.maxPayloadSize = c.maxPayloadSize;
  MemoryConnection peer(settings, processor);
  peer.arrive(c.request + std::string(c.bodySize, 'b'));

  if (c.refusal == nullptr) {
    peer.arrive(get("/again"));
    const auto replies = peer.replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 200 OK");
    EXPECT_TRUE(processor->seen[0].ends_with(" [" + std::string(c.bodySize, 'b') + "]"));
    EXPECT_EQ(bodyOf(replies[1]), "path=/again");
    return;
  }
  // What the client still sends is drained, not answered.
  peer.arrive(get("/after-refusal"));
  peer.stream().endInput();
  EXPECT_TRUE(peer.runUntilClosed(1s));
  EXPECT_EQ(peer.stream().written().find("\r\n\r\n") + 4, peer.stream().written().size());
  EXPECT_EQ(statusLine(peer.stream().written()), c.refusal);
  EXPECT_TRUE(processor->seen.empty());
  EXPECT_TRUE(log.contains(c.refusal == k431 ? "Header too large!" : "Payload too long!", log4cplus::ERROR_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Limits, HttpConnectionLimitsTest, ::testing::ValuesIn(kLimitCases),
                         [](const auto& info) { return std::string(info.param.name); });

using HttpConnectionRefusalTest = ConnectionTest;

TEST_F(HttpConnectionRefusalTest, OnlyTheHeaderBlockCountsTowardsTheHeaderLimit) {
  // A body, or further pipelined requests, arriving together with a small
  // header are no reason to refuse it.
  ConnectionSettings settings;
  settings.maxHeaderSize = 200;
  MemoryConnection peer(settings, processor);
  std::string burst = post("/with-body", std::string(3000, 'b'));
  for (int i = 0; i < 10; ++i) {
    burst += get("/pipelined" + std::to_string(i));
  }
  peer.arrive(burst);
  const auto replies = peer.replies();
  ASSERT_EQ(replies.size(), 11u);
  EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyOf(replies[10]), "path=/pipelined9");
}

TEST_F(HttpConnectionRefusalTest, EarlierPipelinedReplyIsDeliveredBeforeTheRefusal) {
  processor->reaction = [](const http::HttpRequest&, http::HttpResponse& response, std::istream&,
                           std::shared_ptr<transport::HttpConnection>&) {
    response.setBody(std::string(2 * 1024 * 1024, 'r'), false, false);
    return true;
  };
  ConnectionSettings settings;
  settings.maxPayloadSize = 10;
  MemoryConnection peer(settings, processor);
  peer.arrive(get("/large-reply") + announcing(11));
  peer.stream().endInput();
  EXPECT_TRUE(peer.runUntilClosed(1s));
  const auto replies = peer.replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(bodyOf(replies[0]).size(), 2u * 1024u * 1024u);
  EXPECT_EQ(statusLine(replies[1]), k413);
}

}  // namespace
}  // namespace quorvel::testing
