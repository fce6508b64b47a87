// Drives the Wake-on-LAN manager on a real I/O pool for the end-to-end tests.
// Refuses to run outside the harness's service namespace.
//
//   wol_send_probe [--port N] [--mac M] [--password P] [--burst N] [--no-descriptors]
//   wol_send_probe --stop-while-sending
//
// Prints one line per step (log lines interleave): "open done", "send ok|failed",
// "burst ok N/M", then waits for a line (or end of input) on stdin before it
// stops the manager, so the caller can first collect what arrived; then prints
// "after stop ok|failed" and "exit".
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <memory>
#include <thread>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include "common/boost/IOServicePool.h"
#include "wol/TestNetwork.h"
#include "wolproxy/include/wolmanager/WolManager.h"

namespace {

constexpr auto kHandlerWait = std::chrono::seconds(5);

// The pool has one context, so a handler posted now runs after everything posted before.
// A plain flag rather than a future: it must work while descriptors are used up.
bool drainPosted(quorvel::boostutils::IOServicePool& pool) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  boost::asio::post(pool.getIOService(), [ran] { ran->store(true); });
  const auto deadline = std::chrono::steady_clock::now() + kHandlerWait;
  while (!ran->load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ran->load();
}

void setUpLogging() {
  log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(false, true));
  console->setLayout(std::make_unique<log4cplus::PatternLayout>("%-5p %c - %m%n"));
  auto root = log4cplus::Logger::getRoot();
  root.addAppender(console);
  root.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
}

std::string burstMac(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "02:00:00:00:%02X:%02X", (i >> 8) & 0xFF, i & 0xFF);
  return text;
}

// Takes every free descriptor so that opening a socket fails.
std::vector<int> exhaustDescriptors(rlimit& saved) {
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 256;
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> held;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
    held.push_back(fd);
  }
  return held;
}

}  // namespace

int main(int argc, char** argv) {
  if (!quorvel::testing::insideTestNetwork()) {
    std::fprintf(stderr, "wol_send_probe sends broadcasts; run it through tests/harness/netns.\n");
    return 77;
  }
  std::uint16_t port = 9;
  std::string mac = "AA:BB:CC:DD:EE:FF";
  std::string password;
  int burst = 0;
  bool noDescriptors = false;
  bool stopWhileSending = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      port = static_cast<std::uint16_t>(std::stoi(argv[++i]));
    } else if (arg == "--mac" && hasValue) {
      mac = argv[++i];
    } else if (arg == "--password" && hasValue) {
      password = argv[++i];
    } else if (arg == "--burst" && hasValue) {
      burst = std::stoi(argv[++i]);
    } else if (arg == "--no-descriptors") {
      noDescriptors = true;
    } else if (arg == "--stop-while-sending") {
      stopWhileSending = true;
    } else {
      std::fprintf(stderr, "wol_send_probe: unknown argument '%s'\n", arg.c_str());
      return 2;
    }
  }

#ifdef NIMBREL_SANITIZED
  if (noDescriptors) {
    std::cout << "skipped: no descriptor shortage under the sanitizers" << std::endl;
    return 77;
  }
#endif

  log4cplus::Initializer logInit;
  setUpLogging();
  quorvel::boostutils::IOServicePool pool(1);
  quorvel::velmora::WolManager manager(&pool);
  // As in the service: the open is posted before the pool's thread starts.
  manager.init(port);
  {
    rlimit saved{};
    std::vector<int> held;
    if (noDescriptors) {
      held = exhaustDescriptors(saved);
    }
    pool.run();
    const bool alive = drainPosted(pool);
    for (int fd : held) {
      ::close(fd);
    }
    if (noDescriptors) {
      setrlimit(RLIMIT_NOFILE, &saved);
    }
    if (!alive) {
      std::cout << "io thread dead" << std::endl;
      return 3;
    }
    std::cout << "open done" << std::endl;
  }

  if (stopWhileSending) {
    // Connection threads keep sending while the context shuts the manager down.
    constexpr int kSenders = 4;
    constexpr int kMaxSendsEach = 20000;
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
      senders.emplace_back([&] {
        for (int i = 0; i < kMaxSendsEach; ++i) {
          if (!manager.sendWOLPacket(mac, password)) {
            ++refused;
            return;
          }
          ++accepted;
        }
      });
    }
    while (accepted.load() < 100) {
      std::this_thread::yield();
    }
    manager.stop();
    for (auto& sender : senders) {
      sender.join();
    }
    std::cout << "stopped while sending, refused " << refused.load() << "/" << kSenders << std::endl;
  } else if (burst > 0) {
    int ok = 0;
    for (int i = 0; i < burst; ++i) {
      ok += manager.sendWOLPacket(burstMac(i), password) ? 1 : 0;
    }
    std::cout << "burst ok " << ok << "/" << burst << std::endl;
  } else {
    std::cout << (manager.sendWOLPacket(mac, password) ? "send ok" : "send failed") << std::endl;
  }

  std::string line;
  std::getline(std::cin, line);

  manager.stop();
  const bool afterStop = manager.sendWOLPacket(mac, password);
  std::cout << (afterStop ? "after stop ok" : "after stop failed") << std::endl;
  drainPosted(pool);
  pool.stop(boost::posix_time::milliseconds(2000));
  std::cout << "exit" << std::endl;
  return 0;
}
