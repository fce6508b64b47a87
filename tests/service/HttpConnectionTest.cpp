#include "common/connection/HttpConnection.h"

#include <gtest/gtest.h>

#include <thread>

#include "LoopbackConnection.h"
#include "support/LogCapture.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

class HttpConnectionTest : public ::testing::Test {
 protected:
  std::unique_ptr<Client> open(const ConnectionSettings& settings = ConnectionSettings()) {
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

TEST_F(HttpConnectionTest, AnswersRequestsOneAfterAnotherOnOneConnection) {
  auto client = open();
  client->send(get("/first"));
  std::string first = client->readResponse();
  EXPECT_EQ(statusLine(first), "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyOf(first), "path=/first");

  // Whatever the Connection header says, the connection stays.
  client->send(get("/second", "Connection: close\r\n"));
  EXPECT_EQ(bodyOf(client->readResponse()), "path=/second");
  EXPECT_TRUE(client->silentFor(100ms));
  EXPECT_EQ(processor->count(), 2u);
  EXPECT_TRUE(log.contains("Writing Response (", log4cplus::TRACE_LOG_LEVEL));
}

TEST_F(HttpConnectionTest, PipelinedRequestsAreAnsweredInOrder) {
  auto client = open();
  std::string burst;
  for (int i = 0; i < 20; ++i) {
    burst += (i % 2 == 0) ? get("/p" + std::to_string(i)) : post("/p" + std::to_string(i), "body" + std::to_string(i));
  }
  client->send(burst);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(bodyOf(client->readResponse()), "path=/p" + std::to_string(i)) << i;
  }
  auto seen = processor->seen();
  ASSERT_EQ(seen.size(), 20u);
  EXPECT_EQ(seen[3].body, "body3");
  EXPECT_EQ(seen[4].body, "");
}

TEST_F(HttpConnectionTest, ClientThatNeverReadsDoesNotGrowTheWriteQueue) {
  processor->reaction = [](const http::HttpRequest&, http::HttpResponse& response, std::istream&) {
    response.setBody(std::string(256 * 1024, 'x'), false, false);
    return true;
  };
  auto client = open();
  const int sent = 400;
  std::string burst;
  for (int i = 0; i < sent; ++i) {
    burst += get("/flood");
  }
  // The requests fit in the socket buffers; the 100 MB of replies do not.
  client->send(burst);
  std::this_thread::sleep_for(500ms);
  const std::size_t processed = processor->count();
  EXPECT_LT(processed, static_cast<std::size_t>(sent / 4));

  // Reading the replies lets the rest be served, in order and complete.
  std::size_t answered = 0;
  while (answered < static_cast<std::size_t>(sent)) {
    std::string response = client->readResponse();
    ASSERT_EQ(bodyOf(response).size(), 256u * 1024u) << answered;
    ++answered;
  }
  EXPECT_EQ(processor->count(), static_cast<std::size_t>(sent));
}

TEST_F(HttpConnectionTest, BodyIsHandedOverAsAStreamOfExactlyItsLength) {
  auto client = open();
  // Body split from its header, and a second request right behind it.
  client->send("POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\n01234");
  std::this_thread::sleep_for(50ms);
  client->send("56789" + get("/b"));
  EXPECT_EQ(bodyOf(client->readResponse()), "path=/a");
  EXPECT_EQ(bodyOf(client->readResponse()), "path=/b");
  auto seen = processor->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].body, "0123456789");
  EXPECT_EQ(seen[1].method, "GET");
}

TEST_F(HttpConnectionTest, UnreadBodyBytesAreSkipped) {
  processor->reaction = [](const http::HttpRequest& request, http::HttpResponse& response, std::istream& body) {
    char first[3] = {};
    body.read(first, 2);
    response.setBody(request.getPath() + ":" + first, false, false);
    return true;
  };
  auto client = open();
  client->send(post("/partial", "abcdefghij") + get("/next"));
  EXPECT_EQ(bodyOf(client->readResponse()), "/partial:ab");
  EXPECT_EQ(bodyOf(client->readResponse()), "/next:");
}

TEST_F(HttpConnectionTest, MalformedRequestClosesWithoutReply) {
  auto client = open();
  client->send("THIS IS NOT HTTP\r\n\r\n");
  EXPECT_TRUE(client->closedByPeer());
  EXPECT_TRUE(client->buffered().empty());
  EXPECT_TRUE(log.contains("Caught http parsing exception in handle_httpRequest. Shutting down!",
                           log4cplus::ERROR_LOG_LEVEL));
  EXPECT_EQ(processor->count(), 0u);
}

TEST_F(HttpConnectionTest, ProcessorThatDeclinesLeavesConnectionSilent) {
  processor->reaction = [](const http::HttpRequest&, http::HttpResponse&, std::istream&) { return false; };
  auto client = open();
  client->send(get("/taken-over") + get("/never-read"));
  EXPECT_TRUE(client->silentFor(300ms));
  EXPECT_EQ(processor->count(), 1u);
}

TEST_F(HttpConnectionTest, StrictTransportSecurityOnlyWithMaxAge) {
  ConnectionSettings withHsts;
  withHsts.hstsMaxAge = 600;
  auto secured = open(withHsts);
  secured->send(get("/"));
  EXPECT_NE(secured->readResponse().find("\r\nStrict-Transport-Security: max-age=600\r\n"), std::string::npos);

  auto plain = open();
  plain->send(get("/"));
  EXPECT_EQ(plain->readResponse().find("Strict-Transport-Security"), std::string::npos);
}

TEST_F(HttpConnectionTest, HeadGetsHeadersOnlyAndConnectionStaysUsable) {
  auto client = open();
  client->send("HEAD /h HTTP/1.1\r\n\r\n" + get("/after"));
  ASSERT_TRUE(client->readUntil("path=/after"));
  const std::string& received = client->buffered();
  auto headEnd = received.find("\r\n\r\n");
  EXPECT_NE(received.find("Content-Length: 7\r\n"), std::string::npos);
  EXPECT_EQ(received.compare(headEnd + 4, 15, "HTTP/1.1 200 OK"), 0) << received;
}

}  // namespace
}  // namespace quorvel::testing
