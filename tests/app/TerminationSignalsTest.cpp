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
    offMainThread = offMainThread && std::this_thread::get_id() != mainThread;
    changed.notify_all();
  }
  // Sends the signal and waits until the handler saw it.
  bool raiseAndWait(int signum) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::size_t count = signals.size() + 1;
    ::kill(::getpid(), signum);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return signals.size() >= count; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> signals;
  const std::thread::id mainThread = std::this_thread::get_id();
  bool offMainThread = true;
};

TEST(TerminationSignalsTest, EachSignalReachesTheHandlerOnceOffTheSignalContext) {
  Recorder recorder;
  const std::vector<int> sent = {SIGTERM, SIGINT, SIGQUIT, SIGTSTP, SIGABRT};
  {
    TerminationSignals watch([&recorder](int signum) { recorder.record(signum); });
    for (int signum : sent) {
      ASSERT_TRUE(recorder.raiseAndWait(signum)) << "signal " << signum << " not handled";
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> lock(recorder.mutex);
  EXPECT_EQ(recorder.signals, sent);
  EXPECT_TRUE(recorder.offMainThread);
}

TEST(TerminationSignalsTest, ThrowingHandlerDoesNotEndTheWatch) {
  Recorder recorder;
  TerminationSignals watch([&recorder](int signum) {
    recorder.record(signum);
    throw std::runtime_error("handler failed");
  });
  ASSERT_TRUE(recorder.raiseAndWait(SIGTERM));
  ASSERT_TRUE(recorder.raiseAndWait(SIGINT));
}

}  // namespace
}  // namespace quorvel::calvexa
