// Write queue, read guard and close behaviour, driven deterministically: the
// test thread is the connection's only I/O thread and completes the
// transport's operations itself.
#include "common/connection/AsyncConnection.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl/error.hpp>

#include <deque>
#include <functional>
#include <stdexcept>
#include <vector>

#include "common/authentication/AuthInfo.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::LogCapture;
using utils::WriteBuffers;

class FakeTransport : public Transport {
 public:
  struct PendingWrite {
    std::shared_ptr<WriteBuffers> buffers;
    IoCallback callback;
  };

  explicit FakeTransport(boost::asio::io_service& io, std::vector<std::string>* events = nullptr)
      : Transport(io, nullptr), events(events) {}

  void start(WhileConnectionCallback callback, const std::string&) override {
    if (callback) {
      callback(true, {});
    }
    connectedSignal();
  }
  void cancel() override {}
  void shutdown() override { ++shutdowns; }
  void async_write(const std::shared_ptr<WriteBuffers>& buffers, IoCallback callback) override {
    if (events) {
      events->push_back("sent " + payload(*buffers));
    }
    writes.push_back({buffers, std::move(callback)});
  }
  void async_read(boost::asio::streambuf&, std::size_t, IoCallback callback) override { read(std::move(callback)); }
  void async_read(boost::asio::mutable_buffers_1, std::size_t, IoCallback callback) override {
    read(std::move(callback));
  }
  void async_read_some(boost::asio::mutable_buffers_1, IoCallback callback) override { read(std::move(callback)); }
  void async_read_some(boost::asio::streambuf&, IoCallback callback) override { read(std::move(callback)); }
  void async_read_until(boost::asio::streambuf&, const std::string&, IoCallback callback) override {
    read(std::move(callback));
  }
  void async_read_until(boost::asio::streambuf&, MatchCondition, IoCallback callback) override {
    read(std::move(callback));
  }

  void completeWrite(const boost::system::error_code& error, std::size_t bytes) {
    ASSERT_FALSE(writes.empty());
    PendingWrite write = std::move(writes.front());
    writes.pop_front();
    // Completions run inside the I/O context, as a real transport's do.
    boost::asio::post(getIOService(), [write, error, bytes] { write.callback(error, bytes); });
    getIOService().restart();
    getIOService().poll();
  }
  static std::string payload(const WriteBuffers& buffers) {
    return std::string(static_cast<const char*>(buffers.data()), buffers.size());
  }

  std::vector<std::string>* events;
  std::deque<PendingWrite> writes;
  std::vector<IoCallback> reads;
  std::function<void()> throwOnRead;
  int shutdowns = 0;

 private:
  void read(IoCallback callback) {
    if (throwOnRead) {
      throwOnRead();
    }
    reads.push_back(std::move(callback));
  }
};

class AsyncConnectionQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    transport = std::make_shared<FakeTransport>(io, &events);
    connection = std::make_shared<AsyncConnection>(std::shared_ptr<Transport>(transport));
    connection->connectSignals();
    connection->closeSignal.connect([this](std::string reason) { closeSignals.push_back(reason); });
  }

  IoCallback record(const std::string& name) {
    return [this, name](const boost::system::error_code& error, std::size_t bytes) {
      events.push_back("done " + name + " " + std::to_string(error.value()) + "/" + std::to_string(bytes));
    };
  }
  void settle() {
    io.restart();
    io.poll();
  }

  LogCapture log;
  boost::asio::io_service io;
  std::vector<std::string> events;
  std::vector<std::string> closeSignals;
  std::shared_ptr<FakeTransport> transport;
  std::shared_ptr<AsyncConnection> connection;
};

const int kAborted = boost::asio::error::operation_aborted;
const int kInvalid = boost::asio::error::invalid_argument;

TEST_F(AsyncConnectionQueue, OneWriteInFlightAndCallbacksInIssueOrder) {
  const std::string a = "alpha";
  auto bytes = std::make_shared<utils::ByteBuffer>(utils::ByteBuffer{'b', 'e', 't', 'a', '!'});
  connection->async_write(a, 0, record("a"));
  connection->async_write(bytes, 4, 0, record("b"));
  connection->async_write(std::string("xxgamma"), 2, record("c"));
  settle();
  EXPECT_TRUE(connection->isWriting());
  ASSERT_EQ(transport->writes.size(), 1u);

  transport->completeWrite({}, 5);
  transport->completeWrite({}, 4);
  transport->completeWrite({}, 5);
  EXPECT_EQ(events, (std::vector<std::string>{"sent alpha", "done a 0/5", "sent beta", "done b 0/4", "sent gamma",
                                              "done c 0/5"}));
  EXPECT_FALSE(connection->isWriting());
}

TEST_F(AsyncConnectionQueue, FailedWriteAbortsEveryQueuedWriteThenClosesOnce) {
  connection->async_write(std::string("one"), 0, record("1"));
  connection->async_write(std::string("two"), 0, record("2"));
  connection->async_write(std::string("three"), 0, IoCallback());
  connection->async_write(std::string("four"), 0, record("4"));
  settle();
  transport->completeWrite(boost::asio::error::connection_refused, 2);
  EXPECT_EQ(events, (std::vector<std::string>{"sent one", "done 1 " + std::to_string(kAborted) + "/2",
                                              "done 2 " + std::to_string(kAborted) + "/2",
                                              "done 4 " + std::to_string(kAborted) + "/2"}));
  EXPECT_FALSE(connection->isWriting());
  const std::string message = boost::system::error_code(boost::asio::error::connection_refused).message();
  EXPECT_EQ(closeSignals, std::vector<std::string>{message});
  EXPECT_EQ(log.count(connection->getLogPrefix() + "AsyncConnection::writeHandler Error was: '" + message + "'",
                      log4cplus::WARN_LOG_LEVEL),
            1u);

  settle();
  EXPECT_EQ(connection->getCloseReason(), message);
  EXPECT_EQ(transport->shutdowns, 1);
  EXPECT_TRUE(transport->writes.empty());
}

TEST_F(AsyncConnectionQueue, ResetByPeerCountsAsAGracefulEnd) {
  connection->async_write(std::string("x"), 0, IoCallback());
  settle();
  transport->completeWrite(boost::asio::error::connection_reset, 0);
  EXPECT_EQ(log.count(connection->getLogPrefix() + "Connection closed gracefully( AsyncConnection::writeHandler ).",
                      log4cplus::DEBUG_LOG_LEVEL),
            1u);
  EXPECT_FALSE(log.contains("", log4cplus::WARN_LOG_LEVEL));
}

TEST_F(AsyncConnectionQueue, CloseFromACallbackKeepsTheRestOffTheTransport) {
  connection->async_write(std::string("first"), 0, [this](const boost::system::error_code&, std::size_t) {
    events.push_back("closing");
    connection->close("done with it");
    // Issued after the close, yet still completed after the writes queued before it.
    connection->async_write(std::string("late"), 0, record("late"));
  });
  connection->async_write(std::string("second"), 0, record("2"));
  connection->async_write(std::string("third"), 0, record("3"));
  settle();
  transport->completeWrite({}, 5);
  EXPECT_EQ(events,
            (std::vector<std::string>{"sent first", "closing", "done 2 " + std::to_string(kAborted) + "/0",
                                      "done 3 " + std::to_string(kAborted) + "/0",
                                      "done late " + std::to_string(kAborted) + "/0"}));
  EXPECT_FALSE(connection->isWriting());

  events.clear();
  connection->async_write(std::string("after"), 0, record("after"));
  connection->async_write(std::string("quiet"), 0, IoCallback());
  settle();
  EXPECT_EQ(events, std::vector<std::string>{"done after " + std::to_string(kAborted) + "/0"});
  EXPECT_TRUE(transport->writes.empty());
  EXPECT_EQ(connection->getCloseReason(), "done with it");
}

TEST_F(AsyncConnectionQueue, ThrowingCallbackIsLoggedAndTheQueueGoesOn) {
  connection->async_write(std::string("a"), 0, [](const boost::system::error_code&, std::size_t) {
    throw std::runtime_error("callback exploded");
  });
  connection->async_write(std::string("b"), 0, record("b"));
  settle();
  transport->completeWrite({}, 1);
  EXPECT_TRUE(log.contains("callback exploded", log4cplus::ERROR_LOG_LEVEL));
  ASSERT_EQ(transport->writes.size(), 1u);
  transport->completeWrite({}, 1);
  EXPECT_EQ(events.back(), "done b 0/1");
}

TEST_F(AsyncConnectionQueue, WritesBeyondTheirDataAreRefusedInTurn) {
  auto bytes = std::make_shared<utils::ByteBuffer>(utils::ByteBuffer{'1', '2', '3'});
  connection->async_write(std::string("ok"), 0, record("ok"));
  connection->async_write(std::string("short"), 6, record("offset"));
  connection->async_write(bytes, 4, 0, record("length"));
  connection->async_write(bytes, 2, 3, record("both"));
  connection->async_write(bytes, 3, 1, record("tail"));
  settle();
  transport->completeWrite({}, 2);
  ASSERT_EQ(transport->writes.size(), 1u);
  transport->completeWrite({}, 2);
  const std::string refused = " " + std::to_string(kInvalid) + "/0";
  EXPECT_EQ(events, (std::vector<std::string>{"sent ok", "done ok 0/2", "done offset" + refused,
                                              "done length" + refused, "done both" + refused, "sent 23",
                                              "done tail 0/2"}));
}

struct ReadForm {
  const char* name;
  std::function<void(AsyncConnection&, boost::asio::streambuf&, IoCallback)> read;
  const char* pendingMessage;
};

char rawBuffer[16];

const std::vector<ReadForm> kReadForms = {
    {"read exact into stream buffer",
     [](AsyncConnection& c, boost::asio::streambuf& b, IoCallback cb) { c.async_read(b, 4, cb); },
     "async_read called but reading is already pending!"},
    {"read exact into buffer",
     [](AsyncConnection& c, boost::asio::streambuf&, IoCallback cb) {
       c.async_read(boost::asio::buffer(rawBuffer), 4, cb);
     },
     "async_read called but reading is already pending!"},
    {"read some into buffer",
     [](AsyncConnection& c, boost::asio::streambuf&, IoCallback cb) {
       c.async_read_some(boost::asio::buffer(rawBuffer), cb);
     },
     "async_read_some called but reading is already pending!"},
    {"read some into stream buffer",
     [](AsyncConnection& c, boost::asio::streambuf& b, IoCallback cb) { c.async_read_some(b, cb); },
     "async_read_some called but reading is already pending!"},
    {"read until delimiter",
     [](AsyncConnection& c, boost::asio::streambuf& b, IoCallback cb) { c.async_read_until(b, "\r\n", cb); },
     "async_read_until called but reading is already pending!"},
    {"read until match",
     [](AsyncConnection& c, boost::asio::streambuf& b, IoCallback cb) {
       c.async_read_until(b, MatchCondition([](MatchIterator, MatchIterator end) { return std::make_pair(end, true); }),
                          cb);
     },
     "async_read_until called but reading is already pending!"},
};

TEST_F(AsyncConnectionQueue, SecondConcurrentReadIsRefusedForEveryForm) {
  for (const auto& form : kReadForms) {
    log.clear();
    transport->reads.clear();
    boost::asio::streambuf buffer;
    bool secondCalled = false;
    form.read(*connection, buffer, record("first"));
    form.read(*connection, buffer, [&](const boost::system::error_code&, std::size_t) { secondCalled = true; });
    EXPECT_TRUE(connection->isReadPending()) << form.name;
    ASSERT_EQ(transport->reads.size(), 1u) << form.name;
    EXPECT_EQ(log.count(connection->getLogPrefix() + form.pendingMessage, log4cplus::ERROR_LOG_LEVEL), 1u)
        << form.name;
    transport->reads.front()({}, 4);
    EXPECT_FALSE(secondCalled) << form.name;

    connection->clearReadPending();
    form.read(*connection, buffer, IoCallback());
    EXPECT_EQ(transport->reads.size(), 2u) << form.name;
    connection->clearReadPending();
  }
}

struct ThrowCase {
  const char* name;
  std::size_t form;
  std::function<void()> raise;
  std::string debugLine;
  std::string reason;
};

TEST_F(AsyncConnectionQueue, ReadThatThrowsClosesTheConnection) {
  const boost::system::system_error systemError(boost::asio::error::bad_descriptor);
  const std::string what = systemError.what();
  const std::vector<ThrowCase> cases = {
      {"system error, exact read", 0, [&] { throw systemError; },
       "async_read throws '" + what + "' shutting down connection!", what},
      {"system error, read some", 2, [&] { throw systemError; },
       "async_read_until throws '" + what + "' shutting down connection!", what},
      {"std exception, match read", 5, [] { throw std::logic_error("bad match"); },
       "async_read throws 'bad match' shutting down connection!", "bad match"},
      {"unknown, delimiter read", 4, [] { throw 7; },
       "async_read_until throws an exception, shutting down connection!", "Exception while async_read_until"},
      {"unknown, buffer read", 1, [] { throw 7; },
       "async_read_until throws an exception, shutting down connection!", "Exception while async_read"},
  };
  for (const auto& c : cases) {
    log.clear();
    closeSignals.clear();
    connection->clearReadPending();
    transport->throwOnRead = c.raise;
    boost::asio::streambuf buffer;
    kReadForms[c.form].read(*connection, buffer, record("never"));
    EXPECT_EQ(log.count(connection->getLogPrefix() + c.debugLine, log4cplus::DEBUG_LOG_LEVEL), 1u) << c.name;
    EXPECT_EQ(closeSignals, std::vector<std::string>{c.reason}) << c.name;
    EXPECT_TRUE(connection->isReadPending()) << c.name;
  }
  settle();
  EXPECT_EQ(connection->getCloseReason(), what);
  EXPECT_EQ(transport->shutdowns, 1);
}

TEST_F(AsyncConnectionQueue, TransportFailureClosesOnceWithItsReason) {
  transport->closeSignal("SSLTransport: handshake timed out");
  EXPECT_EQ(closeSignals, std::vector<std::string>{"SSLTransport: handshake timed out"});
  EXPECT_EQ(transport->shutdowns, 0);  // the close runs on the I/O context, not inside the signal
  settle();
  connection->close("later");
  connection->postClose("even later");
  settle();
  EXPECT_EQ(transport->shutdowns, 1);
  EXPECT_EQ(connection->getCloseReason(), "SSLTransport: handshake timed out");
}

TEST_F(AsyncConnectionQueue, SlotsStopFiringOnceTheConnectionIsGone) {
  std::weak_ptr<AsyncConnection> gone = connection;
  connection.reset();
  EXPECT_TRUE(gone.expired());
  transport->closeSignal("late failure");
  transport->connectedSignal();
  settle();
  EXPECT_EQ(transport->shutdowns, 0);
}

TEST_F(AsyncConnectionQueue, StartReportsThroughTheCallerAndForwardsConnected) {
  int connectedSignals = 0;
  connection->connectedSignal.connect([&] { ++connectedSignals; });
  bool reported = false;
  connection->postStartTransport([&](bool connected, const boost::system::error_code& error) {
    reported = connected && !error;
    throw std::runtime_error("careless caller");
  });
  EXPECT_FALSE(reported);
  settle();
  EXPECT_TRUE(reported);
  EXPECT_EQ(connectedSignals, 1);
  EXPECT_TRUE(log.contains("careless caller", log4cplus::ERROR_LOG_LEVEL));
}

TEST(AsyncConnectionIdentity, NumbersConnectionsAndSharesTheRecordWithTheTransport) {
  boost::asio::io_service io;
  auto firstTransport = std::make_shared<FakeTransport>(io);
  const auto transportRecord = firstTransport->getAuthInfo();
  auto first = std::make_shared<AsyncConnection>(std::shared_ptr<Transport>(firstTransport));
  auto second = std::make_shared<AsyncConnection>(std::make_shared<FakeTransport>(io));
  EXPECT_EQ(second->getId(), first->getId() + 1);
  EXPECT_EQ(first->getAuthInfo(), transportRecord);
  EXPECT_EQ(first->getLogPrefix(), "[cid:" + std::to_string(first->getId()) + "]  ");
  EXPECT_EQ(firstTransport->getLogPrefix(), first->getLogPrefix());

  auto given = std::make_shared<authentication::AuthInfo>();
  given->setConnectionId("kept");
  auto explicitId = std::make_shared<AsyncConnection>(std::make_shared<FakeTransport>(io), std::move(given), 500);
  EXPECT_EQ(explicitId->getId(), 500u);
  EXPECT_EQ(explicitId->getLogPrefix(), "[kept]  ");
  auto third = std::make_shared<AsyncConnection>(std::make_shared<FakeTransport>(io));
  EXPECT_EQ(third->getId(), second->getId() + 1);

  AsyncConnection onStack(std::make_shared<FakeTransport>(io));
  EXPECT_THROW(onStack.postClose("x"), std::bad_weak_ptr);
}

struct GracefulCase {
  const char* name;
  boost::system::error_code error;
  bool graceful;
};

TEST(AsyncConnectionIdentity, ClassifiesErrorsAndTreatsEverythingAsGracefulOnceClosed) {
  LogCapture log;
  boost::asio::io_service io;
  auto connection = std::make_shared<AsyncConnection>(std::make_shared<FakeTransport>(io));
  const std::vector<GracefulCase> cases = {
      {"no error", {}, true},
      {"reset", boost::asio::error::connection_reset, true},
      {"104 elsewhere", {104, boost::asio::error::get_misc_category()}, true},
      {"eof", boost::asio::error::eof, true},
      {"109", {109, boost::system::system_category()}, true},
      {"aborted", boost::asio::error::operation_aborted, true},
      {"truncated", boost::asio::ssl::error::stream_truncated, true},
      {"refused", boost::asio::error::connection_refused, false},
      {"timed out", boost::asio::error::timed_out, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(connection->isClosedGracefully(c.error), c.graceful) << c.name;
  }
  connection->close("closed");
  EXPECT_TRUE(connection->isClosedGracefully(boost::asio::error::connection_refused));
}

}  // namespace
}  // namespace quorvel::transport
