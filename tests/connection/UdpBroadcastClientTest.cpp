// The broadcast client on real sockets. Runs only inside the harness's service
// namespace (see main below), with captures on ports 9 and 4011.
#include <chrono>
#include <future>
#include <functional>
#include <thread>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "common/connection/AsyncConnectionUdpBroadcastClient.h"
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

TEST(UdpBroadcastClient, OpenAimsEveryDatagramAtTheBroadcastAddressAndASecondOpenOnlyTakesItsPort) {
  boost::asio::io_service io;
  // Stops and joins the I/O thread however the test ends, so a failure is reported, not a terminate.
  struct Runner {
    boost::asio::io_service& io;
    boost::asio::executor_work_guard<boost::asio::io_service::executor_type> work{io.get_executor()};
    std::thread thread{[this] { io.run(); }};
    ~Runner() {
      io.stop();
      thread.join();
    }
  } runner{io};
  const auto onIoThread = [&io](std::function<void()> f) {
    std::packaged_task<void()> task(std::move(f));
    boost::asio::post(io, [&task] { task(); });
    task.get_future().get();
  };
  auto client = std::make_shared<Client>(io);
  int connected = 0;
  client->connectedSignal.connect([&] { ++connected; });
  onIoThread([&] { client->open(9); });
  EXPECT_EQ(connected, 1);
  client->async_write(std::string("order-1"), 0, {});
  // A datagram received in between must not redirect the next send to its sender.
  boost::asio::streambuf inbound;
  std::promise<std::size_t> received;
  // Sockets are not safe across threads: the read starts on the client's own.
  onIoThread([&] { client->async_read_some(inbound, [&](const auto&, std::size_t n) { received.set_value(n); }); });
  boost::asio::ip::udp::socket stranger(io, boost::asio::ip::udp::v4());
  stranger.send_to(boost::asio::buffer(std::string("hello")),
                   {boost::asio::ip::address_v4::loopback(), client->getSocket().local_endpoint().port()});
  auto arrival = received.get_future();
  ASSERT_EQ(arrival.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(arrival.get(), 5u);
  client->async_write(std::string("xxorder-2"), 2, {});
  EXPECT_EQ(captured(9, "order-", 2), (std::vector<std::string>{"order-1", "order-2"}));

  EXPECT_THROW(onIoThread([&] { client->open(4011); }), boost::system::system_error);
  client->async_write(std::string("reopen"), 0, {});
  EXPECT_EQ(captured(4011, "reopen", 1).size(), 1u);
  EXPECT_TRUE(captured(9, "reopen", 0).empty());
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
