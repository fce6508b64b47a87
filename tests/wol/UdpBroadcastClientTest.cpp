// The UDP broadcast client on real sockets. Runs only inside the harness's
// service namespace (see main below), with captures on ports 9 and 4011.
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl/error.hpp>
#include <gtest/gtest.h>

#include "common/connection/AsyncConnectionUdpBroadcastClient.h"
#include "support/LogCapture.h"
#include "support/TestNetwork.h"

namespace {

using quorvel::testing::capturedDatagrams;
using quorvel::testing::LogCapture;
using quorvel::transport::AsyncConnectionUdpBroadcastClient;
using Client = AsyncConnectionUdpBroadcastClient;

constexpr unsigned short kWolPort = 9;
constexpr unsigned short kOtherPort = 4011;
constexpr auto kWait = std::chrono::seconds(5);

struct Completion {
  std::promise<std::pair<boost::system::error_code, std::size_t>> promise;
  quorvel::transport::IoCallback callback() {
    return [this](const boost::system::error_code& e, std::size_t n) { promise.set_value({e, n}); };
  }
  std::pair<boost::system::error_code, std::size_t> get() {
    auto future = promise.get_future();
    if (future.wait_for(kWait) != std::future_status::ready) {
      ADD_FAILURE() << "completion never came";
      return {};
    }
    return future.get();
  }
};

// Datagrams captured on a port whose payload starts with a test's own tag;
// waits until `expected` have arrived or the time limit passed.
std::vector<quorvel::testing::CapturedDatagram> tagged(unsigned short port, const std::string& tag,
                                                       std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  for (;;) {
    std::vector<quorvel::testing::CapturedDatagram> mine;
    for (auto& d : capturedDatagrams(port)) {
      if (d.bytes.rfind(tag, 0) == 0) {
        mine.push_back(d);
      }
    }
    if (mine.size() >= expected || std::chrono::steady_clock::now() >= deadline) {
      return mine;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// For datagrams that must not arrive: long enough for a stray one to show up.
std::vector<quorvel::testing::CapturedDatagram> strays(unsigned short port, const std::string& tag) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return tagged(port, tag, 0);
}

std::vector<std::string> payloads(const std::vector<quorvel::testing::CapturedDatagram>& datagrams) {
  std::vector<std::string> out;
  for (const auto& d : datagrams) {
    out.push_back(d.bytes);
  }
  return out;
}

class UdpBroadcastClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    work.reset();
    io.stop();
    thread.join();
  }

  // Runs f on the client's I/O thread, as the service's handlers do.
  template <typename F>
  auto onIo(F f) -> decltype(f()) {
    // Shared with the handler: the task must outlive its own run, not just our wait.
    auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
    auto future = task->get_future();
    boost::asio::post(io, [task] { (*task)(); });
    if (future.wait_for(kWait) != std::future_status::ready) {
      ADD_FAILURE() << "the I/O thread no longer runs handlers";
      std::abort();
    }
    return future.get();
  }

  std::shared_ptr<Client> openClient(unsigned short port) {
    auto client = std::make_shared<Client>(io);
    onIo([&] { client->open(port); });
    return client;
  }

  boost::asio::io_service io;
  std::optional<boost::asio::io_service::work> work{std::in_place, io};
  std::thread thread;
};

TEST_F(UdpBroadcastClientTest, SendsEachWriteAsOneBroadcastDatagramInOrder) {
  auto client = std::make_shared<Client>(io);
  int connected = 0;
  client->connectedSignal.connect([&] { ++connected; });
  EXPECT_FALSE(client->isConnected());
  onIo([&] { client->open(kWolPort); });
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(connected, 1);

  Completion first, second, third;
  auto bytes = std::make_shared<quorvel::utils::ByteBuffer>();
  for (char c : std::string("order-3 and not this")) {
    bytes->push_back(static_cast<std::uint8_t>(c));
  }
  client->async_write(std::string("order-1"), 0, first.callback());
  client->async_write(std::string("xxorder-2"), 2, second.callback());
  client->async_write(bytes, 7, 0, third.callback());
  EXPECT_EQ(first.get(), std::make_pair(boost::system::error_code(), std::size_t{7}));
  EXPECT_EQ(second.get().second, 7u);
  EXPECT_EQ(third.get().second, 7u);

  const auto got = tagged(kWolPort, "order-", 3);
  EXPECT_EQ(payloads(got), (std::vector<std::string>{"order-1", "order-2", "order-3"}));
  for (const auto& d : got) {
    EXPECT_EQ(d.destination, "255.255.255.255");
  }
  EXPECT_TRUE(strays(kOtherPort, "order-").empty());
}

TEST_F(UdpBroadcastClientTest, SecondOpenIsRefusedButTakesItsPort) {
  auto client = openClient(kWolPort);
  try {
    onIo([&] { client->open(kOtherPort); });
    ADD_FAILURE() << "second open accepted";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::already_open);
  }
  EXPECT_TRUE(client->isConnected());

  Completion done;
  client->async_write(std::string("reopen"), 0, done.callback());
  EXPECT_FALSE(done.get().first);
  EXPECT_EQ(tagged(kOtherPort, "reopen", 1).size(), 1u);
  EXPECT_TRUE(strays(kWolPort, "reopen").empty());
}

TEST_F(UdpBroadcastClientTest, ClosedClientAbortsWritesAndSendsNothing) {
  auto client = openClient(kWolPort);
  onIo([&] { client->close("first"); });
  onIo([&] { client->close("second"); });
  EXPECT_EQ(client->getCloseReason(), "first");
  EXPECT_FALSE(client->isConnected());
  EXPECT_FALSE(client->getSocket().is_open());

  Completion aborted;
  client->async_write(std::string("closed-1"), 0, aborted.callback());
  const auto result = aborted.get();
  EXPECT_EQ(result.first.value(), 125);
  EXPECT_EQ(result.second, 0u);
  EXPECT_TRUE(strays(kWolPort, "closed-").empty());
}

TEST_F(UdpBroadcastClientTest, ReceivedDatagramDoesNotRedirectSends) {
  auto client = openClient(kWolPort);
  Completion bound;
  client->async_write(std::string("recv-1"), 0, bound.callback());
  ASSERT_FALSE(bound.get().first);
  const unsigned short localPort = onIo([&] { return client->getSocket().local_endpoint().port(); });

  boost::asio::streambuf received;
  Completion read;
  onIo([&] { client->async_read_some(received, read.callback()); });

  boost::asio::io_service plainIo;
  boost::asio::ip::udp::socket sender(plainIo, boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  sender.send_to(boost::asio::buffer(std::string("hello")),
                 boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), localPort));
  const auto result = read.get();
  EXPECT_FALSE(result.first);
  EXPECT_EQ(result.second, 5u);
  EXPECT_EQ(client->streambufToString(received), "hello");
  client->clearReadPending();

  Completion sent;
  client->async_write(std::string("recv-2"), 0, sent.callback());
  EXPECT_FALSE(sent.get().first);
  const auto got = tagged(kWolPort, "recv-", 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].destination, "255.255.255.255");

  sender.non_blocking(true);
  char buffer[64];
  boost::system::error_code error;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sender.receive(boost::asio::buffer(buffer), 0, error);
  EXPECT_EQ(error, boost::asio::error::would_block) << "the send went back to the last sender";
}

TEST_F(UdpBroadcastClientTest, SecondReadIsRefusedWhileOneIsPending) {
  LogCapture logs;
  auto client = openClient(kWolPort);
  char buffer[16];
  boost::asio::streambuf streambuf;
  Completion first;
  bool secondCalled = false;
  onIo([&] {
    client->async_read_some(boost::asio::buffer(buffer), first.callback());
    client->async_read_some(streambuf, [&](const boost::system::error_code&, std::size_t) { secondCalled = true; });
  });
  EXPECT_TRUE(logs.contains(client->getLogPrefix() + "async_read_some called but reading is already pending!",
                            log4cplus::ERROR_LOG_LEVEL));
  onIo([&] { client->close("done"); });
  EXPECT_EQ(first.get().first, boost::asio::error::operation_aborted);
  onIo([] {});
  EXPECT_FALSE(secondCalled);
}

// Descriptors are used up so that the socket cannot be created.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY);
      if (fd < 0) {
        break;
      }
      held.push_back(fd);
    }
  }
  ~DescriptorShortage() {
    for (int fd : held) {
      ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
  }

 private:
  rlimit saved{};
  std::vector<int> held;
};

TEST_F(UdpBroadcastClientTest, FailedOpenIsLoggedAndLeavesTheClientClosed) {
#ifdef NIMBREL_SANITIZED
  GTEST_SKIP() << "the sanitizers' own checks need free descriptors";
#endif
  LogCapture logs;
  auto client = std::make_shared<Client>(io);
  std::vector<std::string> closeReasons;
  client->closeSignal.connect([&](std::string reason) { closeReasons.push_back(reason); });
  {
    DescriptorShortage shortage;
    client->postOpen(kWolPort);
    // Plain flag, no future: sanitizer checks need a free descriptor of their own.
    std::atomic<bool> survived{false};
    boost::asio::post(io, [&survived] { survived = true; });
    for (int i = 0; i < 500 && !survived; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(survived) << "the I/O thread died with the failed open";
  }
  EXPECT_FALSE(client->isConnected());
  EXPECT_TRUE(logs.contains("Cannot open the UDP broadcast socket for port 9", log4cplus::ERROR_LOG_LEVEL));

  Completion failed;
  client->async_write(std::string("failopen"), 0, failed.callback());
  EXPECT_EQ(failed.get().first, boost::asio::error::operation_aborted);
  onIo([] {});
  EXPECT_TRUE(logs.contains(client->getLogPrefix() + "AsyncConnection::writeHandler Error was : ",
                            log4cplus::WARN_LOG_LEVEL));
  EXPECT_EQ(closeReasons.size(), 1u);
}

TEST_F(UdpBroadcastClientTest, GracefulErrorsFollowTheirValueAndTheCloseState) {
  namespace errc = boost::system::errc;
  struct Case {
    boost::system::error_code error;
    bool graceful;
  };
  const Case open[] = {
      {{}, true},
      {boost::system::error_code(104, boost::system::system_category()), true},
      {boost::system::error_code(104, boost::asio::error::get_misc_category()), true},
      {boost::asio::error::operation_aborted, true},
      {boost::asio::ssl::error::stream_truncated, true},
      {boost::system::error_code(109, boost::system::system_category()), false},
      {boost::system::error_code(errc::connection_refused, boost::system::system_category()), false},
      {boost::system::error_code(errc::network_unreachable, boost::system::system_category()), false},
  };
  auto client = openClient(kWolPort);
  for (const auto& c : open) {
    EXPECT_EQ(client->isClosedGracefully(c.error), c.graceful) << c.error.message();
  }
  onIo([&] { client->close("x"); });
  for (const auto& c : open) {
    EXPECT_TRUE(client->isClosedGracefully(c.error)) << c.error.message();
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!quorvel::testing::insideTestNetwork()) {
    std::fprintf(stderr, "These tests open broadcast sockets; run them through tests/harness/nimbrelnet.py run.\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
