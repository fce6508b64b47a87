// Both ends over real loopback sockets: a TLS server transport, alone or
// wrapped in a connection, against a real client on the test thread.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "common/connection/AsyncConnection.h"
#include "common/transport/SSLTransport.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::await;
using quorvel::testing::Client;
using quorvel::testing::LogCapture;
using quorvel::testing::makeClientContext;
using utils::ByteBuffer;
using utils::WriteBuffers;
using Completion = std::pair<boost::system::error_code, std::size_t>;
using namespace std::chrono_literals;

struct StartReport {
  bool connected = false;
  boost::system::error_code error;
  std::vector<std::string> events;  // signals and callback, in the order they happened
  std::string closeReason;
};

// A server-side TLS transport on its own I/O thread, connected to a client
// that speaks TLS when given a context and plain TCP otherwise.
class TlsServer {
 public:
  explicit TlsServer(std::unique_ptr<boost::asio::ssl::context> clientTls, std::string cipherList = "")
      : context(quorvel::testing::makeServerContext()),
        clientContext(std::move(clientTls)),
        client(clientContext.get()),
        transport(std::make_shared<SSLTransport>(io.context(), *context, boost::asio::ssl::stream_base::server,
                                                 nullptr, std::move(cipherList))) {
    transport->connectedSignal.connect([this] { events.push_back("connected"); });
    transport->closeSignal.connect([this](std::string reason) {
      events.push_back("close");
      closeReason = std::move(reason);
    });
    EXPECT_FALSE(quorvel::testing::connectLoopback(io, transport->getSocket(), client));
  }
  ~TlsServer() {
    io.call([this] { transport->shutdown(); });
  }

  // Starts the handshake on the I/O thread; the future reports its outcome.
  std::future<StartReport> start() {
    auto done = std::make_shared<std::promise<StartReport>>();
    io.call([this, done] {
      transport->start(
          [this, done](bool connected, const boost::system::error_code& error) {
            events.push_back("callback");
            done->set_value({connected, error, events, closeReason});
          },
          "");
    });
    return done->get_future();
  }

  // Reads one line and answers it with `reply`; the future tells whether both went well.
  std::future<bool> echoLine(std::string reply, bool shutdownAfter = false) {
    auto done = std::make_shared<std::promise<bool>>();
    io.call([&] {
      transport->async_read_until(inbound, "\n", [=, t = transport](const auto& error, std::size_t) {
        const bool readOk = !error;  // by value: the error is gone once this handler returns
        t->async_write(std::make_shared<WriteBuffers>(reply, 0, IoCallback()), [=](const auto& writeError, auto) {
          if (shutdownAfter) {
            t->shutdown();
          }
          done->set_value(readOk && !writeError);
        });
      });
    });
    return done->get_future();
  }

  quorvel::testing::IoThread io;
  std::unique_ptr<boost::asio::ssl::context> context, clientContext;
  Client client;
  std::shared_ptr<SSLTransport> transport;
  boost::asio::streambuf inbound;
  std::vector<std::string> events;  // only touched on the I/O thread
  std::string closeReason;
};

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

// Wraps the server's transport in a started connection, as the listener does.
std::shared_ptr<AsyncConnection> startConnection(TlsServer& server) {
  auto connection = std::make_shared<AsyncConnection>(std::shared_ptr<Transport>(server.transport));
  connection->connectSignals();
  connection->initClientInfo();
  auto started = std::make_shared<std::promise<bool>>();
  connection->postStartTransport([started](bool up, const auto&) { started->set_value(up); });
  EXPECT_FALSE(server.client.handshake());
  EXPECT_TRUE(await(started->get_future()));
  EXPECT_EQ(connection->getClientIP(), "127.0.0.1");
  return connection;
}

TEST(AsyncConnectionOverTls, WritesFromManyThreadsArriveWholeAndInIssueOrder) {
  constexpr int kWriters = 8;
  constexpr int kPerWriter = 50;
  LogCapture log(log4cplus::WARN_LOG_LEVEL);
  TlsServer tls(makeClientContext());
  auto connection = startConnection(tls);

  std::size_t total = 0;
  std::vector<std::vector<std::string>> plan(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    for (int s = 0; s < kPerWriter; ++s) {
      // Every few messages one larger than a single TLS record write; the header makes each one distinct.
      const std::size_t length = s % 25 == 7 ? 70000 : 1 + (s * 37 + w * 11) % 1500;
      plan[w].push_back(std::to_string(w) + ':' + std::to_string(s) + '\n' + std::string(length, char('a' + w)));
      total += plan[w].back().size();
    }
  }

  std::mutex completedMutex;
  std::vector<std::pair<int, int>> completedOrder;
  std::size_t completionFaults = 0;
  std::promise<void> allCompleted;
  std::latch go(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      go.arrive_and_wait();
      for (int s = 0; s < kPerWriter; ++s) {
        const std::string& bytes = plan[w][s];
        IoCallback done = [&, w, s](const boost::system::error_code& error, std::size_t sent) {
          std::lock_guard<std::mutex> lock(completedMutex);
          completionFaults += error || sent != plan[w][s].size();
          completedOrder.emplace_back(w, s);
          if (completedOrder.size() == kWriters * kPerWriter) {
            allCompleted.set_value();
          }
        };
        if (s % 2 == 0) {
          connection->async_write(bytes, 0, done);
        } else {
          auto buffer = std::make_shared<utils::ByteBuffer>(bytes.begin(), bytes.end());
          connection->async_write(buffer, buffer->size(), 0, done);
        }
      }
    });
  }
  std::string wire;
  const auto readError = tls.client.read(total, wire);
  for (auto& writer : writers) {
    writer.join();
  }
  ASSERT_FALSE(readError) << readError.message();
  await(allCompleted.get_future());

  // The callbacks ran in exactly the order the bytes went out, each writer's in its own order.
  std::lock_guard<std::mutex> lock(completedMutex);
  std::string expected;
  std::vector<int> nextSequence(kWriters, 0);
  for (const auto& [writer, sequence] : completedOrder) {
    EXPECT_EQ(sequence, nextSequence[writer]++) << "writer " << writer;
    expected += plan[writer][sequence];
  }
  EXPECT_TRUE(wire == expected) << "the bytes on the wire are not the completed writes in order";
  EXPECT_EQ(completionFaults, 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST(AsyncConnectionOverTls, CloseWithAReadWaitingAndAWriteStalledAbortsEveryWaitingWriteInOrder) {
  // The TLS shutdown then shares the stream with a pending read and a stalled
  // write; repeated because the order in which they unwind varies.
  for (int round = 0; round < 4; ++round) {
    LogCapture log(log4cplus::WARN_LOG_LEVEL);
    TlsServer tls(makeClientContext());
    auto connection = startConnection(tls);
    // Small buffers and a peer that does not read keep the first write on the wire.
    tls.client.socket().set_option(boost::asio::socket_base::receive_buffer_size(4096));
    auto read = std::make_shared<std::promise<boost::system::error_code>>();
    auto inbound = std::make_shared<boost::asio::streambuf>();
    tls.io.call([&] {
      tls.transport->getSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
      connection->async_read_some(*inbound, [read, inbound, connection](const auto& error, std::size_t) {
        connection->clearReadPending();
        read->set_value(error);
      });
    });

    constexpr int kWrites = 6;
    std::vector<std::pair<int, boost::system::error_code>> done;  // I/O thread only until allDone
    std::promise<void> allDone;
    for (int i = 0; i < kWrites; ++i) {
      connection->async_write(std::string(i == 0 ? 4 * 1024 * 1024 : 1000, 'x'), 0, [&, i](const auto& error, auto) {
        done.emplace_back(i, error);
        if (done.size() == kWrites) {
          allDone.set_value();
        }
      });
    }
    connection->postClose("bye");

    await(allDone.get_future());
    for (int i = 0; i < kWrites; ++i) {
      EXPECT_EQ(done[i].first, i) << "round " << round;
      EXPECT_TRUE(done[i].second) << "write " << i;
      EXPECT_TRUE(i == 0 || done[i].second == boost::asio::error::operation_aborted) << "write " << i;
    }
    EXPECT_TRUE(await(read->get_future()));

    auto after = std::make_shared<std::promise<Completion>>();
    connection->async_write(std::string("after"), 0, [after](auto error, auto n) { after->set_value({error, n}); });
    EXPECT_EQ(await(after->get_future()), Completion(boost::asio::error::operation_aborted, 0));
    std::string rest;
    EXPECT_NE(tls.client.readToEnd(rest), boost::asio::error::timed_out);
    EXPECT_EQ(connection->getCloseReason(), "bye");
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().message;
  }
}

}  // namespace
}  // namespace quorvel::transport
