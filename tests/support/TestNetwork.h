// Network guards for tests: programs that broadcast run only inside the
// harness's service namespace (tests/harness/nimbrelnet.py run), and tests
// that listen move themselves into a namespace holding only `lo`.
#pragma once

#include <sched.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// The sanitizers' own checks need free descriptors, so descriptor-shortage
// tests cannot run under them.
#if defined(__SANITIZE_ADDRESS__)
#define NIMBREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NIMBREL_SANITIZED 1
#endif
#endif

namespace quorvel::testing {

// True when this process's network namespace is the harness's service namespace.
inline bool insideTestNetwork() {
  const char* name = std::getenv("NIMBREL_NS_SERVICE");
  struct stat own {};
  struct stat named {};
  return name != nullptr && *name != '\0' && ::stat("/proc/self/ns/net", &own) == 0 &&
         ::stat((std::string("/var/run/netns/") + name).c_str(), &named) == 0 && own.st_dev == named.st_dev &&
         own.st_ino == named.st_ino;
}

// Moves the whole process into a new namespace with only `lo` up (once); false without root.
inline bool enterPrivateNetwork() {
  static const bool entered = ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;
  return entered;
}

struct CapturedDatagram {
  std::string destination;
  std::string source;
  std::string bytes;
};

// Datagrams the harness captured on a port in the peer namespace so far, in arrival order.
inline std::vector<CapturedDatagram> capturedDatagrams(unsigned short port) {
  std::vector<CapturedDatagram> result;
  const char* dir = std::getenv("NIMBREL_CAPTURE_DIR");
  std::ifstream in(std::string(dir ? dir : "/nonexistent") + "/udp-" + std::to_string(port) + ".txt");
  // Lines are "destination source hex"; a line without its newline is still being written.
  for (std::string line; std::getline(in, line) && !in.eof();) {
    CapturedDatagram& d = result.emplace_back();
    const auto first = line.find(' ');
    const auto second = line.find(' ', first + 1);
    d.destination = line.substr(0, first);
    d.source = line.substr(first + 1, second - first - 1);
    for (std::size_t i = second + 1; i + 1 < line.size(); i += 2) {
      d.bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
  }
  return result;
}

}  // namespace quorvel::testing

#define REQUIRE_PRIVATE_NETWORK()                                            \
  do {                                                                       \
    if (!::quorvel::testing::enterPrivateNetwork()) {                        \
      GTEST_SKIP() << "needs root to run in a network namespace of its own"; \
    }                                                                        \
  } while (false)
