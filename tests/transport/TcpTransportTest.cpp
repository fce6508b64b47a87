// The plain TCP transport against a blocking client over loopback: the
// transport runs on its own I/O thread, as the pool gives every connection.
#include "common/transport/TcpTransport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/asio.hpp>

#include "support/IoThread.h"
#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using quorvel::testing::LogCapture;
using namespace std::chrono_literals;

struct Outcome {
  boost::system::error_code error;
  std::size_t bytes = 0;
};

class TcpLoopback : public ::testing::Test, public quorvel::testing::IoThread {
 protected:
  TcpLoopback() { connect(client, transport->getSocket()); }
  ~TcpLoopback() override {
    call([this] { transport->shutdown(); });
    stop();
  }

  // Starts an operation on the I/O thread; the future gets its one completion.
  std::future<Outcome> operate(const std::function<void(IoCallback)>& operation) {
    auto done = std::make_shared<std::promise<Outcome>>();
    call([&] { operation([done](const boost::system::error_code& error, std::size_t bytes) {
      done->set_value({error, bytes});
    }); });
    return done->get_future();
  }

  void send(const std::string& bytes) { boost::asio::write(client, boost::asio::buffer(bytes)); }

  std::shared_ptr<TcpTransport> transport = std::make_shared<TcpTransport>(io, nullptr);
  boost::asio::io_service clientIo;
  boost::asio::ip::tcp::socket client{clientIo};
  boost::asio::streambuf buffer;
  std::array<char, 8> array{};
};

TEST_F(TcpLoopback, StartReportsOnceBeforeItsSignalAlsoWithoutACallback) {
  LogCapture log;
  std::vector<std::string> events;
  transport->connectedSignal.connect([&] { events.push_back("signal"); });
  call([&] {
    transport->start([&](bool connected, const boost::system::error_code& error) {
      events.push_back("callback " + std::to_string(connected) + " " + std::to_string(error.value()));
    }, "ignored.example");
    transport->start(WhileConnectionCallback(), "");
  });
  EXPECT_EQ(events, (std::vector<std::string>{"callback 1 0", "signal", "signal"}));
  EXPECT_TRUE(transport->isConnected());
  EXPECT_EQ(log.count(transport->getLogPrefix() + "Socket connected ...", log4cplus::TRACE_LOG_LEVEL), 2u);
  EXPECT_EQ(transport->getLogPrefix(), "[tid:" + std::to_string(transport->getId()) + "]  ");
}

TEST_F(TcpLoopback, EachReadCompletesOnceWhenItsKindIsSatisfied) {
  const std::string big(70000, 'x');
  const struct {
    const char* name;
    std::vector<std::string> pieces;  // sent one after the other; the read must not end before the last
    std::function<void(TcpTransport&, boost::asio::streambuf&, std::array<char, 8>&, IoCallback)> read;
    std::size_t bytes;
    std::string received;  // what the read left in its buffer (the stream buffer, or the array's bytes)
  } cases[] = {
      {"exact count, stream buffer", {big.substr(0, 65536), big.substr(65536)},
       [](auto& t, auto& b, auto&, IoCallback done) { t.async_read(b, 70000, std::move(done)); }, 70000, big},
      {"exact count, buffer", {"abc", "defgh"},
       [](auto& t, auto&, auto& a, IoCallback done) { t.async_read(boost::asio::buffer(a), 8, std::move(done)); }, 8,
       "abcdefgh"},
      {"some, buffer", {"ab"},
       [](auto& t, auto&, auto& a, IoCallback done) { t.async_read_some(boost::asio::buffer(a), std::move(done)); },
       2, "ab"},
      {"some, stream buffer", {"abc"},
       [](auto& t, auto& b, auto&, IoCallback done) { t.async_read_some(b, std::move(done)); }, 3, "abc"},
      {"until a delimiter", {"GET / HTTP/1.1\r\n", "\r\nnext"},
       [](auto& t, auto& b, auto&, IoCallback done) { t.async_read_until(b, "\r\n\r\n", std::move(done)); }, 18,
       "GET / HTTP/1.1\r\n\r\nnext"},
      {"until a match", {"aaa", "abz"},
       [](auto& t, auto& b, auto&, IoCallback done) {
         t.async_read_until(b, MatchCondition([](auto begin, auto end) {
                              const auto at = std::find(begin, end, 'b');
                              return std::make_pair(at == end ? end : at + 1, at != end);
                            }),
                            std::move(done));
       },
       5, "aaaabz"},
  };
  for (const auto& c : cases) {
    buffer.consume(buffer.size());
    array.fill(0);
    auto done = operate([&](IoCallback callback) { c.read(*transport, buffer, array, std::move(callback)); });
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      if (i > 0) {
        EXPECT_EQ(done.wait_for(50ms), std::future_status::timeout) << c.name;
      }
      send(c.pieces[i]);
    }
    const Outcome outcome = done.get();
    EXPECT_FALSE(outcome.error) << c.name;
    EXPECT_EQ(outcome.bytes, c.bytes) << c.name;
    const std::string left = call([&] {
      return buffer.size() > 0 ? std::string(boost::asio::buffers_begin(buffer.data()),
                                             boost::asio::buffers_end(buffer.data()))
                               : std::string(array.data(), outcome.bytes);
    });
    EXPECT_EQ(left, c.received) << c.name;
  }
}

TEST_F(TcpLoopback, CancelAbortsTheReadAndShutdownEndsTheStreamQuietly) {
  LogCapture log;
  call([&] { transport->start(nullptr, ""); });
  auto pending = operate([&](IoCallback done) { transport->async_read_some(buffer, std::move(done)); });
  call([&] { transport->cancel(); });
  EXPECT_EQ(pending.get().error, boost::asio::error::operation_aborted);
  EXPECT_TRUE(transport->isConnected());

  // Shut down from the write's completion, as a connection does after its last reply.
  auto written = operate([&](IoCallback done) {
    transport->async_write(std::make_shared<utils::WriteBuffers>("xxlast", 2, IoCallback()),
                           [this, done](const boost::system::error_code& error, std::size_t bytes) {
                             transport->shutdown();
                             done(error, bytes);
                           });
  });
  const Outcome outcome = written.get();
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.bytes, 4u);
  std::string received;
  boost::system::error_code end;
  boost::asio::read(client, boost::asio::dynamic_buffer(received), end);
  EXPECT_EQ(end, boost::asio::error::eof);
  EXPECT_EQ(received, "last");
  EXPECT_FALSE(transport->isConnected());
  EXPECT_NE(operate([&](IoCallback done) { transport->async_read_some(buffer, std::move(done)); }).get().error,
            boost::system::error_code());
  EXPECT_FALSE(log.contains("Got error"));
}

// Shutdown and close failures are logged and otherwise ignored.
TEST(TcpTransport, ShutdownLogsWhatFailsOnItsSocket) {
  const std::string badDescriptor = boost::system::error_code(EBADF, boost::system::system_category()).message();
  const std::string notConnected = boost::system::error_code(ENOTCONN, boost::system::system_category()).message();
  const struct {
    const char* name;
    std::function<void(boost::asio::ip::tcp::socket&)> prepare;
    std::vector<std::string> errors;  // after the log prefix
  } cases[] = {
      {"never opened", [](auto&) {}, {}},
      {"open, never connected", [](auto& socket) { socket.open(boost::asio::ip::tcp::v4()); },
       {"Got error '" + notConnected + "' while shutting down the socket."}},
      {"descriptor closed underneath",
       [](auto& socket) {
         socket.open(boost::asio::ip::tcp::v4());
         ::close(socket.native_handle());
       },
       {"Got error '" + badDescriptor + "' while shutting down the socket.",
        "Got error '" + badDescriptor + "' while closing the socket."}},
  };
  for (const auto& c : cases) {
    LogCapture log;
    boost::asio::io_service io;
    auto transport = std::make_shared<TcpTransport>(io, nullptr);
    transport->start(nullptr, "");
    c.prepare(transport->getSocket());
    transport->shutdown();
    std::vector<std::string> logged;
    for (const auto& line : log.lines()) {
      if (line.level == log4cplus::ERROR_LOG_LEVEL) logged.push_back(line.message);
    }
    std::vector<std::string> expected;
    for (const auto& error : c.errors) expected.push_back(transport->getLogPrefix() + error);
    EXPECT_EQ(logged, expected) << c.name;
    EXPECT_FALSE(transport->isConnected()) << c.name;
    EXPECT_FALSE(transport->getSocket().is_open()) << c.name;
  }
}

}  // namespace
}  // namespace quorvel::transport
