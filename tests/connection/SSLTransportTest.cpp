#include "common/transport/SSLTransport.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "ConnectionTestSupport.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::Client;
using quorvel::testing::IoThread;
using quorvel::testing::kDeadline;
using quorvel::testing::LogCapture;
using quorvel::testing::LoopbackAcceptor;
using namespace std::chrono_literals;

struct StartReport {
  bool connected = false;
  boost::system::error_code error;
  std::vector<std::string> events;  // signals and callback, in the order they happened
  std::string closeReason;
};

StartReport outcome(std::future<StartReport>& future) {
  if (future.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "handshake never reported";
    return {};
  }
  return future.get();
}

struct Handshake {
  bool clientOk = false;
  StartReport server;
};

// One server-side TLS transport on its own I/O thread, accepted from a real client.
class TlsServer {
 public:
  explicit TlsServer(std::string cipherList = "")
      : context(quorvel::testing::makeServerContext()),
        transport(std::make_shared<SSLTransport>(io.context(), *context, boost::asio::ssl::stream_base::server,
                                                 nullptr, std::move(cipherList))),
        acceptor(io.context()) {
    transport->connectedSignal.connect([this] { events.push_back("connected"); });
    transport->closeSignal.connect([this](std::string reason) {
      events.push_back("close");
      closeReason = std::move(reason);
    });
  }
  ~TlsServer() {
    io.call([this] { transport->shutdown(); });
  }

  void accept(Client& client) {
    auto accepted = acceptor.acceptInto(transport->getSocket());
    ASSERT_FALSE(client.connect(acceptor.endpoint()));
    ASSERT_EQ(accepted.wait_for(kDeadline), std::future_status::ready);
    ASSERT_FALSE(accepted.get());
  }

  // Starts the handshake on the I/O thread; the future reports its outcome.
  std::future<StartReport> start() {
    auto done = std::make_shared<std::promise<StartReport>>();
    auto result = done->get_future();
    io.call([this, done] {
      transport->start(
          [this, done](bool connected, const boost::system::error_code& error) {
            events.push_back("callback");
            done->set_value({connected, error, events, closeReason});
          },
          "");
    });
    return result;
  }

  // Accepts a TLS client and runs both ends of the handshake.
  Handshake handshakeWith(Client& client) {
    accept(client);
    auto started = start();
    const bool clientOk = !client.handshake();
    return {clientOk, outcome(started)};
  }

  IoThread io;
  std::unique_ptr<boost::asio::ssl::context> context;
  std::shared_ptr<SSLTransport> transport;
  LoopbackAcceptor acceptor;
  std::vector<std::string> events;  // only touched on the I/O thread
  std::string closeReason;
};

TEST(SSLTransport, HandshakeWithARealClientThenDataBothWaysAndAnOrderlyShutdown) {
  LogCapture log;
  TlsServer server;
  auto clientContext = quorvel::testing::makeClientContext();
  Client client(clientContext.get());
  const auto [clientOk, report] = server.handshakeWith(client);
  ASSERT_TRUE(clientOk);
  EXPECT_TRUE(report.connected);
  EXPECT_FALSE(report.error);
  EXPECT_EQ(report.events, (std::vector<std::string>{"connected", "callback"}));
  EXPECT_TRUE(server.transport->isConnected());
  boost::asio::ip::tcp::no_delay noDelay;
  server.io.call([&] { server.transport->getSocket().get_option(noDelay); });
  EXPECT_TRUE(noDelay.value());

  ASSERT_FALSE(client.write("ping\n"));
  boost::asio::streambuf inbound;
  std::promise<std::size_t> line;
  auto lineResult = line.get_future();
  server.io.call([&] {
    server.transport->async_read_until(inbound, "\n", [&](const auto& error, std::size_t n) {
      line.set_value(error ? 0 : n);
    });
  });
  ASSERT_EQ(lineResult.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(lineResult.get(), 5u);

  // Shut down from the write's completion, as a connection closing after its last reply does.
  server.io.call([&] {
    auto transport = server.transport;
    transport->async_write(std::make_shared<utils::WriteBuffers>("pong\n", 0, IoCallback()),
                           [transport](const auto&, std::size_t) { transport->shutdown(); });
  });
  std::string received;
  // eof, not a truncated stream: the close notification arrived before the socket closed.
  EXPECT_EQ(client.readToEnd(received), boost::asio::error::eof);
  EXPECT_EQ(received, "pong\n");
  EXPECT_FALSE(log.contains("Got error"));
}

TEST(SSLTransport, PlainTextClientFailsItsHandshakeWithoutDisturbingOthers) {
  LogCapture log;
  TlsServer good;
  auto clientContext = quorvel::testing::makeClientContext();
  Client tlsClient(clientContext.get());
  const Handshake goodHandshake = good.handshakeWith(tlsClient);
  ASSERT_TRUE(goodHandshake.clientOk);
  ASSERT_TRUE(goodHandshake.server.connected);

  TlsServer bad;
  Client plain;
  bad.accept(plain);
  auto badStarted = bad.start();
  ASSERT_FALSE(plain.write("GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  const auto report = outcome(badStarted);
  EXPECT_FALSE(report.connected);
  EXPECT_EQ(report.events, (std::vector<std::string>{"close", "callback"}));
  EXPECT_EQ(report.closeReason, "SSLTransport: " + report.error.message());
  const std::string warn =
      bad.transport->getLogPrefix() + "SSLTransport::handle_handshake Error was: '" + report.error.message() + "'";
  EXPECT_EQ(log.count(warn, log4cplus::WARN_LOG_LEVEL), 1u) << warn;
  EXPECT_FALSE(bad.transport->isConnected());

  // The other connection carries on.
  std::promise<bool> echoed;
  auto echoedResult = echoed.get_future();
  boost::asio::streambuf inbound;
  good.io.call([&] {
    good.transport->async_read_until(inbound, "\n", [&](const auto& error, std::size_t) {
      // By value: the read's error is gone once its handler returns.
      const bool readOk = !error;
      good.transport->async_write(std::make_shared<utils::WriteBuffers>("still here\n", 0, IoCallback()),
                                  [&, readOk](const auto& writeError, std::size_t) {
                                    echoed.set_value(readOk && !writeError);
                                  });
    });
  });
  ASSERT_FALSE(tlsClient.write("hello?\n"));
  std::string reply;
  ASSERT_FALSE(tlsClient.read(11, reply));
  EXPECT_EQ(reply, "still here\n");
  ASSERT_EQ(echoedResult.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(echoedResult.get());
}

TEST(SSLTransport, PeerClosingDuringTheHandshakeIsAQuietClose) {
  LogCapture log;
  TlsServer server;
  Client client;
  server.accept(client);
  auto started = server.start();
  client.socket().close();
  const auto report = outcome(started);
  EXPECT_FALSE(report.connected);
  EXPECT_EQ(report.closeReason, "");
  EXPECT_FALSE(log.contains("", log4cplus::WARN_LOG_LEVEL));
}

TEST(SSLTransport, SilentClientIsClosedWhenTheHandshakeTimesOut) {
  LogCapture log;
  TlsServer server;
  server.transport->setHandshakeTimeout(150ms);
  Client client;
  server.accept(client);
  const auto begin = std::chrono::steady_clock::now();
  auto started = server.start();
  const auto report = outcome(started);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms);
  EXPECT_FALSE(report.connected);
  EXPECT_EQ(report.closeReason, "SSLTransport: handshake timed out");
  EXPECT_TRUE(log.contains("SSL handshake not completed within 150 ms", log4cplus::WARN_LOG_LEVEL));
  std::string nothing;
  EXPECT_EQ(client.readToEnd(nothing), boost::asio::error::eof);
  EXPECT_TRUE(nothing.empty());
}

TEST(SSLTransport, SecondStartDuringTheHandshakeOnlyReplacesTheCallback) {
  LogCapture log;
  TlsServer server;
  auto clientContext = quorvel::testing::makeClientContext();
  Client client(clientContext.get());
  server.accept(client);
  bool firstCalled = false;
  auto second = std::make_shared<std::promise<bool>>();
  auto secondResult = second->get_future();
  server.io.call([&] {
    server.transport->start([&](bool, const auto&) { firstCalled = true; }, "");
    server.transport->start([second](bool connected, const auto&) { second->set_value(connected); }, "");
  });
  ASSERT_FALSE(client.handshake());
  ASSERT_EQ(secondResult.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(secondResult.get());
  EXPECT_FALSE(server.io.call([&] { return firstCalled; }));
}

TEST(SSLTransport, RefusedCipherListIsReportedAndTheSessionKeepsGoing) {
  LogCapture log;
  TlsServer server("NO-SUCH-CIPHER");
  EXPECT_EQ(log.count(server.transport->getLogPrefix() +
                          "SSL_set_cipher_list returned 0, which means no cipher was selected!",
                      log4cplus::WARN_LOG_LEVEL),
            1u);
  TlsServer quiet("");
  EXPECT_EQ(log.count("SSL_set_cipher_list"), 1u);
}

struct CipherCase {
  const char* clientOffers;
  bool handshakeSucceeds;
};

class ConfiguredCipherList : public ::testing::TestWithParam<CipherCase> {};

TEST_P(ConfiguredCipherList, OnlySuitesFromTheListAreNegotiated) {
  LogCapture log;
  TlsServer server("ECDHE-ECDSA-AES128-GCM-SHA256");
  auto clientContext = quorvel::testing::makeClientContext(GetParam().clientOffers);
  Client client(clientContext.get());
  const auto [clientOk, report] = server.handshakeWith(client);
  EXPECT_EQ(clientOk, GetParam().handshakeSucceeds);
  EXPECT_EQ(report.connected, GetParam().handshakeSucceeds);
  if (!GetParam().handshakeSucceeds) {
    EXPECT_TRUE(log.contains("SSLTransport::handle_handshake Error was: '", log4cplus::WARN_LOG_LEVEL));
  }
}

INSTANTIATE_TEST_SUITE_P(Tls12, ConfiguredCipherList,
                         ::testing::Values(CipherCase{"ECDHE-ECDSA-AES128-GCM-SHA256", true},
                                           CipherCase{"ECDHE-ECDSA-AES256-GCM-SHA384", false},
                                           CipherCase{"ECDHE-ECDSA-CHACHA20-POLY1305", false}));

}  // namespace
}  // namespace quorvel::transport
