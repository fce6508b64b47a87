// Write queue and close behaviour, driven deterministically: the
// test thread is the connection's only I/O thread and completes the
// transport's operations itself.
#include "common/connection/AsyncConnection.h"
#include "common/connection/AsyncConnectionUdp.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <deque>
#include <latch>
#include <mutex>
#include <thread>
#include <stdexcept>
#include <vector>

#include "support/LogCapture.h"
#include "transport/TlsTestSupport.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::LogCapture;
using utils::WriteBuffers;

class FakeTransport : public Transport {
 public:
  explicit FakeTransport(boost::asio::io_service& io) : Transport(io, nullptr) {}

  void start(WhileConnectionCallback callback, const std::string&) override {
    callback(true, {});
    connectedSignal();
  }
  void cancel() override {}
  void shutdown() override { ++shutdowns; }
  void async_write(const std::shared_ptr<WriteBuffers>& buffers, IoCallback callback) override {
    std::string sent;
    for (const auto& piece : buffers->sequence()) sent.append(static_cast<const char*>(piece.data()), piece.size());
    events.push_back("sent " + sent);
    writes.push_back(std::move(callback));
  }
  void async_read(boost::asio::streambuf&, std::size_t, IoCallback) override {}
  void async_read(boost::asio::mutable_buffers_1, std::size_t, IoCallback) override {}
  void async_read_some(boost::asio::mutable_buffers_1, IoCallback) override {}
  void async_read_some(boost::asio::streambuf&, IoCallback) override {}
  void async_read_until(boost::asio::streambuf&, const std::string&, IoCallback) override {}
  void async_read_until(boost::asio::streambuf&, MatchCondition, IoCallback) override {}

  void completeWrite(const boost::system::error_code& error, std::size_t bytes) {
    ASSERT_FALSE(writes.empty());
    IoCallback callback = std::move(writes.front());
    writes.pop_front();
    // Completions run inside the I/O context, as a real transport's do.
    boost::asio::post(getIOService(), [callback, error, bytes] { callback(error, bytes); });
    getIOService().restart();
    getIOService().poll();
  }

  std::vector<std::string> events;  // sends, and the fixture's callbacks
  std::deque<IoCallback> writes;
  int shutdowns = 0;
};

class AsyncConnectionQueue : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  void fresh() {
    closeSignals.clear();
    transport = std::make_shared<FakeTransport>(io);
    connection = std::make_shared<AsyncConnection>(std::shared_ptr<Transport>(transport));
    connection->connectSignals();
    connection->closeSignal.connect([this](std::string reason) { closeSignals.push_back(reason); });
  }
  IoCallback record(const std::string& name) {
    return [events = &transport->events, name](const boost::system::error_code& error, std::size_t bytes) {
      events->push_back("done " + name + " " + std::to_string(error.value()) + "/" + std::to_string(bytes));
    };
  }
  void settle() {
    io.restart();
    io.poll();
  }

  LogCapture log;
  boost::asio::io_service io;
  std::vector<std::string> closeSignals;
  std::shared_ptr<FakeTransport> transport;
  std::shared_ptr<AsyncConnection> connection;
};

const std::string kAborted = std::to_string(boost::asio::error::operation_aborted);

TEST_F(AsyncConnectionQueue, OneWriteInFlightAndCallbacksInIssueOrderRefusedOnesInTurn) {
  auto bytes = std::make_shared<utils::ByteBuffer>(utils::ByteBuffer{'b', 'e', 't', 'a', '!'});
  connection->async_write(bytes, 4, 0, record("b"));
  connection->async_write(std::string("short"), 6, record("refused"));
  connection->async_write(bytes, 6, 0, record("refused too"));
  connection->async_write(std::string("xxgamma"), 2, record("c"));
  connection->async_write(bytes, 4, 5, record("refused 3"));
  connection->async_write(utils::ByteBufferPtr(), 3, 0, record("refused 4"));
  settle();
  EXPECT_TRUE(connection->isWriting());
  transport->completeWrite({}, 4);
  ASSERT_EQ(transport->writes.size(), 1u);
  transport->completeWrite({}, 5);
  std::string refused(" ");
  refused.append(std::to_string(boost::asio::error::invalid_argument)).append("/0");
  EXPECT_EQ(transport->events, (std::vector<std::string>{"sent beta", "done b 0/4", "done refused" + refused,
                                                         "done refused too" + refused, "sent gamma", "done c 0/5",
                                                         "done refused 3" + refused, "done refused 4" + refused}));
  EXPECT_FALSE(connection->isWriting());
}

TEST_F(AsyncConnectionQueue, FailedWriteAbortsEveryQueuedWriteThenClosesOnce) {
  const boost::system::error_code refused = boost::asio::error::connection_refused;
  const struct {
    boost::system::error_code error;
    std::string logLine;  // after the connection's log prefix
    int level;
  } cases[] = {
      {refused, "AsyncConnection::writeHandler Error was: '" + refused.message() + "'", log4cplus::WARN_LOG_LEVEL},
      {boost::asio::error::connection_reset, "Connection closed gracefully( AsyncConnection::writeHandler ).",
       log4cplus::DEBUG_LOG_LEVEL},
  };
  for (const auto& c : cases) {
    fresh();
    log.clear();
    connection->async_write(std::string("one"), 0, record("1"));
    connection->async_write(std::string("two"), 0, record("2"));
    connection->async_write(std::string("three"), 0, IoCallback());
    settle();
    transport->completeWrite(c.error, 2);
    EXPECT_EQ(transport->events,
              (std::vector<std::string>{"sent one", "done 1 " + kAborted + "/2", "done 2 " + kAborted + "/2"}));
    EXPECT_FALSE(connection->isWriting());
    EXPECT_EQ(closeSignals, std::vector<std::string>{c.error.message()});
    EXPECT_EQ(log.count(connection->getLogPrefix() + c.logLine, c.level), 1u) << c.logLine;
    settle();
    EXPECT_EQ(connection->getCloseReason(), c.error.message());
    EXPECT_EQ(transport->shutdowns, 1);
    EXPECT_TRUE(transport->writes.empty());
  }
}

TEST_F(AsyncConnectionQueue, CallbackThatClosesWritesAndThrowsKeepsTheRestOffTheTransport) {
  connection->async_write(std::string("first"), 0, [this](const boost::system::error_code&, std::size_t) {
    transport->events.push_back("closing");
    connection->close("done with it");
    // Issued after the close, yet still completed after the writes queued before it.
    connection->async_write(std::string("late"), 0, record("late"));
    throw std::runtime_error("exploded");
  });
  connection->async_write(std::string("second"), 0, record("2"));
  settle();
  transport->completeWrite({}, 5);
  EXPECT_EQ(transport->events, (std::vector<std::string>{"sent first", "closing", "done 2 " + kAborted + "/0",
                                                         "done late " + kAborted + "/0"}));
  EXPECT_TRUE(log.contains("exploded", log4cplus::ERROR_LOG_LEVEL));
  EXPECT_FALSE(connection->isWriting());

  transport->events.clear();
  connection->async_write(std::string("after"), 0, record("after"));
  connection->async_write(std::string("quiet"), 0, IoCallback());
  settle();
  EXPECT_EQ(transport->events, std::vector<std::string>{"done after " + kAborted + "/0"});
  EXPECT_TRUE(transport->writes.empty());
  EXPECT_EQ(connection->getCloseReason(), "done with it");
}

// Only what was queued before the close shares the failed write's count: nothing of a later write went out.
TEST_F(AsyncConnectionQueue, WriteAfterCloseWaitsForTheOneInFlightAndReportsNoBytes) {
  connection->async_write(std::string("one"), 0, record("1"));
  connection->async_write(std::string("two"), 0, record("2"));
  settle();
  connection->close("closing");
  connection->async_write(std::string("late"), 0, record("late"));
  settle();
  transport->completeWrite(boost::asio::error::broken_pipe, 2);
  EXPECT_EQ(transport->events, (std::vector<std::string>{"sent one", "done 1 " + kAborted + "/2",
                                                         "done 2 " + kAborted + "/2", "done late " + kAborted + "/0"}));
}

// The datagram connection shares this queue: a throwing callback must not stall later sends.
TEST_F(AsyncConnectionQueue, CallbackThatThrowsLeavesTheQueueMoving) {
  connection->async_write(std::string("first"), 0, [](const boost::system::error_code&, std::size_t) {
    throw std::runtime_error("exploded");
  });
  for (const char* name : {"a", "b", "c"}) connection->async_write(std::string(name), 0, record(name));
  settle();
  for (std::size_t bytes : {5, 1, 1, 1}) transport->completeWrite({}, bytes);
  EXPECT_EQ(transport->events, (std::vector<std::string>{"sent first", "sent a", "done a 0/1", "sent b", "done b 0/1",
                                                         "sent c", "done c 0/1"}));
  EXPECT_TRUE(log.contains("exploded", log4cplus::ERROR_LOG_LEVEL));
}

TEST_F(AsyncConnectionQueue, TransportFailureClosesOnceWithItsReasonAndNothingAfterTheConnectionIsGone) {
  transport->closeSignal("SSLTransport: handshake timed out");
  EXPECT_EQ(closeSignals, std::vector<std::string>{"SSLTransport: handshake timed out"});
  EXPECT_EQ(transport->shutdowns, 0);  // the close runs on the I/O context, not inside the signal
  settle();
  connection->close("later");
  connection->postClose("even later");
  settle();
  EXPECT_EQ(transport->shutdowns, 1);
  EXPECT_EQ(connection->getCloseReason(), "SSLTransport: handshake timed out");

  // A transport outliving its connection must not call into it.
  std::weak_ptr<AsyncConnection> gone = connection;
  connection.reset();
  EXPECT_TRUE(gone.expired());
  transport->closeSignal("late failure");
  transport->connectedSignal();
  settle();
  EXPECT_EQ(transport->shutdowns, 1);
}

// Stream connection, datagram connection and TLS transport on an open connection.
TEST(GracefulClose, EndsOfAnExchangeAreToldFromFaultsByCodeAndCategory) {
  namespace errc = boost::system::errc;
  const auto system = [](int value) { return boost::system::error_code(value, boost::system::system_category()); };
  const struct {
    boost::system::error_code error;
    bool stream, datagram;
  } cases[] = {
      {boost::asio::error::eof, true, true},
      {system(errc::connection_reset), true, true},
      {boost::system::error_code(errc::connection_reset, boost::system::generic_category()), true, true},
      {boost::asio::error::operation_aborted, true, true},
      {boost::asio::ssl::error::stream_truncated, true, true},
      {system(errc::broken_pipe), true, false},
      // Numbers that mean a graceful end elsewhere, in a category where they do not.
      {boost::system::error_code(104, boost::asio::error::get_misc_category()), false, false},
      {system(errc::connection_refused), false, false},
  };
  boost::asio::io_service io;
  auto stream = std::make_shared<AsyncConnection>(std::make_shared<FakeTransport>(io));
  auto datagram = std::make_shared<AsyncConnectionUdp>(io);
  for (const auto& c : cases) {
    EXPECT_EQ(stream->isClosedGracefully(c.error), c.stream) << c.error.message();
    EXPECT_EQ(datagram->isClosedGracefully(c.error), c.datagram) << c.error.message();
  }
}

using testing::TlsServer;

TEST(AsyncConnectionOverTls, WritesFromManyThreadsArriveWholeAndInIssueOrder) {
  constexpr int kWriters = 8;
  constexpr int kPerWriter = 50;
  LogCapture log(log4cplus::WARN_LOG_LEVEL);
  TlsServer tls;
  // Started as the listener starts the connections it accepts.
  auto connection = std::make_shared<AsyncConnection>(std::shared_ptr<Transport>(tls.transport));
  connection->connectSignals();
  std::promise<bool> started;
  connection->postStartTransport([&](bool up, const auto&) { started.set_value(up); });
  ASSERT_FALSE(tls.handshake());
  ASSERT_TRUE(started.get_future().get());

  std::size_t total = 0;
  std::vector<std::vector<std::string>> plan(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    for (int s = 0; s < kPerWriter; ++s) {
      // Now and then one larger than a TLS record; the header makes each one distinct.
      const std::size_t length = s % 25 == 7 ? 70000 : 1 + (s * 37 + w * 11) % 1500;
      plan[w].push_back(std::to_string(w) + ':' + std::to_string(s) + '\n' + std::string(length, char('a' + w)));
      total += plan[w].back().size();
    }
  }

  std::mutex completedMutex;
  std::string completed;  // the completed writes' bytes, in the order of their callbacks
  std::vector<int> nextSequence(kWriters, 0);
  std::promise<void> allCompleted;
  std::latch go(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      go.arrive_and_wait();
      for (int s = 0; s < kPerWriter; ++s) {
        connection->async_write(plan[w][s], 0, [&, w, s](const boost::system::error_code& error, std::size_t sent) {
          std::lock_guard<std::mutex> lock(completedMutex);
          EXPECT_TRUE(!error && sent == plan[w][s].size() && s == nextSequence[w]++) << w << ":" << s;
          completed += plan[w][s];
          if (completed.size() == total) allCompleted.set_value();
        });
      }
    });
  }
  std::string wire;
  const auto readError = tls.read(wire, total);
  for (auto& writer : writers) {
    writer.join();
  }
  ASSERT_FALSE(readError) << readError.message();
  allCompleted.get_future().get();
  std::lock_guard<std::mutex> lock(completedMutex);
  EXPECT_TRUE(wire == completed) << "the bytes on the wire are not the completed writes in order";
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace quorvel::transport
