// The datagram connection against a receiver on 127.0.0.1: nothing here can
// broadcast, so it runs outside the network-namespace harness.
#include "common/connection/AsyncConnectionUdp.h"

#include <chrono>
#include <stdexcept>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "support/LogCapture.h"

namespace quorvel::transport {
namespace {

using boost::asio::ip::udp;
using Result = std::pair<boost::system::error_code, std::size_t>;

// Aims its sends at a given endpoint instead of the broadcast address.
class LoopbackUdp : public AsyncConnectionUdp {
 public:
  LoopbackUdp(boost::asio::io_service& io, const udp::endpoint& target) : AsyncConnectionUdp(io) {
    socket.open(udp::v4());
    endpoint = target;
  }
};

class UdpConnectionTest : public ::testing::Test {
 protected:
  // Runs the context until nothing is left to do or the time is up.
  void settle() {
    io.restart();
    io.run_for(std::chrono::milliseconds(500));
  }
  // Every datagram waiting at `socket`, each followed by "|".
  static std::string arrived(udp::socket& socket) {
    std::string all;
    char datagram[64];
    socket.non_blocking(true);
    boost::system::error_code error;
    while (std::size_t n = socket.receive(boost::asio::buffer(datagram), 0, error)) {
      all += std::string(datagram, n) + "|";
    }
    return all;
  }
  IoCallback into(Result& result) {
    return [&result](const boost::system::error_code& e, std::size_t n) { result = {e, n}; };
  }

  testing::LogCapture log;
  boost::asio::io_service io;
  udp::socket receiver{io, {boost::asio::ip::address_v4::loopback(), 0}};
  std::shared_ptr<LoopbackUdp> connection = std::make_shared<LoopbackUdp>(io, receiver.local_endpoint());
};

TEST_F(UdpConnectionTest, ThrowingWriteCallbackDoesNotStallTheQueue) {
  connection->async_write(std::string("first"), 0, [](const boost::system::error_code&, std::size_t) {
    throw std::runtime_error("callback failed");
  });
  for (const char* text : {"a", "b", "c"}) {
    connection->async_write(std::string(text), 0, {});
  }
  settle();
  EXPECT_EQ(arrived(receiver), "first|a|b|c|");
  EXPECT_FALSE(connection->isWriting());
  EXPECT_TRUE(log.contains("Write callback threw 'callback failed'.", log4cplus::ERROR_LOG_LEVEL));
}

TEST_F(UdpConnectionTest, ClosedConnectionAbortsWritesAtOnceAndKeepsItsFirstReason) {
  connection->close("first");
  connection->close("second");
  EXPECT_EQ(connection->getCloseReason(), "first");
  Result result;
  connection->async_write(std::string("late"), 0, into(result));
  settle();
  EXPECT_EQ(result, Result(boost::system::error_code(125, boost::system::system_category()), 0));
  EXPECT_EQ(arrived(receiver), "");
}

TEST_F(UdpConnectionTest, ReceivedDatagramDoesNotRedirectSendsAndASecondReadIsRefused) {
  Result sent, received, second{boost::asio::error::would_block, 0};
  connection->async_write(std::string("one"), 0, into(sent));
  settle();
  ASSERT_FALSE(sent.first);

  boost::asio::streambuf inbound;
  char spare[8];
  connection->async_read_some(inbound, into(received));
  connection->async_read_some(boost::asio::buffer(spare), into(second));
  EXPECT_TRUE(log.contains(connection->getLogPrefix() + "async_read_some called but reading is already pending!",
                           log4cplus::ERROR_LOG_LEVEL));
  udp::socket stranger(io, {boost::asio::ip::address_v4::loopback(), 0});
  stranger.send_to(boost::asio::buffer(std::string("hello")), connection->getSocket().local_endpoint());
  settle();
  EXPECT_EQ(received, Result({}, 5));
  EXPECT_EQ(connection->streambufToString(inbound), "hello");
  EXPECT_EQ(second.first, boost::asio::error::would_block) << "the refused read was answered";

  connection->async_write(std::string("two"), 0, {});
  settle();
  EXPECT_EQ(arrived(receiver), "one|two|");
  EXPECT_EQ(arrived(stranger), "") << "a send went back to the last sender";
}

}  // namespace
}  // namespace quorvel::transport
