#include "wolproxy/include/appcontext/TerminationSignals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quorvel::calvexa {
namespace {

class Recorder {
 public:
  void record(int signum) {
    std::lock_guard<std::mutex> lock(mutex);
    signals.push_back(signum);
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return signals.size() >= count; });
  }
  std::vector<int> received() {
    std::lock_guard<std::mutex> lock(mutex);
    return signals;
  }
  std::vector<std::thread::id> handlerThreads() {
    std::lock_guard<std::mutex> lock(mutex);
    return threads;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> signals;
  std::vector<std::thread::id> threads;
};

TEST(TerminationSignalsTest, EachSignalReachesTheHandlerOnceOffTheSignalContext) {
  Recorder recorder;
  {
    TerminationSignals watch([&recorder](int signum) { recorder.record(signum); });
    const std::vector<int> sent = {SIGTERM, SIGINT, SIGQUIT, SIGTSTP, SIGABRT};
    for (std::size_t i = 0; i < sent.size(); ++i) {
      ASSERT_EQ(::kill(::getpid(), sent[i]), 0);
      ASSERT_TRUE(recorder.waitFor(i + 1)) << "signal " << sent[i] << " not handled";
    }
    EXPECT_EQ(recorder.received(), sent);
    for (const auto& id : recorder.handlerThreads()) {
      EXPECT_NE(id, std::this_thread::get_id());
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(recorder.received().size(), 5u);
}

TEST(TerminationSignalsTest, ThrowingHandlerDoesNotEndTheWatch) {
  Recorder recorder;
  TerminationSignals watch([&recorder](int signum) {
    recorder.record(signum);
    throw std::runtime_error("handler failed");
  });
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  ASSERT_TRUE(recorder.waitFor(2));
}

}  // namespace
}  // namespace quorvel::calvexa
