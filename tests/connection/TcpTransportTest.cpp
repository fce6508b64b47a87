#include "common/transport/TcpTransport.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "ConnectionTestSupport.h"
#include "common/authentication/AuthInfo.h"
#include "common/utils/WriteBuffers.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::Client;
using quorvel::testing::IoThread;
using quorvel::testing::kDeadline;
using quorvel::testing::LoopbackAcceptor;
using utils::ByteBuffer;
using utils::WriteBuffers;

struct Completion {
  boost::system::error_code error;
  std::size_t bytes = 0;
};

// Hands a callback to an operation and waits for its completion.
template <typename Start>
Completion await(Start start) {
  auto done = std::make_shared<std::promise<Completion>>();
  auto result = done->get_future();
  start([done](const boost::system::error_code& error, std::size_t bytes) { done->set_value({error, bytes}); });
  if (result.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "operation did not complete";
    return {boost::asio::error::timed_out, 0};
  }
  return result.get();
}

class TcpTransportLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    transport = std::make_shared<TcpTransport>(io.context(), nullptr);
    LoopbackAcceptor acceptor(io.context());
    auto accepted = acceptor.acceptInto(transport->getSocket());
    ASSERT_FALSE(client.connect(acceptor.endpoint()));
    ASSERT_EQ(accepted.wait_for(kDeadline), std::future_status::ready);
    ASSERT_FALSE(accepted.get());
  }
  void TearDown() override {
    io.call([this] { transport->shutdown(); });
  }

  IoThread io;
  Client client;
  std::shared_ptr<TcpTransport> transport;
};

TEST(TcpTransport, NamesItsIdentityUnlessOneIsGiven) {
  boost::asio::io_service io;
  auto first = std::make_shared<TcpTransport>(io, nullptr);
  auto second = std::make_shared<TcpTransport>(io, nullptr);
  EXPECT_EQ(second->getId(), first->getId() + 1);
  EXPECT_EQ(first->getLogPrefix(), "[tid:" + std::to_string(first->getId()) + "]  ");

  auto given = std::make_shared<authentication::AuthInfo>();
  given->setConnectionId("cid:77");
  auto third = std::make_shared<TcpTransport>(io, given);
  EXPECT_EQ(third->getAuthInfo(), given);
  EXPECT_EQ(third->getLogPrefix(), "[cid:77]  ");
}

TEST(TcpTransport, StartReportsBeforeSignallingAndShutdownOfAnUnopenedSocketIsQuiet) {
  quorvel::testing::LogCapture log;
  boost::asio::io_service io;
  auto transport = std::make_shared<TcpTransport>(io, nullptr);
  std::vector<std::string> events;
  transport->connectedSignal.connect([&] { events.push_back("signal"); });
  transport->start(
      [&](bool connected, const boost::system::error_code& error) {
        events.push_back(connected && !error ? "up" : "failed");
      },
      "ignored.example");
  EXPECT_EQ(events, (std::vector<std::string>{"up", "signal"}));
  EXPECT_TRUE(transport->isConnected());

  transport->start(nullptr, "");
  EXPECT_EQ(events.size(), 3u);

  transport->shutdown();
  EXPECT_FALSE(transport->isConnected());
  EXPECT_FALSE(log.contains("Got error"));
}

struct WriteCase {
  const char* name;
  std::shared_ptr<WriteBuffers> record;
  bool refused;
  std::string sent;
};

TEST_F(TcpTransportLoopback, WritesExactlyThePayloadRangeAndRefusesRangesBeyondTheData) {
  auto bytes = std::make_shared<ByteBuffer>(ByteBuffer{'0', '1', '2', '3', '4', '5'});
  const std::vector<WriteCase> cases = {
      {"text from offset", std::make_shared<WriteBuffers>("abcdef", 2, IoCallback()), false, "cdef"},
      {"text fully consumed", std::make_shared<WriteBuffers>("abcdef", 6, IoCallback()), false, ""},
      {"text offset past end", std::make_shared<WriteBuffers>("abcdef", 7, IoCallback()), true, ""},
      {"buffer prefix from offset", std::make_shared<WriteBuffers>(bytes, 4, 1, IoCallback()), false, "123"},
      {"buffer length past end", std::make_shared<WriteBuffers>(bytes, 7, 0, IoCallback()), true, ""},
      {"buffer offset past length", std::make_shared<WriteBuffers>(bytes, 4, 5, IoCallback()), true, ""},
      {"no buffer at all", std::make_shared<WriteBuffers>(utils::ByteBufferPtr(), 3, 0, IoCallback()), true, ""},
  };
  std::string expected;
  for (const auto& c : cases) {
    const auto done = await([&](IoCallback callback) {
      io.call([&] { transport->async_write(c.record, callback); });
    });
    if (c.refused) {
      EXPECT_EQ(done.error, boost::asio::error::invalid_argument) << c.name;
      EXPECT_EQ(done.bytes, 0u) << c.name;
    } else {
      EXPECT_FALSE(done.error) << c.name;
      EXPECT_EQ(done.bytes, c.sent.size()) << c.name;
      expected += c.sent;
    }
  }
  // An empty callback is allowed and simply not called.
  io.call([&] { transport->async_write(std::make_shared<WriteBuffers>("|", 0, IoCallback()), IoCallback()); });
  expected += "|";

  std::string received;
  ASSERT_FALSE(client.read(expected.size(), received));
  EXPECT_EQ(received, expected);
}

TEST_F(TcpTransportLoopback, ReadsLargerThanOneStepCompleteOnceAndMatchConditionsStopAtTheirMatch) {
  const std::string big(200000, 'x');
  boost::asio::streambuf buffer;
  int completions = 0;
  const auto exact = await([&](IoCallback callback) {
    io.call([&] {
      transport->async_read(buffer, big.size(), [&completions, callback](const auto& error, std::size_t n) {
        ++completions;
        callback(error, n);
      });
    });
    ASSERT_FALSE(client.write(big + "head;tail;"));
  });
  EXPECT_FALSE(exact.error);
  EXPECT_EQ(exact.bytes, big.size());
  EXPECT_EQ(completions, 1);
  buffer.consume(big.size());

  MatchCondition semicolon = [](MatchIterator begin, MatchIterator end) {
    for (auto it = begin; it != end; ++it) {
      if (*it == ';') {
        return std::make_pair(it + 1, true);
      }
    }
    return std::make_pair(end, false);
  };
  const auto until = await([&](IoCallback callback) {
    io.call([&] { transport->async_read_until(buffer, semicolon, callback); });
  });
  EXPECT_FALSE(until.error);
  EXPECT_EQ(until.bytes, 5u);
}

TEST_F(TcpTransportLoopback, ShutdownEndsTheStreamAndPendingReadsAreReported) {
  boost::asio::streambuf buffer;
  auto pending = std::make_shared<std::promise<boost::system::error_code>>();
  auto result = pending->get_future();
  io.call([&] {
    transport->async_read_some(buffer, [pending](const auto& error, std::size_t) { pending->set_value(error); });
    transport->cancel();
  });
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get(), boost::asio::error::operation_aborted);

  io.call([&] { transport->shutdown(); });
  EXPECT_FALSE(transport->isConnected());
  std::string rest;
  EXPECT_EQ(client.readToEnd(rest), boost::asio::error::eof);
}

}  // namespace
}  // namespace quorvel::transport
