// Both ends over real loopback sockets: a TLS server transport, alone or
// wrapped in a connection, against a real client on the test thread.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/TlsTestSupport.h"
#include "common/transport/SSLTransport.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::await;
using quorvel::testing::Client;
using quorvel::testing::LogCapture;
using quorvel::testing::makeClientContext;
using quorvel::testing::TlsServer;
using utils::ByteBuffer;
using utils::WriteBuffers;
using Completion = std::pair<boost::system::error_code, std::size_t>;
using namespace std::chrono_literals;

struct WriteCase {
  const char* name;
  std::shared_ptr<WriteBuffers> record;
  bool refused;
  std::string sent;
};

TEST(SSLTransport, HandshakeWithARealClientThenDataBothWaysAndAnOrderlyShutdown) {
  LogCapture log;
  TlsServer server(makeClientContext());
  auto started = server.start();
  ASSERT_FALSE(server.client.handshake());
  const auto report = await(std::move(started));
  EXPECT_TRUE(report.connected && !report.error);
  EXPECT_EQ(report.events, (std::vector<std::string>{"connected", "callback"}));
  boost::asio::ip::tcp::no_delay noDelay;
  server.io.call([&] { server.transport->getSocket().get_option(noDelay); });
  EXPECT_TRUE(noDelay.value());

  // Ranges beyond their data are refused; the others put exactly their range on the wire.
  auto bytes = std::make_shared<ByteBuffer>(ByteBuffer{'0', '1', '2', '3', '4', '5'});
  const std::vector<WriteCase> writes = {
      {"text from offset", std::make_shared<WriteBuffers>("abcdef", 2, IoCallback()), false, "cdef"},
      {"text fully consumed", std::make_shared<WriteBuffers>("abcdef", 6, IoCallback()), false, ""},
      {"text offset past end", std::make_shared<WriteBuffers>("abcdef", 7, IoCallback()), true, ""},
      {"buffer prefix from offset", std::make_shared<WriteBuffers>(bytes, 4, 1, IoCallback()), false, "123"},
      {"buffer length past end", std::make_shared<WriteBuffers>(bytes, 7, 0, IoCallback()), true, ""},
      {"buffer offset past length", std::make_shared<WriteBuffers>(bytes, 4, 5, IoCallback()), true, ""},
      {"no buffer at all", std::make_shared<WriteBuffers>(utils::ByteBufferPtr(), 3, 0, IoCallback()), true, ""},
  };
  std::string expected;
  for (const auto& c : writes) {
    auto done = std::make_shared<std::promise<Completion>>();
    server.io.call([&] { server.transport->async_write(c.record, [done](auto e, auto n) { done->set_value({e, n}); }); });
    const auto [error, sent] = await(done->get_future());
    EXPECT_EQ(error, c.refused ? boost::asio::error::invalid_argument : boost::system::error_code()) << c.name;
    EXPECT_EQ(sent, c.sent.size()) << c.name;
    expected += c.sent;
  }
  // An empty callback is allowed and simply not called.
  server.io.call([&] { server.transport->async_write(std::make_shared<WriteBuffers>("|", 0, IoCallback()), {}); });

  // Shut down from the write's completion, as a connection closing after its last reply does.
  auto echoed = server.echoLine("pong\n", true);
  ASSERT_FALSE(server.client.write("ping\n"));
  EXPECT_TRUE(await(std::move(echoed)));
  std::string received;
  // eof, not a truncated stream: the close notification arrived before the socket closed.
  EXPECT_EQ(server.client.readToEnd(received), boost::asio::error::eof);
  EXPECT_EQ(received, expected + "|pong\n");
  EXPECT_FALSE(log.contains("Got error"));
}

struct HandshakeFailure {
  const char* name;
  std::function<void(Client&)> clientDoes;
  std::chrono::milliseconds timeout;  // zero keeps the default
  std::string closeReason;            // %e stands for the handshake's error message
  std::string warning;                // after the log prefix; empty when nothing is worth a WARN
};

TEST(SSLTransport, FailedHandshakesCloseWithTheirReasonWithoutDisturbingOthers) {
  LogCapture log;
  TlsServer good(makeClientContext());
  auto goodStarted = good.start();
  ASSERT_FALSE(good.client.handshake());
  ASSERT_TRUE(await(std::move(goodStarted)).connected);

  const std::vector<HandshakeFailure> cases = {
      {"plain text", [](Client& c) { c.write("GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"); }, 0ms,
       "SSLTransport: %e", "SSLTransport::handle_handshake Error was: '%e'"},
      {"peer closes", [](Client& c) { c.socket().close(); }, 0ms, "", ""},
      {"silent", [](Client&) {}, 150ms, "SSLTransport: handshake timed out",
       "SSL handshake not completed within 150 ms"},
  };
  for (const auto& c : cases) {
    log.clear();
    TlsServer bad(nullptr);
    if (c.timeout.count() > 0) {
      bad.transport->setHandshakeTimeout(c.timeout);
    }
    const auto begin = std::chrono::steady_clock::now();
    auto started = bad.start();
    c.clientDoes(bad.client);
    const auto report = await(std::move(started));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, c.timeout) << c.name;
    EXPECT_FALSE(report.connected) << c.name;
    const auto withError = [&](std::string text) {
      const auto at = text.find("%e");
      return at == std::string::npos ? text : text.replace(at, 2, report.error.message());
    };
    EXPECT_EQ(report.events, (std::vector<std::string>{"close", "callback"})) << c.name;
    EXPECT_EQ(report.closeReason, withError(c.closeReason)) << c.name;
    if (c.warning.empty()) {
      EXPECT_FALSE(log.contains("", log4cplus::WARN_LOG_LEVEL)) << c.name;
    } else {
      EXPECT_EQ(log.count(bad.transport->getLogPrefix() + withError(c.warning), log4cplus::WARN_LOG_LEVEL), 1u)
          << c.name;
    }
  }

  auto echoed = good.echoLine("still here\n");
  ASSERT_FALSE(good.client.write("hello?\n"));
  std::string reply;
  ASSERT_FALSE(good.client.read(11, reply));
  EXPECT_EQ(reply, "still here\n");
  EXPECT_TRUE(await(std::move(echoed)));
}

TEST(SSLTransport, SecondStartDuringTheHandshakeOnlyReplacesTheCallback) {
  TlsServer server(makeClientContext());
  bool firstCalled = false;
  auto second = std::make_shared<std::promise<bool>>();
  server.io.call([&] {
    server.transport->start([&](bool, const auto&) { firstCalled = true; }, "");
    server.transport->start([second](bool connected, const auto&) { second->set_value(connected); }, "");
  });
  ASSERT_FALSE(server.client.handshake());
  EXPECT_TRUE(await(second->get_future()));
  EXPECT_FALSE(server.io.call([&] { return firstCalled; }));
}

TEST(SSLTransport, OnlySuitesFromTheConfiguredListAreNegotiatedAndARefusedListIsReported) {
  LogCapture log;
  for (const auto& [clientOffers, succeeds] : {std::pair{"ECDHE-ECDSA-AES128-GCM-SHA256", true},
                                                std::pair{"ECDHE-ECDSA-AES256-GCM-SHA384", false}}) {
    log.clear();
    TlsServer server(makeClientContext(clientOffers), "ECDHE-ECDSA-AES128-GCM-SHA256");
    auto started = server.start();
    EXPECT_EQ(!server.client.handshake(), succeeds) << clientOffers;
    EXPECT_EQ(await(std::move(started)).connected, succeeds) << clientOffers;
    EXPECT_EQ(log.contains("SSLTransport::handle_handshake Error was: '", log4cplus::WARN_LOG_LEVEL), !succeeds);
  }
  EXPECT_FALSE(log.contains("SSL_set_cipher_list"));

  TlsServer refused(nullptr, "NO-SUCH-CIPHER");
  EXPECT_EQ(log.count(refused.transport->getLogPrefix() +
                          "SSL_set_cipher_list returned 0, which means no cipher was selected!",
                      log4cplus::WARN_LOG_LEVEL),
            1u);
}

}  // namespace
}  // namespace quorvel::transport
