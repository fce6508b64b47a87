#include "common/boost/IOServicePool.h"

#include <gtest/gtest.h>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/post.hpp>

#include <future>
#include <set>
#include <stdexcept>
#include <thread>

#include "support/LogCapture.h"

namespace quorvel::boostutils {
namespace {

using namespace std::chrono_literals;

const char* const kForcedStop = "Not all worker threads exited on their own, forcing shutdown of worker threads!";

// Handlers still reference the caller's frame: a hang aborts instead of returning.
template <typename T>
T await(std::future<T> future) {
  if (future.wait_for(10s) != std::future_status::ready) std::abort();
  return future.get();
}

std::thread::id threadOf(boost::asio::io_service& ioService) {
  std::promise<std::thread::id> id;
  boost::asio::post(ioService, [&id] { id.set_value(std::this_thread::get_id()); });
  return await(id.get_future());
}

TEST(IOServicePool, HandsOutContextsInTurnEachOnOneThreadThroughThrowsAndStopsPromptlyWhenIdle) {
  testing::LogCapture log;
  IOServicePool pool(3);
  boost::asio::io_service* handedOut[6];
  for (auto& context : handedOut) context = &pool.getIOService();
  pool.run();
  pool.run();  // no second thread on any context while the first ones live
  std::set<std::thread::id> threads;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(handedOut[i + 3], handedOut[i]) << i;
    threads.insert(threadOf(*handedOut[i]));
  }
  EXPECT_EQ(threads.size(), 3u);

  // A throwing handler is logged and its context runs on, on the same thread.
  const auto before = threadOf(*handedOut[1]);
  boost::asio::post(*handedOut[1], [] { throw std::runtime_error("handler failed"); });
  boost::asio::post(*handedOut[1], [] { throw 42; });
  EXPECT_EQ(threadOf(*handedOut[1]), before);
  EXPECT_TRUE(log.contains("handler failed", log4cplus::ERROR_LOG_LEVEL));

  // With a second thread on the context the second handler would overtake the blocked first one.
  std::promise<void> release;
  boost::asio::post(*handedOut[0], [&] { release.get_future().wait_for(10s); });
  auto second = std::async(std::launch::async, [&] { return threadOf(*handedOut[0]); });
  EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
  release.set_value();
  await(std::move(second));

  const auto start = std::chrono::steady_clock::now();
  pool.stop(boost::posix_time::milliseconds(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_FALSE(log.contains(kForcedStop));
}

TEST(IOServicePool, TimedStopForcesABlockedHandlerWhichMayStillAskForAContext) {
  testing::LogCapture log;
  IOServicePool pool(2);
  auto& busy = pool.getIOService();
  pool.run();
  std::promise<void> handedOut;
  boost::asio::post(busy, [&] {
    // Still running once the stop has given up waiting and is joining.
    while (!log.contains(kForcedStop)) std::this_thread::yield();
    pool.getIOService();
    handedOut.set_value();
  });
  const auto start = std::chrono::steady_clock::now();
  auto stopped = std::async(std::launch::async, [&] { pool.stop(boost::posix_time::milliseconds(100)); });
  await(handedOut.get_future());
  await(std::move(stopped));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(log.count(kForcedStop, log4cplus::ERROR_LOG_LEVEL), 1u);
}

TEST(IOServicePool, ReleaseDestroysWhatAForcedStopLeftQueued) {
  IOServicePool pool(1);
  pool.run();
  // What a queued handler owns (a connection, a TLS stream) must be gone once
  // the pool is released, not later at the pool's own destruction.
  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owned;
  auto pending = std::make_unique<boost::asio::deadline_timer>(pool.getIOService(), boost::posix_time::hours(1));
  pending->async_wait([owned = std::move(owned)](const boost::system::error_code&) {});
  pool.stop(boost::posix_time::milliseconds(50));
  pending.reset();  // the aborted wait stays queued on the stopped context
  EXPECT_FALSE(watch.expired());
  pool.releaseServices();
  EXPECT_TRUE(watch.expired());
  EXPECT_THROW(pool.getIOService(), std::logic_error);
}

}  // namespace
}  // namespace quorvel::boostutils
