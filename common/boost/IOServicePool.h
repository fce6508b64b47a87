#pragma once

#include <cstddef>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

namespace quorvel::boostutils {

// The I/O contexts of the service, one thread each, handed out in turn so that
// every object bound to a context has its handlers run by one thread.
class IOServicePool {
 public:
  // 0 means one context per hardware thread.
  explicit IOServicePool(std::size_t poolSize);
  IOServicePool(const IOServicePool&) = delete;
  IOServicePool& operator=(const IOServicePool&) = delete;
  ~IOServicePool();

  boost::asio::io_service& getIOService();
  // Starts one thread per context; does nothing while earlier threads have not been joined.
  void run();
  // A zero timeout stops the contexts at once; otherwise they may run out on
  // their own until the timeout, after which they are stopped by force.
  void stop(const boost::posix_time::milliseconds& timeout);
  void forceStopThreads(const boost::system::error_code& error);
  // Destroys the contexts and every handler still queued on them, after
  // stopping any thread still running. Lets the owner tear down what those
  // handlers use (TLS, logging) only once nothing can reach it any more;
  // getIOService throws afterwards.
  void releaseServices();

 private:
  void joinThreads();

  boost::mutex mutex;
  std::vector<boost::shared_ptr<boost::asio::io_service>> ioServices;
  std::vector<boost::shared_ptr<boost::asio::io_service::work>> works;
  // Hand-out has its own lock so that a handler may ask for a context while stop joins.
  boost::mutex handOutMutex;
  std::size_t nextIndex = 0;
  std::vector<boost::shared_ptr<boost::thread>> threads;
};

}  // namespace quorvel::boostutils
