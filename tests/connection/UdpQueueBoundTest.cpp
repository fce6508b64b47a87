// The datagram queue stays bounded when callers outpace the socket.
#include "common/connection/AsyncConnectionUdp.h"

#include <chrono>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

namespace quorvel::transport {
namespace {

TEST(UdpQueueBound, RefusesPastTheLimitAndRecoversOnceDrained) {
  boost::asio::io_service io;  // not run yet: nothing drains
  auto connection = std::make_shared<AsyncConnectionUdp>(io);
  constexpr int kLimit = 1024;
  for (int i = 0; i < kLimit; ++i) {
    ASSERT_TRUE(connection->trySend(std::string(102, '\xff'))) << i;
  }
  EXPECT_FALSE(connection->trySend("one too many"));
  // The socket was never opened, so every send fails; failed sends free their
  // place just as sent ones do.
  io.run_for(std::chrono::seconds(2));
  EXPECT_TRUE(connection->trySend("room again"));
}

}  // namespace
}  // namespace quorvel::transport
