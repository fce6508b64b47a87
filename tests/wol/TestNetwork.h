// Guards for programs that open broadcast sockets: they run only inside the
// service namespace that tests/harness/netns created, never on a real network.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Descriptor-shortage tests cannot run under the sanitizers: their own checks
// need free descriptors and report false errors without them.
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
  if (name == nullptr || *name == '\0') {
    return false;
  }
  struct stat own {};
  struct stat named {};
  const std::string path = std::string("/var/run/netns/") + name;
  if (::stat("/proc/self/ns/net", &own) != 0 || ::stat(path.c_str(), &named) != 0) {
    return false;
  }
  return own.st_dev == named.st_dev && own.st_ino == named.st_ino;
}

struct CapturedDatagram {
  std::string destination;
  std::string source;
  std::string bytes;
};

// Datagrams the harness captured on a port in the peer namespace so far
// (`netns run --capture PORT`), in arrival order.
inline std::vector<CapturedDatagram> capturedDatagrams(unsigned short port) {
  std::vector<CapturedDatagram> result;
  const char* dir = std::getenv("NIMBREL_CAPTURE_DIR");
  if (dir == nullptr) {
    return result;
  }
  std::ifstream in(std::string(dir) + "/udp-" + std::to_string(port) + ".txt");
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;  // a line without its newline is still being written
    }
    CapturedDatagram d;
    const auto first = line.find(' ');
    const auto second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
      continue;
    }
    d.destination = line.substr(0, first);
    d.source = line.substr(first + 1, second - first - 1);
    const std::string hex = line.substr(second + 1);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      d.bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    result.push_back(std::move(d));
  }
  return result;
}

}  // namespace quorvel::testing
