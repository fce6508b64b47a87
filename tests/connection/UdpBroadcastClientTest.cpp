// The broadcast client on real sockets. Runs only inside the harness's service
// namespace (see main below), with captures on ports 9 and 4011.
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "common/connection/AsyncConnectionUdpBroadcastClient.h"
#include "support/LogCapture.h"
#include "support/TestNetwork.h"

namespace {

using quorvel::testing::CapturedDatagram;
using Client = quorvel::transport::AsyncConnectionUdpBroadcastClient;

// Datagrams captured on a port whose payload starts with `tag`; waits up to
// five seconds for `expected` of them, so a count of 0 also waits for strays.
std::vector<std::string> captured(unsigned short port, const std::string& tag, std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(expected ? 5 : 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(expected ? 0 : 200));
  for (;;) {
    std::vector<std::string> mine;
    for (const CapturedDatagram& d : quorvel::testing::capturedDatagrams(port)) {
      if (d.bytes.rfind(tag, 0) == 0) {
        EXPECT_EQ(d.destination, "255.255.255.255");
        mine.push_back(d.bytes);
      }
    }
    if (mine.size() >= expected || std::chrono::steady_clock::now() >= deadline) return mine;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The client's I/O context, run until the test ends; `run` executes on it.
class UdpBroadcastClientTest : public ::testing::Test {
 protected:
  ~UdpBroadcastClientTest() override {
    work.reset();
    thread.join();
  }
  template <typename F>
  void run(F f) {
    std::promise<void> done;
    boost::asio::post(io, [&] {
      try {
        f();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
    done.get_future().get();
  }

  boost::asio::io_service io;
  std::optional<boost::asio::io_service::work> work{std::in_place, io};
  std::thread thread{[this] { io.run(); }};
};

TEST_F(UdpBroadcastClientTest, OpenAimsEveryDatagramAtTheBroadcastAddressAndASecondOpenOnlyTakesItsPort) {
  auto client = std::make_shared<Client>(io);
  int connected = 0;
  client->connectedSignal.connect([&] { ++connected; });
  EXPECT_FALSE(client->isConnected());
  run([&] { client->open(9); });
  EXPECT_TRUE(client->isConnected());
  EXPECT_EQ(connected, 1);
  client->async_write(std::string("order-1"), 0, {});
  client->async_write(std::string("xxorder-2"), 2, {});
  EXPECT_EQ(captured(9, "order-", 2), (std::vector<std::string>{"order-1", "order-2"}));

  try {
    run([&] { client->open(4011); });
    ADD_FAILURE() << "second open accepted";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::already_open);
  }
  EXPECT_TRUE(client->isConnected());
  client->async_write(std::string("reopen"), 0, {});
  EXPECT_EQ(captured(4011, "reopen", 1).size(), 1u);
  EXPECT_TRUE(captured(9, "reopen", 0).empty());
}

TEST_F(UdpBroadcastClientTest, FailedOpenIsLoggedAndLeavesTheClientClosed) {
#ifdef NIMBREL_SANITIZED
  GTEST_SKIP() << "the sanitizers' own checks need free descriptors";
#endif
  quorvel::testing::LogCapture logs;
  auto client = std::make_shared<Client>(io);
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 256;
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> held;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
  client->postOpen(9);
  // A plain flag, no future: with no descriptor left a future could not be made.
  std::atomic<bool> survived{false};
  boost::asio::post(io, [&survived] { survived = true; });
  for (int i = 0; i < 500 && !survived; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int fd : held) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);

  ASSERT_TRUE(survived) << "the I/O thread died with the failed open";
  EXPECT_FALSE(client->isConnected());
  EXPECT_TRUE(logs.contains("Cannot open the UDP broadcast socket for port 9", log4cplus::ERROR_LOG_LEVEL));
  client->async_write(std::string("failopen"), 0, {});
  EXPECT_TRUE(captured(9, "failopen", 0).empty());
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
