// The connection over real loopback sockets: TLS round trips, writes from
// many threads at once, and what a close does to writes still waiting.
#include "common/connection/AsyncConnection.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "common/transport/SSLTransport.h"
#include "common/transport/TcpTransport.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::Client;
using quorvel::testing::IoThread;
using quorvel::testing::kDeadline;
using quorvel::testing::LogCapture;
using quorvel::testing::LoopbackAcceptor;

template <typename T>
T ready(std::future<T>& future) {
  if (future.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "timed out";
    std::abort();  // handlers still referencing this frame cannot be unwound safely
  }
  return future.get();
}

// A TLS connection as the listener sets it up: accepted, identified, started.
struct TlsConnection {
  TlsConnection()
      : serverContext(quorvel::testing::makeServerContext()),
        clientContext(quorvel::testing::makeClientContext()),
        client(clientContext.get()) {
    auto transport = std::make_shared<SSLTransport>(io.context(), *serverContext, 1, nullptr, "");
    LoopbackAcceptor acceptor(io.context());
    auto accepted = acceptor.acceptInto(transport->getSocket());
    EXPECT_FALSE(client.connect(acceptor.endpoint()));
    EXPECT_FALSE(ready(accepted));
    connection = std::make_shared<AsyncConnection>(std::move(transport));
    connection->connectSignals();
    connection->initClientInfo();
    auto started = std::make_shared<std::promise<bool>>();
    auto startedResult = started->get_future();
    connection->postStartTransport([started](bool up, const boost::system::error_code&) { started->set_value(up); });
    EXPECT_FALSE(client.handshake());
    EXPECT_TRUE(ready(startedResult));
  }
  ~TlsConnection() {
    connection->postClose("test over");
    io.call([] {});
  }

  IoThread io;
  std::unique_ptr<boost::asio::ssl::context> serverContext;
  std::unique_ptr<boost::asio::ssl::context> clientContext;
  Client client;
  std::shared_ptr<AsyncConnection> connection;
};

TEST(AsyncConnectionLoopback, TlsRoundTripThenCloseWithAReason) {
  LogCapture log;
  TlsConnection tls;
  EXPECT_TRUE(tls.connection->isConnected());
  EXPECT_EQ(tls.connection->getClientIP(), "127.0.0.1");

  boost::asio::streambuf request;
  auto replied = std::make_shared<std::promise<std::string>>();
  auto repliedResult = replied->get_future();
  auto connection = tls.connection;
  tls.io.call([&] {
    connection->async_read_until(request, "\n", [&, connection, replied](const auto& error, std::size_t n) {
      connection->clearReadPending();
      std::string line = error ? "" : connection->streambufToString(request).substr(0, n);
      connection->async_write("pong:" + line, 0, [connection, replied, line](const auto&, std::size_t) {
        connection->close("finished");
        replied->set_value(line);
      });
    });
  });
  ASSERT_FALSE(tls.client.write("ping\n"));
  EXPECT_EQ(ready(repliedResult), "ping\n");
  std::string received;
  EXPECT_EQ(tls.client.readToEnd(received), boost::asio::error::eof);
  EXPECT_EQ(received, "pong:ping\n");
  EXPECT_EQ(tls.connection->getCloseReason(), "finished");
}

struct Message {
  int writer;
  int sequence;
  std::string bytes;
};

Message makeMessage(int writer, int sequence) {
  // Every few messages one larger than a single transfer step.
  const std::size_t length = sequence % 25 == 7 ? 70000 : 1 + (sequence * 37 + writer * 11) % 1500;
  std::ostringstream header;
  header << writer << ':' << sequence << ':' << length << '\n';
  return {writer, sequence, header.str() + std::string(length, static_cast<char>('a' + writer))};
}

TEST(AsyncConnectionLoopback, WritesFromManyThreadsArriveWholeAndInIssueOrder) {
  constexpr int kWriters = 8;
  constexpr int kPerWriter = 50;
  LogCapture log(log4cplus::WARN_LOG_LEVEL);
  TlsConnection tls;

  std::size_t total = 0;
  std::vector<std::vector<Message>> plan(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    for (int s = 0; s < kPerWriter; ++s) {
      plan[w].push_back(makeMessage(w, s));
      total += plan[w].back().bytes.size();
    }
  }

  std::mutex completedMutex;
  std::vector<std::pair<int, int>> completedOrder;
  std::vector<std::string> completionFaults;
  std::promise<void> allCompleted;
  auto allCompletedResult = allCompleted.get_future();
  std::latch go(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      go.arrive_and_wait();
      for (const Message& m : plan[w]) {
        IoCallback done = [&, m = &m](const boost::system::error_code& error, std::size_t bytes) {
          std::lock_guard<std::mutex> lock(completedMutex);
          if (error || bytes != m->bytes.size()) {
            completionFaults.push_back(std::to_string(m->writer) + ":" + std::to_string(m->sequence));
          }
          completedOrder.emplace_back(m->writer, m->sequence);
          if (completedOrder.size() == kWriters * kPerWriter) {
            allCompleted.set_value();
          }
        };
        if (m.sequence % 2 == 0) {
          tls.connection->async_write(m.bytes, 0, done);
        } else {
          auto buffer = std::make_shared<utils::ByteBuffer>(m.bytes.begin(), m.bytes.end());
          tls.connection->async_write(buffer, buffer->size(), 0, done);
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
  ASSERT_EQ(allCompletedResult.wait_for(kDeadline), std::future_status::ready);

  // Parse the wire: every message whole, each writer's in its own order, and
  // the callbacks in exactly the order the bytes went out.
  std::vector<std::pair<int, int>> wireOrder;
  std::vector<int> nextSequence(kWriters, 0);
  std::size_t pos = 0;
  while (pos < wire.size()) {
    const auto newline = wire.find('\n', pos);
    ASSERT_NE(newline, std::string::npos);
    int writer = -1, sequence = -1;
    std::size_t length = 0;
    ASSERT_EQ(std::sscanf(wire.c_str() + pos, "%d:%d:%zu", &writer, &sequence, &length), 3) << "at " << pos;
    ASSERT_TRUE(writer >= 0 && writer < kWriters);
    const Message& expected = plan[writer][sequence];
    ASSERT_EQ(wire.compare(pos, expected.bytes.size(), expected.bytes), 0) << writer << ":" << sequence;
    EXPECT_EQ(sequence, nextSequence[writer]++) << "writer " << writer;
    wireOrder.emplace_back(writer, sequence);
    pos += expected.bytes.size();
  }
  EXPECT_EQ(wireOrder.size(), static_cast<std::size_t>(kWriters * kPerWriter));
  std::lock_guard<std::mutex> lock(completedMutex);
  EXPECT_EQ(completedOrder, wireOrder);
  EXPECT_TRUE(completionFaults.empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST(AsyncConnectionLoopback, CloseAbortsEveryWaitingWriteInIssueOrder) {
  LogCapture log;
  IoThread io;
  auto transport = std::make_shared<TcpTransport>(io.context(), nullptr);
  LoopbackAcceptor acceptor(io.context());
  Client client;
  auto accepted = acceptor.acceptInto(transport->getSocket());
  ASSERT_FALSE(client.connect(acceptor.endpoint()));
  ASSERT_FALSE(ready(accepted));
  // Small buffers and a peer that never reads keep the first write in flight.
  client.socket().set_option(boost::asio::socket_base::receive_buffer_size(4096));
  io.call([&] { transport->getSocket().set_option(boost::asio::socket_base::send_buffer_size(4096)); });
  auto connection = std::make_shared<AsyncConnection>(std::move(transport));
  connection->connectSignals();
  connection->postStartTransport(WhileConnectionCallback());

  constexpr int kWaiting = 5;
  std::vector<boost::system::error_code> results(kWaiting + 1);
  std::vector<int> order;
  std::promise<void> allDone;
  auto allDoneResult = allDone.get_future();
  auto note = [&](int index) {
    return [&, index](const boost::system::error_code& error, std::size_t) {
      results[index] = error;
      order.push_back(index);
      if (order.size() == results.size()) {
        allDone.set_value();
      }
    };
  };
  connection->async_write(std::string(2 * 1024 * 1024, 'x'), 0, note(0));
  for (int i = 1; i <= kWaiting; ++i) {
    connection->async_write(std::string(10, 'y'), 0, note(i));
  }
  connection->postClose("bye");
  ASSERT_EQ(allDoneResult.wait_for(kDeadline), std::future_status::ready);

  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_TRUE(results[0]);
  for (int i = 1; i <= kWaiting; ++i) {
    EXPECT_EQ(results[i], boost::asio::error::operation_aborted) << i;
  }
  auto after = std::make_shared<std::promise<std::pair<boost::system::error_code, std::size_t>>>();
  auto afterResult = after->get_future();
  connection->async_write(std::string("after"), 0,
                          [after](const auto& error, std::size_t n) { after->set_value({error, n}); });
  const auto late = ready(afterResult);
  EXPECT_EQ(late.first, boost::asio::error::operation_aborted);
  EXPECT_EQ(late.second, 0u);
  EXPECT_EQ(connection->getCloseReason(), "bye");
  EXPECT_FALSE(log.contains("", log4cplus::WARN_LOG_LEVEL));
}

TEST(AsyncConnectionLoopback, TlsCloseWithAReadWaitingAndAWriteStalledEndsEverything) {
  // The TLS shutdown then shares the stream with a pending read and a stalled
  // write; repeated because the order in which they unwind varies.
  for (int round = 0; round < 4; ++round) {
    LogCapture log(log4cplus::WARN_LOG_LEVEL);
    TlsConnection tls;
    auto connection = tls.connection;
    tls.client.socket().set_option(boost::asio::socket_base::receive_buffer_size(4096));
    tls.io.call([&] {
      std::static_pointer_cast<SSLTransport>(connection->getTransport())
          ->getSocket()
          .set_option(boost::asio::socket_base::send_buffer_size(4096));
    });

    auto readDone = std::make_shared<std::promise<boost::system::error_code>>();
    auto readResult = readDone->get_future();
    auto inbound = std::make_shared<boost::asio::streambuf>();
    tls.io.call([&] {
      connection->async_read_some(*inbound, [readDone, inbound, connection](const auto& error, std::size_t) {
        connection->clearReadPending();
        readDone->set_value(error);
      });
    });

    constexpr int kWrites = 6;
    std::vector<std::promise<boost::system::error_code>> results(kWrites);
    auto issue = [&](int i, std::size_t size) {
      connection->async_write(std::string(size, 'x'), 0,
                              [&results, i](const auto& error, std::size_t) { results[i].set_value(error); });
    };
    // A peer that does not read keeps this one on the wire.
    issue(0, 4 * 1024 * 1024);
    tls.io.call([] {});
    std::vector<std::thread> writers;
    for (int i = 1; i < kWrites; ++i) {
      writers.emplace_back([&, i] { issue(i, 1000); });
    }
    for (auto& writer : writers) {
      writer.join();
    }
    connection->postClose("bye");

    for (int i = 0; i < kWrites; ++i) {
      auto result = results[i].get_future();
      ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready) << "write " << i << " round " << round;
      const auto error = result.get();
      EXPECT_TRUE(error) << "write " << i;
      if (i > 0) {
        EXPECT_EQ(error, boost::asio::error::operation_aborted) << "write " << i;
      }
    }
    ASSERT_EQ(readResult.wait_for(kDeadline), std::future_status::ready) << "round " << round;
    EXPECT_TRUE(readResult.get());
    std::string rest;
    EXPECT_NE(tls.client.readToEnd(rest), boost::asio::error::timed_out);
    EXPECT_EQ(connection->getCloseReason(), "bye");
    EXPECT_TRUE(log.lines().empty()) << log.lines().front().message;
  }
}

class ClientAddress : public ::testing::TestWithParam<bool> {};

TEST_P(ClientAddress, IsTakenFromTheAcceptedSocket) {
  const bool ipv6 = GetParam();
  IoThread io;
  std::unique_ptr<LoopbackAcceptor> acceptor;
  try {
    acceptor = std::make_unique<LoopbackAcceptor>(io.context(), ipv6);
  } catch (const boost::system::system_error&) {
    GTEST_SKIP() << "no loopback for this address family";
  }
  auto transport = std::make_shared<TcpTransport>(io.context(), nullptr);
  Client client;
  auto accepted = acceptor->acceptInto(transport->getSocket());
  ASSERT_FALSE(client.connect(acceptor->endpoint()));
  ASSERT_FALSE(ready(accepted));
  auto connection = std::make_shared<AsyncConnection>(std::move(transport));
  connection->initClientInfo();
  EXPECT_EQ(connection->getClientIP(), ipv6 ? "::1" : "127.0.0.1");
  EXPECT_EQ(connection->getClientPort(), client.socket().local_endpoint().port());

  connection->replaceClientIP("203.0.113.9");
  EXPECT_EQ(connection->getClientIP(), "203.0.113.9");
  EXPECT_EQ(connection->getClientPort(), 0);
  io.call([&] { connection->close("done"); });
}

INSTANTIATE_TEST_SUITE_P(Loopback, ClientAddress, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

TEST(AsyncConnectionLoopback, UnknownClientAddressIsReportedAndLeftEmpty) {
  LogCapture log;
  boost::asio::io_service io;
  auto connection = std::make_shared<AsyncConnection>(std::make_shared<TcpTransport>(io, nullptr));
  connection->initClientInfo();
  EXPECT_EQ(connection->getClientIP(), "");
  EXPECT_EQ(connection->getClientPort(), 0);
  EXPECT_EQ(log.count(connection->getLogPrefix() +
                          " Exception while getting remote ip caught. Therefore no client ip will be visible. Error "
                          "was: '",
                      log4cplus::WARN_LOG_LEVEL),
            1u);
  EXPECT_EQ(log.count(connection->getLogPrefix() +
                          " Exception while getting remote port caught. Therefore no client ip will be visible. "
                          "Error was: ",
                      log4cplus::WARN_LOG_LEVEL),
            1u);
}

}  // namespace
}  // namespace quorvel::transport
