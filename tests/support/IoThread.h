// An I/O context run by a thread of its own, as the pool runs every
// connection's, and a way to hand work to it and wait for the result.
#pragma once

#include <future>
#include <thread>
#include <utility>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

namespace quorvel::testing {

class IoThread {
 public:
  IoThread() = default;
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;
  ~IoThread() { stop(); }

  // Runs fn on the I/O thread and waits for it.
  template <typename Fn>
  auto call(Fn fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    boost::asio::post(io, [&task] { task(); });
    return task.get_future().get();
  }

  // Connects client over loopback to server, which is accepted on the I/O thread.
  void connect(boost::asio::ip::tcp::socket& client, boost::asio::ip::tcp::socket& server) {
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    std::promise<boost::system::error_code> accepted;
    call([&] { acceptor.async_accept(server, [&](auto error) { accepted.set_value(error); }); });
    client.connect(acceptor.local_endpoint());
    EXPECT_FALSE(accepted.get_future().get());
  }

  // Lets the handlers still queued run, then ends the thread. Owners whose
  // handlers use their own members call it before those members go.
  void stop() {
    if (ioThread.joinable()) {
      work.reset();
      io.stop();
      ioThread.join();
    }
  }

  boost::asio::io_service io;

 private:
  boost::asio::executor_work_guard<boost::asio::io_service::executor_type> work{io.get_executor()};
  std::thread ioThread{[this] { io.run(); }};
};

}  // namespace quorvel::testing
