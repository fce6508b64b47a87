// Datagrams sent at once from the caller's thread: nothing queues up behind
// a socket that cannot keep pace.
#include "common/connection/AsyncConnectionUdp.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>

namespace quorvel::transport {
namespace {

using boost::asio::ip::udp;

class LoopbackSender : public AsyncConnectionUdp {
 public:
  LoopbackSender(boost::asio::io_service& io, const udp::endpoint& target) : AsyncConnectionUdp(io) {
    socket.open(udp::v4());
    endpoint = target;
  }
};

TEST(UdpTrySend, SendsWithoutTheContextRunningAndRefusesOnceClosed) {
  boost::asio::io_service io;  // never run: the send must not depend on it
  udp::socket receiver(io, {boost::asio::ip::address_v4::loopback(), 0});
  auto sender = std::make_shared<LoopbackSender>(io, receiver.local_endpoint());
  ASSERT_TRUE(sender->trySend("magic"));
  char datagram[16];
  EXPECT_EQ(std::string(datagram, receiver.receive(boost::asio::buffer(datagram))), "magic");
  sender->close("done");
  EXPECT_FALSE(sender->trySend("late"));
}

}  // namespace
}  // namespace quorvel::transport
