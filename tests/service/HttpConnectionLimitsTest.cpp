#include <gtest/gtest.h>

#include "LoopbackConnection.h"
#include "support/LogCapture.h"

namespace quorvel::testing {
namespace {

using transport::httplimits::kHeaderSizeCeiling;
using transport::httplimits::kPayloadSizeCeiling;

// A GET whose header block is exactly the given size.
std::string headerOfSize(std::size_t size) {
  const std::string head = "GET /sized HTTP/1.1\r\nX-Pad: ";
  const std::string tail = "\r\n\r\n";
  return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

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
  // Empty: the request is served with 200 and the connection stays.
  const char* refusal;
};

std::vector<LimitCase> limitCases() {
  return {
      {"HeaderAtLimit", true, 4096, 1024, headerOfSize(4096), 0, ""},
      {"HeaderOneOver", true, 4096, 1024, headerOfSize(4097), 0, "431 Request Header Fields Too Large"},
      {"ZeroHeaderLimitRefusesAll", true, 0, 1024, "GET / HTTP/1.1\r\n\r\n", 0, "431 Request Header Fields Too Large"},
      {"PayloadAtLimit", true, 4096, 1024, announcing(1024), 1024, ""},
      {"PayloadOneOver", true, 4096, 1024, announcing(1025), 0, "413 Payload Too Large"},
      {"ZeroPayloadLimitRefusesBodies", true, 4096, 0, announcing(1), 0, "413 Payload Too Large"},
      {"LimitsOffIgnoreConfiguredHeaderSize", false, 100, 10, headerOfSize(4096), 0, ""},
      {"LimitsOffIgnoreConfiguredPayloadSize", false, 100, 10, announcing(5000), 5000, ""},
      {"CeilingBoundsHeaderWithLimitsOff", false, 100, 10, headerOfSize(kHeaderSizeCeiling + 1), 0,
       "431 Request Header Fields Too Large"},
      {"CeilingBoundsPayloadWithLimitsOff", false, 100, 10, announcing(kPayloadSizeCeiling + 1), 0,
       "413 Payload Too Large"},
      {"CeilingBoundsGenerousConfiguredHeader", true, 8 * kHeaderSizeCeiling, 10,
       headerOfSize(kHeaderSizeCeiling + 1), 0, "431 Request Header Fields Too Large"},
      {"CeilingBoundsGenerousConfiguredPayload", true, 4096, 8 * kPayloadSizeCeiling,
       announcing(kPayloadSizeCeiling + 1), 0, "413 Payload Too Large"},
  };
}

class HttpConnectionLimitsTest : public ::testing::TestWithParam<LimitCase> {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      dumpLog(log);
    }
  }

  LogCapture log{log4cplus::TRACE_LOG_LEVEL};
  std::shared_ptr<RecordingProcessor> processor = std::make_shared<RecordingProcessor>();
  LoopbackServer server;
};

TEST_P(HttpConnectionLimitsTest, ServesOrRefusesAndCloses) {
  const LimitCase& c = GetParam();
  ConnectionSettings settings;
  settings.useReadLimits = c.useReadLimits;
  settings.maxHeaderSize = c.maxHeaderSize;
  settings.maxPayloadSize = c.maxPayloadSize;
  auto client = server.connect(settings, processor);
  client->sendIgnoringErrors(c.request + std::string(c.bodySize, 'b'));
  std::string response = client->readResponse();

  if (std::string(c.refusal).empty()) {
    EXPECT_EQ(statusLine(response), "HTTP/1.1 200 OK");
    ASSERT_EQ(processor->count(), 1u);
    EXPECT_EQ(processor->seen()[0].body.size(), c.bodySize);
    client->send(get("/again"));
    EXPECT_EQ(bodyOf(client->readResponse()), "path=/again");
    return;
  }
  EXPECT_EQ(statusLine(response), std::string("HTTP/1.1 ") + c.refusal);
  EXPECT_EQ(bodyOf(response), "");
  EXPECT_TRUE(client->closedByPeer());
  EXPECT_EQ(processor->count(), 0u);
  const char* line = response.find(" 431 ") != std::string::npos ? "Header too large!" : "Payload too long!";
  EXPECT_TRUE(log.contains(line, log4cplus::ERROR_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Limits, HttpConnectionLimitsTest, ::testing::ValuesIn(limitCases()),
                         [](const ::testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

class HttpConnectionRefusalTest : public HttpConnectionLimitsTest {};

TEST_F(HttpConnectionRefusalTest, OnlyTheHeaderBlockCountsTowardsTheHeaderLimit) {
  // A body, or further pipelined requests, arriving together with a small
  // header are no reason to refuse it.
  ConnectionSettings settings;
  settings.maxHeaderSize = 200;
  auto client = server.connect(settings, processor);
  std::string burst = post("/with-body", std::string(3000, 'b'));
  for (int i = 0; i < 50; ++i) {
    burst += get("/pipelined" + std::to_string(i));
  }
  client->send(burst);
  EXPECT_EQ(statusLine(client->readResponse()), "HTTP/1.1 200 OK");
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(bodyOf(client->readResponse()), "path=/pipelined" + std::to_string(i));
  }
}

TEST_F(HttpConnectionRefusalTest, HeaderBlockEndingJustPastTheLimitInALaterArrivalIsRefused) {
  ConnectionSettings settings;
  settings.maxHeaderSize = 100;
  auto client = server.connect(settings, processor);
  const std::string request = headerOfSize(101);
  client->send(request.substr(0, 98));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  client->send(request.substr(98));
  EXPECT_EQ(statusLine(client->readResponse()), "HTTP/1.1 431 Request Header Fields Too Large");
}

TEST_F(HttpConnectionRefusalTest, TerminatorSplitAcrossArrivalsEndsTheHeader) {
  for (std::size_t split = 1; split <= 3; ++split) {
    auto client = server.connect(ConnectionSettings(), processor);
    const std::string request = get("/split" + std::to_string(split));
    const std::size_t at = request.size() - 4 + split;
    client->send(request.substr(0, at));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    client->send(request.substr(at));
    EXPECT_EQ(bodyOf(client->readResponse()), "path=/split" + std::to_string(split));
  }
}

TEST_F(HttpConnectionRefusalTest, ClientStillSendingAfterRefusalCanFinishAndReadIt) {
  // A client uploading a header far over the limit: the refusal comes while
  // it is still sending. Closing at once would fail its sends (reset) before
  // it ever looks at the reply.
  ConnectionSettings settings;
  settings.maxHeaderSize = 1024;
  auto client = server.connect(settings, processor);
  const std::string request = headerOfSize(128 * 1024);
  const std::size_t piece = 16 * 1024;
  for (std::size_t at = 0; at < request.size(); at += piece) {
    ASSERT_NO_THROW(client->send(request.substr(at, piece))) << at;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(statusLine(client->readResponse()), "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_TRUE(client->closedByPeer());
}

TEST_F(HttpConnectionRefusalTest, EarlierPipelinedReplyIsDeliveredBeforeTheRefusal) {
  processor->reaction = [](const http::HttpRequest&, http::HttpResponse& response, std::istream&) {
    response.setBody(std::string(2 * 1024 * 1024, 'r'), false, false);
    return true;
  };
  ConnectionSettings settings;
  settings.maxPayloadSize = 10;
  auto client = server.connect(settings, processor);
  client->send(get("/large-reply") + announcing(11));
  EXPECT_EQ(bodyOf(client->readResponse()).size(), 2u * 1024u * 1024u);
  EXPECT_EQ(statusLine(client->readResponse()), "HTTP/1.1 413 Payload Too Large");
  EXPECT_TRUE(client->closedByPeer());
}

}  // namespace
}  // namespace quorvel::testing
