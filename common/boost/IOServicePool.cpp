#include "common/boost/IOServicePool.h"

#include <stdexcept>

#include <exception>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/crypto.h>

namespace quorvel::boostutils {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("IOServicePool");

namespace {

// Used when the system does not report its hardware threads.
constexpr std::size_t kFallbackPoolSize = 4;

void runIOService(boost::shared_ptr<boost::asio::io_service> ioService) {
  // A handler that throws must not take the context's only thread with it:
  // everything bound to the context would silently stop being served.
  for (;;) {
    try {
      ioService->run();
      break;
    } catch (const std::exception& e) {
      LOG4CPLUS_ERROR(logger, "Exception escaped an I/O handler: '" << e.what() << "', running the I/O context again.");
    } catch (...) {
      LOG4CPLUS_ERROR(logger, "Unknown exception escaped an I/O handler, running the I/O context again.");
    }
  }
  log4cplus::threadCleanup();
  OPENSSL_thread_stop();
}

}  // namespace

IOServicePool::IOServicePool(std::size_t poolSize) {
  if (poolSize == 0) {
    poolSize = boost::thread::hardware_concurrency();
  }
  if (poolSize == 0) {
    poolSize = kFallbackPoolSize;
  }
  for (std::size_t i = 0; i < poolSize; ++i) {
    auto ioService = boost::make_shared<boost::asio::io_service>();
    works.push_back(boost::make_shared<boost::asio::io_service::work>(*ioService));
    ioServices.push_back(std::move(ioService));
  }
}

IOServicePool::~IOServicePool() {
  // Threads still running here would outlive the contexts they run.
  works.clear();
  for (auto& ioService : ioServices) {
    ioService->stop();
  }
  joinThreads();
}

boost::asio::io_service& IOServicePool::getIOService() {
  boost::lock_guard<boost::mutex> lock(handOutMutex);
  if (ioServices.empty()) {
    throw std::logic_error("the I/O thread pool has been released");
  }
  boost::asio::io_service& ioService = *ioServices[nextIndex];
  nextIndex = nextIndex + 1 == ioServices.size() ? 0 : nextIndex + 1;
  return ioService;
}

void IOServicePool::releaseServices() {
  boost::lock_guard<boost::mutex> lock(mutex);
  works.clear();
  for (auto& ioService : ioServices) {
    ioService->stop();
  }
  joinThreads();
  std::vector<boost::shared_ptr<boost::asio::io_service>> released;
  {
    boost::lock_guard<boost::mutex> handOut(handOutMutex);
    released.swap(ioServices);
    nextIndex = 0;
  }
  // Destroyed outside the hand-out lock: a handler's destructor may ask for a context.
  released.clear();
}

void IOServicePool::run() {
  boost::lock_guard<boost::mutex> lock(mutex);
  for (const auto& thread : threads) {
    if (thread->joinable()) {
      LOG4CPLUS_WARN(logger, "The worker threads are already running, not starting them again.");
      return;
    }
  }
  threads.clear();
  for (const auto& ioService : ioServices) {
    threads.push_back(boost::make_shared<boost::thread>([ioService] { runIOService(ioService); }));
  }
}

void IOServicePool::stop(const boost::posix_time::milliseconds& timeout) {
  boost::lock_guard<boost::mutex> lock(mutex);
  if (timeout.total_milliseconds() == 0) {
    for (auto& ioService : ioServices) {
      ioService->stop();
    }
    joinThreads();
    return;
  }

  for (auto& work : works) {
    work.reset();
  }
  works.clear();

  auto timerService = boost::make_shared<boost::asio::io_service>();
  boost::asio::deadline_timer timer(*timerService);
  timer.expires_from_now(timeout);
  timer.async_wait([this](const boost::system::error_code& error) { forceStopThreads(error); });
  boost::thread timerThread([timerService] { runIOService(timerService); });

  joinThreads();

  // The timer belongs to the timer thread's context, so it is cancelled there.
  boost::asio::post(*timerService, [&timer] { timer.cancel(); });
  timerThread.join();
}

void IOServicePool::forceStopThreads(const boost::system::error_code& error) {
  if (error) {
    return;
  }
  LOG4CPLUS_ERROR(logger, "Not all worker threads exited on their own, forcing shutdown of worker threads!");
  for (auto& ioService : ioServices) {
    ioService->stop();
  }
}

void IOServicePool::joinThreads() {
  for (auto& thread : threads) {
    // A pool thread cannot wait for itself.
    if (thread->joinable() && thread->get_id() != boost::this_thread::get_id()) {
      thread->join();
    }
  }
}

}  // namespace quorvel::boostutils
