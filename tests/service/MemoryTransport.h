// A transport over an in-memory byte stream: the test decides how the bytes
// arrive (in which pieces), whether writes complete, and when input ends, so
// every run is deterministic.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "common/transport/SocketTransport.h"

namespace quorvel::testing {

// Meets Asio's AsyncReadStream and AsyncWriteStream, so the real composed
// operations (read until, read exactly, write all) run over it. Each read
// takes bytes from the front arrival only: arrivals are the read boundaries.
class MemoryStream {
 public:
  using executor_type = boost::asio::io_context::executor_type;
  using Completion = std::function<void(const boost::system::error_code&, std::size_t)>;

  explicit MemoryStream(boost::asio::io_context& io) : io(io) {}

  executor_type get_executor() { return io.get_executor(); }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    auto target = toVector<boost::asio::mutable_buffer>(buffers);
    Completion done = wrap(std::forward<Handler>(handler));
    if (boost::asio::buffer_size(target) == 0) {
      post(std::move(done), {}, 0);
      return;
    }
    pendingRead = {std::move(target), std::move(done)};
    serveRead();
  }

  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    auto source = toVector<boost::asio::const_buffer>(buffers);
    Completion done = wrap(std::forward<Handler>(handler));
    if (closed) {
      post(std::move(done), boost::asio::error::operation_aborted, 0);
      return;
    }
    if (writesHeld) {
      heldWrite = {std::move(source), std::move(done)};
      return;
    }
    std::size_t total = 0;
    for (const auto& buffer : source) {
      output.append(static_cast<const char*>(buffer.data()), buffer.size());
      total += buffer.size();
    }
    post(std::move(done), {}, total);
  }

  // Queues one arrival; an empty piece is ignored.
  void arrive(std::string piece) {
    if (!piece.empty()) {
      arrivals.push_back(std::move(piece));
    }
    serveRead();
  }

  // After the queued arrivals the reader sees the end of the stream.
  void endInput() {
    inputEnded = true;
    serveRead();
  }

  // A peer that stops reading: writes stay pending until the stream closes.
  void holdWrites() { writesHeld = true; }

  void close() {
    closed = true;
    for (Completion* done : {&pendingRead.done, &heldWrite.done}) {
      if (*done) {
        post(std::exchange(*done, nullptr), boost::asio::error::operation_aborted, 0);
      }
    }
  }

  bool isClosed() const { return closed; }
  const std::string& written() const { return output; }

 private:
  template <typename Buffer, typename Buffers>
  static std::vector<Buffer> toVector(const Buffers& buffers) {
    return std::vector<Buffer>(boost::asio::buffer_sequence_begin(buffers), boost::asio::buffer_sequence_end(buffers));
  }

  template <typename Handler>
  static Completion wrap(Handler&& handler) {
    // Asio's operations are move-only in spirit; std::function wants a copy.
    auto shared = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    return [shared](const boost::system::error_code& error, std::size_t bytes) { (*shared)(error, bytes); };
  }

  void post(Completion done, boost::system::error_code error, std::size_t bytes) {
    boost::asio::post(io, [done = std::move(done), error, bytes] { done(error, bytes); });
  }

  void serveRead() {
    if (!pendingRead.done) {
      return;
    }
    if (closed) {
      post(std::exchange(pendingRead.done, nullptr), boost::asio::error::operation_aborted, 0);
    } else if (!arrivals.empty()) {
      std::string& front = arrivals.front();
      const std::size_t n = boost::asio::buffer_copy(pendingRead.buffers, boost::asio::buffer(front));
      front.erase(0, n);
      if (front.empty()) {
        arrivals.pop_front();
      }
      post(std::exchange(pendingRead.done, nullptr), {}, n);
    } else if (inputEnded) {
      post(std::exchange(pendingRead.done, nullptr), boost::asio::error::eof, 0);
    }
  }

  template <typename Buffer>
  struct Pending {
    std::vector<Buffer> buffers;
    Completion done;
  };

  boost::asio::io_context& io;
  std::deque<std::string> arrivals;
  bool inputEnded = false;
  bool writesHeld = false;
  bool closed = false;
  Pending<boost::asio::mutable_buffer> pendingRead;
  Pending<boost::asio::const_buffer> heldWrite;
  std::string output;
};

// Connected at once, like a plain TCP transport; shutdown closes the stream.
class MemoryTransport : public transport::StreamTransport<MemoryStream, transport::Transport> {
 public:
  explicit MemoryTransport(boost::asio::io_context& io) : StreamTransport(io, authentication::AuthInfoPtr(), io) {}

  void start(transport::WhileConnectionCallback callback, const std::string&) override {
    connected = true;
    if (callback) {
      callback(true, boost::system::error_code());
    }
    connectedSignal();
  }
  void cancel() override { stream.close(); }
  void shutdown() override {
    connected = false;
    stream.close();
  }

  using StreamTransport::stream;
};

}  // namespace quorvel::testing
