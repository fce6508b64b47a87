#include <gtest/gtest.h>

#include <thread>

#include "LoopbackConnection.h"
#include "support/LogCapture.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HttpConnectionTimeoutTest : public ::testing::Test {
 protected:
  std::unique_ptr<Client> open(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                               std::chrono::milliseconds body = 10s) {
    ConnectionSettings settings;
    settings.idleTimeout = idle;
    settings.headerTimeout = header;
    settings.bodyTimeout = body;
    return server.connect(settings, processor);
  }

  void TearDown() override {
    if (HasFailure()) {
      dumpLog(log);
    }
  }

  LogCapture log{log4cplus::TRACE_LOG_LEVEL};
  std::shared_ptr<RecordingProcessor> processor = std::make_shared<RecordingProcessor>();
  LoopbackServer server;
};

TEST_F(HttpConnectionTimeoutTest, SilentClientIsDroppedAfterIdleTime) {
  const auto started = Clock::now();
  auto client = open(200ms, 10s);
  EXPECT_TRUE(client->closedByPeer());
  EXPECT_GE(Clock::now() - started, 200ms);
  EXPECT_LT(Clock::now() - started, 3s);
  EXPECT_TRUE(log.contains("Idle time-out"));
}

TEST_F(HttpConnectionTimeoutTest, IdleTimeRunsAgainAfterEachReply) {
  auto client = open(600ms, 10s);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(200ms);
    client->send(get("/tick"));
    EXPECT_EQ(statusLine(client->readResponse()), "HTTP/1.1 200 OK") << i;
  }
  EXPECT_TRUE(client->closedByPeer());
}

TEST_F(HttpConnectionTimeoutTest, StartedHeaderMustCompleteInTime) {
  auto client = open(10s, 200ms);
  client->send("GET /slow HTTP/1.1\r\nHost: x");
  const auto started = Clock::now();
  EXPECT_TRUE(client->closedByPeer());
  EXPECT_LT(Clock::now() - started, 3s);
  EXPECT_TRUE(log.contains("Header not received in time"));
  EXPECT_EQ(processor->count(), 0u);
}

TEST_F(HttpConnectionTimeoutTest, TricklingHeaderIsNotMistakenForIdleness) {
  // Takes about twice the idle time to arrive.
  auto client = open(300ms, 5s);
  const std::string request = get("/trickle", "User-Agent: a client that sends its header slowly\r\n");
  for (std::size_t at = 0; at < request.size(); at += 8) {
    client->send(request.substr(at, 8));
    std::this_thread::sleep_for(40ms);
  }
  EXPECT_EQ(bodyOf(client->readResponse()), "path=/trickle");
}

TEST_F(HttpConnectionTimeoutTest, AnnouncedBodyMustArriveInTime) {
  auto client = open(10s, 10s, 200ms);
  client->send("POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
  EXPECT_TRUE(client->closedByPeer());
  EXPECT_TRUE(log.contains("Body not received in time"));
  EXPECT_EQ(processor->count(), 0u);
}

}  // namespace
}  // namespace quorvel::testing
