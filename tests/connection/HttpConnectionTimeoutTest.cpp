#include <gtest/gtest.h>

#include "MemoryConnection.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HttpConnectionTimeoutTest : public ConnectionTest {
 protected:
  static ConnectionSettings limits(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                                   std::chrono::milliseconds body = 10s) {
    ConnectionSettings settings;
    settings.idleTimeout = idle;
    settings.headerTimeout = header;
    settings.bodyTimeout = body;
    return settings;
  }
};

TEST_F(HttpConnectionTimeoutTest, IdleTimeRunsAgainAfterEachReplyThenDropsTheClient) {
  MemoryConnection peer(limits(400ms, 10s), processor);
  for (int i = 0; i < 3; ++i) {
    peer.runFor(200ms);
    peer.arrive(get("/tick"));
  }
  EXPECT_EQ(peer.replies().size(), 3u);
  const auto lastReply = Clock::now();
  EXPECT_TRUE(peer.runUntilClosed(3s));
  EXPECT_GE(Clock::now() - lastReply, 300ms);
  EXPECT_TRUE(log.contains("Idle time-out"));
}

TEST_F(HttpConnectionTimeoutTest, TricklingHeaderIsNotMistakenForIdleness) {
  // Takes about twice the idle time to arrive.
  MemoryConnection peer(limits(300ms, 5s), processor);
  const std::string request = get("/trickle", "User-Agent: a client that sends its header slowly\r\n");
  for (std::size_t at = 0; at < request.size(); at += 8) {
    peer.arrive(request.substr(at, 8));
    peer.runFor(40ms);
  }
  ASSERT_EQ(peer.replies().size(), 1u);
  EXPECT_EQ(bodyOf(peer.replies()[0]), "path=/trickle");
}

TEST_F(HttpConnectionTimeoutTest, StartedRequestMustCompleteInTime) {
  const struct {
    ConnectionSettings settings;
    const char* request;
    const char* logLine;
  } cases[] = {
      {limits(10s, 200ms), "GET /slow HTTP/1.1\r\nHost: x", "Header not received in time"},
      {limits(10s, 10s, 200ms), "POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345", "Body not received in time"},
  };
  for (const auto& c : cases) {
    MemoryConnection peer(c.settings, processor);
    peer.arrive(c.request);
    EXPECT_TRUE(peer.runUntilClosed(3s)) << c.logLine;
    EXPECT_TRUE(log.contains(c.logLine));
  }
  EXPECT_TRUE(processor->seen.empty());
}

}  // namespace
}  // namespace quorvel::testing
