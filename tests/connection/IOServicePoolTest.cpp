#include "common/boost/IOServicePool.h"

#include <gtest/gtest.h>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "support/LogCapture.h"

namespace quorvel::boostutils {
namespace {

using quorvel::testing::kDeadline;
using quorvel::testing::LogCapture;
using quorvel::testing::LogWaiter;
using namespace std::chrono_literals;

const char* const kForcedStop = "Not all worker threads exited on their own, forcing shutdown of worker threads!";

template <typename T>
T waitFor(std::future<T>& future) {
  if (future.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "timed out";
    std::abort();  // a hung pool thread cannot be recovered from
  }
  return future.get();
}

std::thread::id threadOf(boost::asio::io_service& ioService) {
  std::promise<std::thread::id> id;
  auto result = id.get_future();
  boost::asio::post(ioService, [&id] { id.set_value(std::this_thread::get_id()); });
  return waitFor(result);
}

TEST(IOServicePool, HandsOutContextsInTurnEachRunByItsOwnThread) {
  IOServicePool pool(3);
  std::vector<boost::asio::io_service*> handedOut;
  for (int i = 0; i < 7; ++i) {
    handedOut.push_back(&pool.getIOService());
  }
  EXPECT_EQ(std::set<boost::asio::io_service*>(handedOut.begin(), handedOut.begin() + 3).size(), 3u);
  for (std::size_t i = 3; i < handedOut.size(); ++i) {
    EXPECT_EQ(handedOut[i], handedOut[i - 3]) << "at " << i;
  }

  // Work handed to a context before run waits for its thread.
  std::promise<std::thread::id> early;
  auto earlyResult = early.get_future();
  boost::asio::post(*handedOut[0], [&early] { early.set_value(std::this_thread::get_id()); });
  pool.run();

  std::set<std::thread::id> threads;
  for (int i = 0; i < 3; ++i) {
    const auto first = threadOf(*handedOut[i]);
    EXPECT_EQ(first, threadOf(*handedOut[i])) << "context " << i << " changed threads";
    EXPECT_NE(first, std::this_thread::get_id());
    threads.insert(first);
  }
  EXPECT_EQ(threads.size(), 3u);
  EXPECT_EQ(waitFor(earlyResult), threadOf(*handedOut[0]));
  pool.stop(boost::posix_time::milliseconds(5000));
}

TEST(IOServicePool, ThrowingHandlerIsLoggedAndItsContextKeepsRunning) {
  LogCapture log;
  IOServicePool pool(2);
  auto& first = pool.getIOService();
  auto& second = pool.getIOService();
  pool.run();
  const auto before = threadOf(first);

  boost::asio::post(first, [] { throw std::runtime_error("handler failed"); });
  boost::asio::post(first, [] { throw 42; });
  EXPECT_EQ(threadOf(first), before);
  EXPECT_NE(threadOf(second), before);
  EXPECT_TRUE(log.contains("handler failed", log4cplus::ERROR_LOG_LEVEL));
  EXPECT_EQ(&pool.getIOService(), &first);

  pool.stop(boost::posix_time::milliseconds(5000));
  EXPECT_FALSE(log.contains(kForcedStop));
}

TEST(IOServicePool, TimedStopWithoutPendingWorkReturnsAtOnce) {
  LogCapture log;
  IOServicePool pool(2);
  pool.run();
  threadOf(pool.getIOService());
  const auto start = std::chrono::steady_clock::now();
  pool.stop(boost::posix_time::milliseconds(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_FALSE(log.contains(kForcedStop));
}

TEST(IOServicePool, TimedStopForcesPendingOperationsAfterTheLimit) {
  LogCapture log;
  IOServicePool pool(2);
  pool.run();
  // A pending wait keeps the context busy the way an idle connection does.
  boost::asio::deadline_timer pending(pool.getIOService());
  pending.expires_from_now(boost::posix_time::hours(1));
  pending.async_wait([](const boost::system::error_code&) {});

  const auto start = std::chrono::steady_clock::now();
  pool.stop(boost::posix_time::milliseconds(200));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(log.count(kForcedStop, log4cplus::ERROR_LOG_LEVEL), 1u);
}

TEST(IOServicePool, HandlerBlockingPastTheLimitMayStillAskForAContext) {
  LogCapture log;
  LogWaiter forced(kForcedStop);
  IOServicePool pool(2);
  auto& busy = pool.getIOService();
  pool.run();

  std::promise<bool> handedOut;
  auto handedOutResult = handedOut.get_future();
  boost::asio::post(busy, [&] {
    // Still running once the stop has given up waiting and holds its lock across the joins.
    forced.wait();
    pool.getIOService();
    handedOut.set_value(true);
  });

  auto stopped = std::async(std::launch::async, [&] { pool.stop(boost::posix_time::milliseconds(100)); });
  EXPECT_TRUE(waitFor(handedOutResult));
  waitFor(stopped);
  EXPECT_TRUE(log.contains(kForcedStop, log4cplus::ERROR_LOG_LEVEL));
}

TEST(IOServicePool, SecondRunWhileRunningStartsNoSecondThreadOnAContext) {
  LogCapture log;
  IOServicePool pool(1);
  auto& only = pool.getIOService();
  pool.run();
  pool.run();

  std::promise<void> release;
  std::promise<void> secondRan;
  auto secondResult = secondRan.get_future();
  boost::asio::post(only, [&] { release.get_future().wait_for(kDeadline); });
  boost::asio::post(only, [&] { secondRan.set_value(); });
  // With a second thread on the context the second handler would overtake the blocked first one.
  EXPECT_EQ(secondResult.wait_for(200ms), std::future_status::timeout);
  release.set_value();
  waitFor(secondResult);
  pool.stop(boost::posix_time::milliseconds(5000));
}

TEST(IOServicePool, DestroyingARunningPoolJoinsItsThreads) {
  auto pool = std::make_unique<IOServicePool>(2);
  auto& first = pool->getIOService();
  pool->run();
  threadOf(first);
  auto destroyed = std::async(std::launch::async, [&] { pool.reset(); });
  waitFor(destroyed);
}

TEST(IOServicePool, ReleaseDestroysWhatAForcedStopLeftQueued) {
  IOServicePool pool(1);
  pool.run();
  // What a queued handler owns (a connection, a TLS stream) must be gone once
  // the pool is released, not later at the pool's own destruction.
  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owned;
  auto pending = std::make_unique<boost::asio::deadline_timer>(pool.getIOService());
  pending->expires_from_now(boost::posix_time::hours(1));
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
