// Moves the test process into a network namespace of its own with only a
// loopback interface, so that listening on every address, or anything that
// could broadcast, stays inside this process. Needs root; tests skip without.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace quorvel::testing {

inline bool enterPrivateNetwork() {
  static const bool entered = [] {
    if (::unshare(CLONE_NEWNET) != 0) {
      return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
      return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return up;
  }();
  return entered;
}

}  // namespace quorvel::testing

#define REQUIRE_PRIVATE_NETWORK()                                                        \
  do {                                                                                   \
    if (!::quorvel::testing::enterPrivateNetwork()) {                                    \
      GTEST_SKIP() << "needs root to run in a network namespace of its own";             \
    }                                                                                    \
  } while (false)
