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

// Aims its sends at a given endpoint instead of the broadcast address.
class LoopbackUdp : public AsyncConnectionUdp {
 public:
  LoopbackUdp(boost::asio::io_service& io, const boost::asio::ip::udp::endpoint& target) : AsyncConnectionUdp(io) {
    socket.open(boost::asio::ip::udp::v4());
    endpoint = target;
  }
};

TEST(UdpConnectionTest, ThrowingWriteCallbackDoesNotStallTheQueue) {
  testing::LogCapture log;
  boost::asio::io_service io;
  boost::asio::ip::udp::socket receiver(io, {boost::asio::ip::address_v4::loopback(), 0});
  auto connection = std::make_shared<LoopbackUdp>(io, receiver.local_endpoint());

  connection->async_write(std::string("first"), 0, [](const boost::system::error_code&, std::size_t) {
    throw std::runtime_error("callback failed");
  });
  for (const char* text : {"a", "b", "c"}) {
    connection->async_write(std::string(text), 0, {});
  }
  io.run_for(std::chrono::seconds(2));

  std::string arrived;
  char datagram[64];
  receiver.non_blocking(true);
  boost::system::error_code error;
  while (std::size_t n = receiver.receive(boost::asio::buffer(datagram), 0, error)) {
    arrived += std::string(datagram, n) + "|";
  }
  EXPECT_EQ(arrived, "first|a|b|c|");
  EXPECT_FALSE(connection->isWriting());
  EXPECT_TRUE(log.contains("Write callback threw 'callback failed'.", log4cplus::ERROR_LOG_LEVEL));
}

}  // namespace
}  // namespace quorvel::transport
