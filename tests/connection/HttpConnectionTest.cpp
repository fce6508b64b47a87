// An HttpConnection over a memory transport, run by the test thread: the test
// decides how the request bytes arrive, whether the replies are read, and how
// long time passes, and sees the exact bytes written.
#include "common/connection/HttpConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/connection/WebSocketFrameReader.h"
#include "common/http/HttpProcessor.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"
#include "support/MemoryTransport.h"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;
using transport::HttpConnection;

// Answers every request with 200 unless the test installs its own reaction;
// records "METHOD path [body]" of each request. It takes at most 16 bytes of
// a body, so the connection must skip the rest.
class RecordingProcessor : public http::HttpProcessor {
 public:
  bool processRequest(const http::HttpRequest& request, http::HttpResponse& response, std::istream& body,
                      std::shared_ptr<HttpConnection>& connection) override {
    seen.push_back(request.getMethod() + " " + request.getPath());
    if (reaction) {
      return reaction(request, response, body, connection);
    }
    char taken[16];
    body.read(taken, sizeof(taken));
    seen.back() += " [" + std::string(taken, static_cast<std::size_t>(body.gcount())) + "]";
    return true;
  }

  std::function<bool(const http::HttpRequest&, http::HttpResponse&, std::istream&, std::shared_ptr<HttpConnection>&)>
      reaction;
  std::vector<std::string> seen;
};

struct ConnectionSettings {
  bool useReadLimits = true;
  std::size_t maxHeaderSize = 49152;
  std::size_t maxPayloadSize = 20971520;
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
  std::chrono::milliseconds headerTimeout = std::chrono::seconds(30);
  std::chrono::milliseconds bodyTimeout = std::chrono::seconds(120);
  std::chrono::milliseconds budgetWaitTimeout = std::chrono::minutes(5);
};

// Shows how much read buffer the connection holds, and had when it started
// reading a body, chunk or frame of known length.
class InspectedConnection : public HttpConnection {
 public:
  using HttpConnection::HttpConnection;
  using HttpConnection::async_read;
  std::size_t readBufferCapacity() const { return requestBuffer->capacity(); }

  void async_read(boost::asio::streambuf& buffer, std::size_t count, transport::IoCallback callback) override {
    largestCountedRead = std::max(largestCountedRead, buffer.capacity());
    HttpConnection::async_read(buffer, count, std::move(callback));
  }
  std::size_t largestCountedRead = 0;
};

class MemoryConnection {
 public:
  MemoryConnection(const ConnectionSettings& settings, const http::HttpProcessorPtr& processor)
      : transport(std::make_shared<MemoryTransport>(io)),
        connection(std::make_shared<InspectedConnection>(transport, settings.useReadLimits, settings.maxHeaderSize,
                                                    settings.maxPayloadSize, processor, 0)) {
    connection->setTimeouts(settings.idleTimeout, settings.headerTimeout, settings.bodyTimeout,
                            settings.budgetWaitTimeout);
    connection->connectSignals();
    connection->postStartTransport(transport::WhileConnectionCallback());
    runFor(std::chrono::milliseconds(0));
  }

  ~MemoryConnection() {
    connection->postClose("test end");
    runFor(std::chrono::milliseconds(0));
  }

  // Delivers the bytes and runs everything they set off.
  void arrive(const std::string& piece) {
    stream().arrive(piece);
    runFor(std::chrono::milliseconds(0));
  }

  // Lets the given time pass, running handlers and timers as they fall due;
  // with none, runs what is ready.
  void runFor(std::chrono::milliseconds time) {
    io.restart();
    time.count() == 0 ? io.poll() : io.run_for(time);
  }

  MemoryStream& stream() { return transport->stream; }
  std::size_t readBufferCapacity() const { return connection->readBufferCapacity(); }
  std::size_t largestCountedRead() const { return connection->largestCountedRead; }

  // Closes from this thread, before anything already posted to the connection runs.
  void closeNow() { connection->close("closed by the test"); }

  // The status codes of the replies written so far ("200 413 "), each reply
  // found by its Content-Length (not for HEAD).
  std::string statuses() {
    std::string result;
    const std::string& written = stream().written();
    for (std::size_t start = 0, end; (end = written.find("\r\n\r\n", start)) != std::string::npos;) {
      const auto at = written.find("Content-Length: ", start);
      result += written.substr(start + 9, 4);
      start = end + 4 + (at < end ? std::stoul(written.substr(at + 16)) : 0);
    }
    return result;
  }

 private:
  boost::asio::io_context io;
  std::shared_ptr<MemoryTransport> transport;
  std::shared_ptr<InspectedConnection> connection;
};

class ConnectionTest : public ::testing::Test {
 protected:
  LogCapture log{log4cplus::TRACE_LOG_LEVEL};
  std::shared_ptr<RecordingProcessor> processor = std::make_shared<RecordingProcessor>();
};

std::string get(const std::string& path, const std::string& extraHeaders = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders + "\r\n";
}

std::vector<std::string> inPieces(const std::string& text, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size(); at += size) {
    pieces.push_back(text.substr(at, size));
  }
  return pieces;
}

// Hard bounds even with read limits off or generous.
constexpr std::size_t kHeaderCeiling = 1024 * 1024;
constexpr std::size_t kPayloadCeiling = 64 * 1024 * 1024;
// Request bodies in memory at once across the process.
constexpr std::size_t kServerBudget = 64 * 1024 * 1024;

std::string post(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunkedPost(const std::string& path, const std::string& chunks) {
  return "POST " + path + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
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
  // headers that end right at an arrival boundary in the split runs, and a
  // chunked body that no handler takes, skipped with its trailer.
  const std::string pipeline = get("/a", "Connection: keep-alive\r\n") + post("/b", "hello\r\n\r\nworld") +
                               "HEAD /c HTTP/1.1\r\nHost: t\r\n\r\n" +
                               chunkedPost("/f", "5\r\nhello\r\n2\r\n\r\n\r\n0\r\nX-Trailer: t\r\n\r\n") +
                               get("/d", "Content-Length: 0\r\n") + post("/e", "x");
  const std::string whole = exchange({pipeline});
  ASSERT_NE(whole.find("|GET /a []|POST /b [hello\r\n\r\nworld]|HEAD /c []|POST /f []|GET /d []|POST /e [x]"),
            std::string::npos)
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

TEST(HttpConnectionTest, ReplyBeforeClosingSaysSo) {
  LogCapture log;
  EXPECT_NE(exchange({"GET /a HTTP/1.0\r\n\r\n"}).find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(exchange({get("/a")}).find("Connection:"), std::string::npos);
}

ConnectionSettings timeouts(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                            std::chrono::milliseconds body, std::size_t maxHeader = 49152) {
  return {true, maxHeader, 1024, idle, header, body};
}

ConnectionSettings budgetWait(std::chrono::milliseconds body, std::chrono::milliseconds wait) {
  ConnectionSettings settings = timeouts(10s, 10s, body);
  settings.budgetWaitTimeout = wait;
  return settings;
}

struct ExchangeCase {
  const char* name;
  ConnectionSettings settings;
  std::vector<std::string> arrivals;  // each followed by `pause`
  const char* statuses;               // of the replies, in order; null: not looked at
  std::size_t served;
  const char* logLine = nullptr;  // the reason of a close; null: the connection stays open
  std::chrono::milliseconds pause{0};
  bool peerReads = true;
  // The whole server budget is taken until the first pause is over, so a body must wait.
  bool budgetTaken = false;
};

const ExchangeCase kExchangeCases[] = {
    // What the client sends after a refusal is drained, not answered.
    {"HeaderAtLimit", limits(true, 4096, 1024), {headerOfSize(4096) + get("/after")}, "200 200 ", 2},
    {"HeaderOneOver", limits(true, 4096, 1024), {headerOfSize(4097) + get("/after")}, "431 ", 0, "Header too large!"},
    {"PayloadAtLimitUnreadPartSkipped", limits(true, 4096, 1024),
     {announcing(1024) + std::string(1024, 'b') + get("/after")}, "200 200 ", 2},
    {"PayloadOneOver", limits(true, 4096, 1024), {announcing(1025) + get("/after")}, "413 ", 0, "Payload too long!"},
    {"LimitsOffIgnoreHeaderSize", limits(false, 100, 10), {headerOfSize(4096)}, "200 ", 1},
    {"LimitsOffIgnorePayloadSize", limits(false, 100, 10), {announcing(5000) + std::string(5000, 'b')}, "200 ", 1},
    {"CeilingHeaderAtLimitLimitsOff", limits(false, 100, 10), {headerOfSize(kHeaderCeiling)}, "200 ", 1},
    {"CeilingHeaderLimitsOff", limits(false, 100, 10), {headerOfSize(kHeaderCeiling + 1)}, "431 ", 0,
     "Header too large!"},
    {"CeilingPayloadLimitsOff", limits(false, 100, 10), {announcing(kPayloadCeiling + 1)}, "413 ", 0,
     "Payload too long!"},
    {"CeilingOverGenerousHeaderLimit", limits(true, 8 * kHeaderCeiling, 10), {headerOfSize(kHeaderCeiling + 1)},
     "431 ", 0, "Header too large!"},
    {"CeilingOverGenerousPayloadLimit", limits(true, 4096, 8 * kPayloadCeiling), {announcing(kPayloadCeiling + 1)},
     "413 ", 0, "Payload too long!"},
    // A body or pipelined requests arriving with a small header are no reason to refuse it.
    {"OnlyHeaderBlockCounts", limits(true, 200, 4096), {post("/b", std::string(3000, 'b')) + times(get("/p"), 10)},
     "200 200 200 200 200 200 200 200 200 200 200 ", 11},
    {"ReplyBeforeRefusal", limits(true, 4096, 10), {get("/a") + announcing(11)}, "200 413 ", 1, "Payload too long!"},
    {"MalformedNoReply", {}, {"THIS IS NOT HTTP\r\n\r\n"}, "", 0,
     "Caught http parsing exception in handle_httpRequest. Shutting down!"},
    // A transfer coding other than chunked alone is refused before any handler runs.
    {"CodingNotChunked", {}, {get("/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", "Transfer-Encoding: x\r\n")}, "", 0,
     "Unsupported transfer coding", 1ms},
    {"ChunkedNotLast", {}, {"GET /a HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n"}, "", 0,
     "Unsupported transfer coding", 1ms},
    {"CodingBeforeChunked", {}, {"POST /a HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"}, "", 0,
     "Unsupported transfer coding", 1ms},
    // The coding's name is matched in any case.
    {"ChunkedInAnyCase", {},
     {"POST /a HTTP/1.1\r\nTransfer-Encoding: CHUNKED\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
      "POST /b HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n" +
      get("/next")},
     "200 200 200 ", 3, nullptr, 1ms},
    {"BlankCodingNextToLength", {}, {"POST /a HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: \r\n\r\nx"}, "",
     0, "Caught http parsing exception", 1ms},
    // A chunked body that no handler takes is skipped after the reply, within the chunk rules.
    {"SkippedBodyMalformed", {}, {chunkedPost("/status", "1g\r\n") + get("/next")}, "200 ", 1,
     "Error converting hex chunk length to int!", 1ms},
    {"SkippedChunkOverPayloadLimit", limits(true, 4096, 1024), {chunkedPost("/status", "401\r\n")}, "200 ", 1,
     "Length of the chunk seems odd", 1ms},
    // A trailer line with a bare LF could end the body earlier for another reader.
    {"SkippedTrailerWithBareLf", {}, {chunkedPost("/status", "0\r\nX: a\n" + get("/smuggled"))}, "200 ", 1,
     "Malformed trailer", 1ms},
    // A trailer line is capped like a size line: 1024 bytes with its CR LF.
    {"SkippedTrailerAtLineLimit", {},
     {chunkedPost("/status", "0\r\nX: " + std::string(1019, 't') + "\r\n\r\n") + get("/next")}, "200 200 ", 2,
     nullptr, 1ms},
    {"SkippedTrailerOverLineLimit", {},
     {chunkedPost("/status", "0\r\nX: " + std::string(1020, 't') + "\r\n\r\n") + get("/next")}, "200 ", 1,
     "Malformed trailer", 1ms},
    // The connection is closed after the reply when the client asks for it.
    // What it pipelined behind is drained before the close, not answered.
    {"ConnectionCloseOption", {}, {get("/a", "Connection: keep-alive, CLOSE\r\n") + get("/unserved")}, "200 ", 1,
     "as the client asked", 300ms},
    {"Http10ClosesByDefault", {}, {"GET /a HTTP/1.0\r\n\r\n"}, "200 ", 1, "as the client asked", 300ms},
    {"Http10WithCodingCloses", {}, {"POST /s HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
     "200 ", 1, "as the client asked", 300ms},
    {"KeptAliveOtherwise", {}, {get("/a") + "GET /b HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"}, "200 200 ", 2,
     nullptr, 1ms},
    // The idle time runs again after each reply.
    {"IdleAfterReplies", timeouts(300ms, 10s, 10s), {get("/a"), get("/b"), ""}, "200 200 ", 2, "Idle time-out",
     200ms},
    {"TricklingHeaderIsNotIdle", timeouts(300ms, 5s, 10s),
     inPieces(get("/trickle", "User-Agent: a client that sends its header slowly\r\n"), 8), "200 ", 1, nullptr, 40ms},
    {"HeaderTimeOut", timeouts(10s, 200ms, 10s), {"GET /slow HTTP/1.1\r\nHost: x"}, nullptr, 0,
     "Header not received in time", 300ms},
    {"BodyTimeOut", timeouts(10s, 10s, 200ms), {announcing(10) + "12345"}, nullptr, 0, "Body not received in time",
     300ms},
    // A peer that pipelines and never reads: one request is served, and the
    // reply that is never taken ends the connection in time.
    {"UnreadReply", timeouts(100ms, 100ms, 100ms, 1024), {times(get("/x"), 50)}, nullptr, 1, "Idle time-out", 300ms,
     false},
    {"UnreadRefusal", timeouts(100ms, 100ms, 100ms, 1024), {headerOfSize(2000)}, nullptr, 0, "Header too large!",
     300ms, false},
    // Waiting for room in the budget is not the client's slowness; waiting too long gets a refusal it can read.
    {"BudgetWaitIsNotBodyTime", budgetWait(200ms, 10s), {announcing(10) + "12345", "67890"}, "200 ", 1, nullptr,
     300ms, true, true},
    {"BudgetWaitBounded", budgetWait(10s, 50ms), {announcing(10) + "12345"}, "503 ", 0,
     "No room for the request body in time", 300ms, true, true},
};

class HttpConnectionExchangeTest : public ConnectionTest, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(HttpConnectionExchangeTest, ServesOrRefusesAndClosesInTime) {
  const ExchangeCase& c = GetParam();
  MemoryConnection peer(c.settings, processor);
  if (!c.peerReads) {
    peer.stream().holdWrites();
  }
  bool budgetTaken = c.budgetTaken;
  ASSERT_TRUE(!budgetTaken || transport::BodyBudget::server().acquire(kServerBudget, {}) ==
                                  transport::BodyBudget::kGrantedNow);
  for (const auto& piece : c.arrivals) {
    peer.arrive(piece);
    peer.runFor(c.pause);
    if (std::exchange(budgetTaken, false)) {
      transport::BodyBudget::server().release(kServerBudget);
    }
  }
  // Without a pause the client hangs up at once: whatever it sent is answered or drained first.
  const bool hangsUp = c.pause.count() == 0;
  if (hangsUp) {
    peer.stream().endInput();
    peer.runFor(0ms);
  }
  EXPECT_TRUE(c.statuses == nullptr || peer.statuses() == c.statuses) << peer.statuses();
  EXPECT_EQ(processor->seen.size(), c.served);
  EXPECT_EQ(peer.stream().isClosed(), hangsUp || c.logLine != nullptr);
  EXPECT_TRUE(c.logLine == nullptr || log.contains(c.logLine));
  EXPECT_EQ(transport::BodyBudget::server().held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, HttpConnectionExchangeTest, ::testing::ValuesIn(kExchangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConnectionTest, ClientCausedErrorsAreWrittenOncePerWindow) {
  const struct {
    std::string request;
    const char* line;
  } cases[] = {
      {"THIS IS NOT HTTP\r\n\r\n", "Caught http parsing exception in handle_httpRequest. Shutting down! Error was: '"},
      {headerOfSize(2000), "Header too large!"},
  };
  for (const auto& c : cases) {
    for (int client = 0; client < 3; ++client) {
      MemoryConnection peer(limits(true, 1024, 1024), processor);
      peer.arrive(c.request);
    }
    EXPECT_EQ(log.count(c.line), 3u) << c.line;
    // None when an earlier test wrote this window's first.
    EXPECT_LE(log.count(c.line, log4cplus::ERROR_LOG_LEVEL), 1u) << c.line;
  }
}

TEST_F(ConnectionTest, BudgetRefusalDrainsTheAnnouncedBody) {
  ConnectionSettings settings = budgetWait(10s, 50ms);
  settings.maxPayloadSize = 4 * 1024 * 1024;
  MemoryConnection peer(settings, processor);
  ASSERT_EQ(transport::BodyBudget::server().acquire(kServerBudget, {}), transport::BodyBudget::kGrantedNow);
  // Three times what a refusal drains otherwise, all sent while the body waits.
  peer.arrive(announcing(3 * 1024 * 1024));
  for (int i = 0; i < 48; ++i) {
    peer.arrive(std::string(64 * 1024, 'b'));
  }
  peer.runFor(600ms);
  transport::BodyBudget::server().release(kServerBudget);
  EXPECT_EQ(peer.statuses(), "503 ");
  EXPECT_TRUE(peer.stream().isClosed());
  EXPECT_FALSE(peer.stream().closedOverUnreadInput());
}

// A reply that closes ends our side at once (a client reading to the end gets
// it without waiting), then whatever the client still sends, pipelined with
// the request or a moment later, is read and dropped until it ends its side
// or stays quiet: the socket is never closed over unread input.
TEST_F(ConnectionTest, ReplyThatClosesEndsOurSideThenDrainsUntilTheClientEnds) {
  const struct {
    const char* name;
    std::vector<std::string> withRequest;  // each read apart
    const char* later;                     // sent once the reply is out
    const char* statuses;
  } cases[] = {
      {"pipelined, partly read", {get("/a", "Connection: close\r\n") + "GET /unse", "rved HTTP/1.1\r\n\r\n"}, "",
       "200 "},
      {"pipelined, still in the socket", {get("/a", "Connection: close\r\n"), get("/unserved")}, "", "200 "},
      {"a moment later", {get("/a", "Connection: close\r\n")}, "GET /late HTTP/1.1\r\n\r\n", "200 "},
      {"HTTP/1.0", {"GET /a HTTP/1.0\r\n\r\n"}, "GET /late HTTP/1.0\r\n\r\n", "200 "},
      {"refusal", {headerOfSize(2000)}, "the rest of the header", "431 "},
  };
  for (const auto& c : cases) {
    for (const bool clientEnds : {true, false}) {
      const std::string name = std::string(c.name) + (clientEnds ? ", client ends" : ", client stays quiet");
      processor->seen.clear();
      MemoryConnection peer(limits(true, 1024, 1024), processor);
      for (const auto& piece : c.withRequest) peer.stream().arrive(piece);
      peer.runFor(0ms);
      EXPECT_EQ(peer.statuses(), c.statuses) << name;
      EXPECT_TRUE(peer.stream().isOutputEnded()) << name;
      peer.runFor(1ms);
      peer.arrive(c.later);
      EXPECT_FALSE(peer.stream().isClosed()) << name;
      if (clientEnds) {
        peer.stream().endInput();
        peer.runFor(0ms);
      } else {
        // Past the quiet time that ends the draining.
        peer.runFor(300ms);
      }
      EXPECT_TRUE(peer.stream().isClosed()) << name;
      EXPECT_FALSE(peer.stream().closedOverUnreadInput()) << name;
      EXPECT_EQ(peer.statuses(), c.statuses) << name;
      EXPECT_EQ(processor->seen.size(), c.statuses == std::string("200 ") ? 1u : 0u) << name;
    }
  }
}

// A connection closed while its body waits for the budget no longer holds up
// the bodies behind it, and a grant that reaches it after the close is given
// back without the body being buffered.
TEST_F(ConnectionTest, ClosedConnectionGivesUpItsBodyBudget) {
  auto& budget = transport::BodyBudget::server();
  const struct {
    const char* name;
    bool grantedBeforeClose;
  } cases[] = {{"closed while waiting", false}, {"closed with its grant on the way", true}};
  for (const auto& c : cases) {
    ASSERT_EQ(budget.held(), 0u);
    // Room for a 10-byte body only: the large body waits, and the small one queues behind it.
    ASSERT_EQ(budget.acquire(kServerBudget - 10, {}), transport::BodyBudget::kGrantedNow);
    auto closingProcessor = std::make_shared<RecordingProcessor>();
    MemoryConnection closing({}, closingProcessor);
    closing.arrive("POST /closed HTTP/1.1\r\nContent-Length: 1048576\r\n\r\nbegun");
    MemoryConnection behind({}, processor);
    behind.arrive("POST /behind HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
    if (c.grantedBeforeClose) {
      // Both fit now; the large body's grant is posted to its connection, not yet run.
      budget.release(kServerBudget - 10);
    }
    closing.closeNow();
    behind.arrive("67890");
    EXPECT_EQ(behind.statuses(), "200 ") << c.name;
    if (!c.grantedBeforeClose) {
      budget.release(kServerBudget - 10);
    }
    closing.runFor(0ms);
    EXPECT_TRUE(closingProcessor->seen.empty()) << c.name;
    EXPECT_LT(closing.largestCountedRead(), 1048576u) << c.name;
    EXPECT_EQ(budget.held(), 0u) << c.name;
  }
  EXPECT_EQ(processor->seen, (std::vector<std::string>{"POST /behind [1234567890]", "POST /behind [1234567890]"}));
}

TEST_F(ConnectionTest, SkippedChunkIsDroppedAsItArrives) {
  MemoryConnection peer({}, processor);
  peer.arrive(chunkedPost("/status", "A00000\r\n"));
  const std::string piece(64 * 1024, 'z');
  for (int i = 0; i < 160; ++i) {
    peer.arrive(piece);
  }
  // 10 MiB of one chunk went by; a skipped body is in no budget, so little of it may stay.
  EXPECT_LE(peer.readBufferCapacity(), 128u * 1024);
  peer.arrive("\r\n0\r\n\r\n" + get("/next"));
  EXPECT_EQ(peer.statuses(), "200 200 ");
  EXPECT_FALSE(peer.stream().isClosed());
}

// "81 05" as bytes.
std::string hex(const std::string& text) {
  std::string bytes;
  for (std::size_t at = 0; at < text.size(); at += 3) {
    bytes.push_back(static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

// A client frame: masked with the given key.
std::string frame(unsigned char first, const std::string& payload, const std::string& key = hex("37 fa 21 3d")) {
  std::ostringstream out;
  transport::writeFrameHeader(out, first, payload.size());
  std::string bytes = out.str();
  bytes[1] = static_cast<char>(bytes[1] | 0x80);
  bytes += key;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    bytes.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
  }
  return bytes;
}

const std::string kLarge = [] {
  std::string text(5000, '\0');
  std::iota(text.begin(), text.end(), '\0');
  return text;
}();

enum class Mode { Chunked, WebSocket };
// How the callback takes what it is offered: all of it (then reading on or
// stopping), one byte per call, or nothing.
enum class Taking { All, AllThenStop, OneByte, Nothing };

struct UpgradeCase {
  const char* name;
  Mode mode;
  std::string input;
  std::string received;  // what the callback took, each call's bytes ended by '|' (one byte per call: none)
  std::string written;   // after the upgrade's reply
  bool closed;
  const char* logLine = "";
  std::size_t piece = 0;  // bytes per arrival; 0: all at once
  Taking taking = Taking::All;
  std::chrono::milliseconds wait{0};
  bool peerReads = true;
  std::size_t maxPayload = 20971520;
};

const std::string kBadSize = "Error converting hex chunk length to int!";
const std::string k1002 = hex("88 02 03 EA");
const std::string kHello = hex("81 85 37 fa 21 3d 7f 9f 4d 51 58");
const std::string kChunks = "1a\r\n" + std::string(26, 'a') + "\r\n1A\r\n" + std::string(26, 'b') + "\r\n001a\r\n" +
                            std::string(26, 'c') + "\r\n";
const std::string kChunksTaken = std::string(26, 'a') + "|" + std::string(26, 'b') + "|" + std::string(26, 'c') + "|";

const UpgradeCase kCases[] = {
    {"ChunkSizesInAnyCase", Mode::Chunked, kChunks, kChunksTaken, "", false},
    {"ChunksOneBytePerArrival", Mode::Chunked, kChunks, kChunksTaken, "", false, "", 1},
    {"LastChunkCloses", Mode::Chunked, "3\r\nabc\r\n0\r\n\r\n", "abc|", "", true,
     "received chunk length of 0, stopping connection!"},
    {"ChunkExtension", Mode::Chunked, "1a;x\r\n", "", "", true, kBadSize.c_str()},
    {"NotHex", Mode::Chunked, "1g\r\n", "", "", true, kBadSize.c_str()},
    {"SizeBeyond32Bits", Mode::Chunked, "100000010\r\n", "", "", true, kBadSize.c_str()},
    {"SizeLineTooLong", Mode::Chunked, std::string(1100, '1') + "\r\n", "", "", true, kBadSize.c_str()},
    // Refused by the cap on the line, though its value is small.
    {"SmallSizeOnLongLine", Mode::Chunked, std::string(1100, '0') + "3\r\nabc\r\n", "", "", true, kBadSize.c_str()},
    {.name = "ChunkAtPayloadLimit", .mode = Mode::Chunked, .input = "400\r\n" + std::string(1024, 'c') + "\r\n",
     .received = std::string(1024, 'c') + "|", .written = "", .closed = false, .maxPayload = 1024},
    {.name = "ChunkOverPayloadLimit", .mode = Mode::Chunked, .input = "401\r\n", .received = "", .written = "",
     .closed = true, .logLine = "Length of the chunk seems odd", .maxPayload = 1024},
    {"ChunkTooLarge", Mode::Chunked, "A00001\r\n", "", "", true, "Length of the chunk seems odd"},
    {"LargestChunkOneBytePerCall", Mode::Chunked, "A00000\r\n" + std::string(0xA00000, 'x') + "\r\n",
     std::string(0xA00000, 'x'), "", false, "", 0, Taking::OneByte},
    {"ChunkNotEndedByCrLf", Mode::Chunked, "3\r\nabcXY5\r\nhello\r\n", "", "", true, "not followed by CR LF"},
    {"CallbackStops", Mode::Chunked, "3\r\nabc\r\n3\r\ndef\r\n", "abc|", "", false, "", 0, Taking::AllThenStop},
    {"CallbackTakingNothingSkipsChunk", Mode::Chunked, "3\r\nabc\r\n0\r\n", "", "", true, "chunk length of 0", 0,
     Taking::Nothing},
    {"ChunkTimesOut", Mode::Chunked, "3\r\nab", "", "", true, "Body not received in time", 0, Taking::All, 300ms},

    {"MaskedText", Mode::WebSocket, kHello, "Hello|", "", false},
    {"FrameOneBytePerArrival", Mode::WebSocket, kHello, "Hello|", "", false, "", 1},
    {"TwoFramesInOneArrival", Mode::WebSocket, frame(0x81, "ab") + frame(0x82, "cd"), "ab|cd|", "", false},
    {"LargeFrameInPieces", Mode::WebSocket, frame(0x82, kLarge, hex("01 02 03 04")), kLarge + "|", "",
     false, "", 7},
    {"MebibyteFrame", Mode::WebSocket, frame(0x82, std::string(1 << 20, 'm')), std::string(1 << 20, 'm') + "|", "",
     false},
    {.name = "FrameAtPayloadLimit", .mode = Mode::WebSocket, .input = frame(0x82, std::string(1024, 'w')),
     .received = std::string(1024, 'w') + "|", .written = "", .closed = false, .maxPayload = 1024},
    {.name = "FrameOverPayloadLimit", .mode = Mode::WebSocket, .input = frame(0x82, std::string(1025, 'w')),
     .received = "", .written = hex("88 02 03 F1"), .closed = true, .maxPayload = 1024},
    // A peer that pings without reading gets no further than its first ping.
    {"PingsWaitForTheirPong", Mode::WebSocket, frame(0x89, "a") + frame(0x89, "b") + frame(0x81, "ok"), "", "",
     false, "", 0, Taking::All, 0ms, false},
    {"PongSkipped", Mode::WebSocket, frame(0x8A, "xyz") + frame(0x81, "ok"), "ok|", "", false},
    {"CloseEchoedNothingAfter", Mode::WebSocket, frame(0x88, hex("03 E8")) + frame(0x89, "p"), "",
     hex("88 02 03 E8"), true},
    {"LengthOverLimit", Mode::WebSocket, hex("82 FF 7F FF FF FF FF FF FF FF 01 02 03 04"), "", hex("88 02 03 F1"),
     true},
    {"LengthTopBit", Mode::WebSocket, hex("82 FF 80 00 00 00 00 00 00 00 01 02 03 04"), "", k1002, true},
    {"LongestPing", Mode::WebSocket, frame(0x89, std::string(125, 'p')), "", hex("8A 7D") + std::string(125, 'p'),
     false},
    {"LongPing", Mode::WebSocket, frame(0x89, std::string(126, 'p')), "", k1002, true},
    {"ControlFrameWithoutFin", Mode::WebSocket, frame(0x09, "p"), "", k1002, true},
    {"StrayContinuation", Mode::WebSocket, frame(0x80, "x"), "", k1002, true,
     "continuation frame with no fragmented message in flight"},
    {"UnknownOpcode", Mode::WebSocket, frame(0x83, ""), "", k1002, true, "Websocket: unknown opcode '\x03'"},
    {"SecondOpeningFragment", Mode::WebSocket, frame(0x01, "a") + frame(0x02, "b"), "a|", k1002, true,
     "Websocket: received an opening fragment but a fragmented message was already in flight!"},
    {"WholeFrameInsideFragments", Mode::WebSocket, frame(0x01, "a") + frame(0x81, "b"), "a|", k1002, true},
    {"PingBetweenFragments", Mode::WebSocket, frame(0x01, "a") + frame(0x89, "p") + frame(0x80, "b"), "a|b|",
     hex("8A 01 70"), false},
    {"FrameTimesOut", Mode::WebSocket, hex("81 85 37"), "", hex("88 02 03 E8"), true, "Body not received", 0,
     Taking::All, 300ms},
    {"NoTimeOutBetweenFrames", Mode::WebSocket, kHello, "Hello|", "", false, "", 0, Taking::All, 300ms},
};

class HttpConnectionUpgradeTest : public ConnectionTest, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(HttpConnectionUpgradeTest, HandsOverWhatArrivesAndRefusesWhatIsMalformed) {
  const UpgradeCase& c = GetParam();
  std::string received;
  processor->reaction = [&](const http::HttpRequest& request, http::HttpResponse& response, std::istream&,
                            std::shared_ptr<HttpConnection>& connection) {
    http::ProcessChunk callback = [&received, taking = c.taking](http::HttpResponse&, std::istream& in, std::size_t) {
      if (taking == Taking::OneByte) {
        received.push_back(static_cast<char>(in.get()));
      } else if (taking != Taking::Nothing) {
        received += std::string(std::istreambuf_iterator<char>(in), {}) + "|";
      }
      return taking != Taking::AllThenStop;
    };
    if (c.mode == Mode::WebSocket) {
      connection->upgradeToWebSocketAndGenerateResponse(request, response, callback);
    } else {
      connection->upgradeToChunked(request, response, callback);
    }
    return true;
  };
  ConnectionSettings settings;
  if (c.wait.count() != 0) {
    settings.bodyTimeout = 100ms;
  }
  settings.maxPayloadSize = c.maxPayload;
  MemoryConnection peer(settings, processor);
  peer.arrive(c.mode == Mode::WebSocket ? get("/up",
                                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                                "Sec-WebSocket-Protocol: chat, superchat\r\n")
                                        : "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  const std::string reply = peer.stream().written();
  if (c.mode == Mode::WebSocket) {
    // The accept value of the handshake's published example; the first offered subprotocol.
    for (const char* line : {"HTTP/1.1 101 ", "\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
                             "\r\nSec-WebSocket-Protocol: chat\r\n"}) {
      EXPECT_NE(reply.find(line), std::string::npos) << line;
    }
  }
  if (!c.peerReads) {
    peer.stream().holdWrites();
  }
  for (const auto& piece : c.piece == 0 ? std::vector<std::string>{c.input} : inPieces(c.input, c.piece)) {
    peer.arrive(piece);
  }
  peer.runFor(c.wait);

  EXPECT_EQ(received, c.received);
  EXPECT_EQ(peer.stream().written().substr(reply.size()), c.written);
  EXPECT_EQ(peer.stream().isClosed(), c.closed);
  EXPECT_TRUE(log.contains(c.logLine));
  // Between chunks and frames the connection keeps no more buffer than between requests.
  EXPECT_LE(peer.readBufferCapacity(), 8192u);
}

INSTANTIATE_TEST_SUITE_P(Modes, HttpConnectionUpgradeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConnectionTest, ReplyBodyIsWrittenFromTheHandlersOwnBytes) {
  const void* bodyBytes = nullptr;
  processor->reaction = [&](const http::HttpRequest&, http::HttpResponse& response, std::istream&,
                            std::shared_ptr<HttpConnection>&) {
    response.setBody(std::string(1 << 20, 'x'), false, false);
    bodyBytes = response.getBody().data();
    return true;
  };
  MemoryConnection memory({}, processor);
  memory.arrive(get("/big"));
  EXPECT_EQ(memory.statuses(), "200 ");
  const auto& from = memory.stream().writtenFrom;
  EXPECT_NE(std::find(from.begin(), from.end(), bodyBytes), from.end()) << "the 1 MiB body was copied on its way out";
}

TEST(WebSocketFrameTest, LengthFieldsAreWrittenAndReadBack) {
  const struct {
    std::size_t length;
    std::string field;
  } cases[] = {{125, hex("7D")}, {126, hex("7E 00 7E")}, {65535, hex("7E FF FF")},
               {65536, hex("7F 00 00 00 00 00 01 00 00")}};
  for (const auto& c : cases) {
    std::ostringstream out;
    HttpConnection::writeBinaryFrameHeader(out, c.length);
    const std::string header = out.str();
    EXPECT_EQ(header, "\x82" + c.field) << c.length;
    transport::WebSocketFrameReader reader;
    std::size_t used = 0;
    EXPECT_EQ(reader.advance(reinterpret_cast<const unsigned char*>(header.data()), header.size(), 65536, used),
              transport::WebSocketFrameReader::Status::FrameReady);
    EXPECT_EQ(reader.getPayloadLength(), c.length);
  }
}

}  // namespace
}  // namespace quorvel::testing
