// A transport over an in-memory byte stream: the test decides how the bytes
// arrive (in which pieces), whether writes complete, and when input ends, so
// every run is deterministic.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "common/transport/SocketTransport.h"

namespace quorvel::testing {

// Meets Asio's stream requirements, so the real composed operations run over
// it. A read takes bytes from the front arrival only: arrivals are the read
// boundaries.
class MemoryStream {
 public:
  using executor_type = boost::asio::io_context::executor_type;
  using Completion = std::function<void(boost::system::error_code, std::size_t)>;

  explicit MemoryStream(boost::asio::io_context& io) : io(io) {}
  executor_type get_executor() { return io.get_executor(); }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    readBuffers.assign(boost::asio::buffer_sequence_begin(buffers), boost::asio::buffer_sequence_end(buffers));
    pendingRead = wrap(std::forward<Handler>(handler));
    serveRead();
  }

  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    if (writesHeld && !closed) {
      heldWrite = wrap(std::forward<Handler>(handler));  // completes, aborted, when the stream closes
      return;
    }
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      writtenFrom.push_back(it->data());
    }
    // Nothing may follow the end of our side.
    const bool refused = closed || outputEnded;
    const std::size_t size = refused ? 0 : boost::asio::buffer_size(buffers);
    output.resize(output.size() + size);
    boost::asio::buffer_copy(boost::asio::buffer(output.data() + output.size() - size, size), buffers);
    const auto error = closed ? boost::asio::error::operation_aborted
                              : outputEnded ? boost::asio::error::shut_down : boost::system::error_code();
    post(wrap(std::forward<Handler>(handler)), error, size);
  }

  void arrive(std::string piece) {
    if (!piece.empty()) arrivals.push_back(std::move(piece));
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
    // A real socket closed over unread input sends a reset, which can destroy the last reply at the peer.
    unreadAtClose = unreadAtClose || (!closed && !arrivals.empty());
    closed = true;
    serveRead();
    if (heldWrite) post(std::exchange(heldWrite, nullptr), boost::asio::error::operation_aborted, 0);
  }

  // This side's end of the stream (close notification and FIN): what a
  // client reading to the end waits for.
  void endOutput() { outputEnded = true; }
  bool isOutputEnded() const { return outputEnded; }

  bool isClosed() const { return closed; }
  bool closedOverUnreadInput() const { return unreadAtClose; }
  // Where each written buffer's bytes were taken from, to tell a copy from the original.
  std::vector<const void*> writtenFrom;
  const std::string& written() const { return output; }

 private:
  template <typename Handler>
  static Completion wrap(Handler&& handler) {
    // std::function wants a copyable target; Asio's handlers are move-only.
    auto shared = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    return [shared](boost::system::error_code error, std::size_t bytes) { (*shared)(error, bytes); };
  }

  void post(Completion done, boost::system::error_code error, std::size_t bytes) {
    boost::asio::post(io, [done = std::move(done), error, bytes] { done(error, bytes); });
  }

  void serveRead() {
    if (!pendingRead) return;
    if (closed) {
      post(std::exchange(pendingRead, nullptr), boost::asio::error::operation_aborted, 0);
    } else if (boost::asio::buffer_size(readBuffers) == 0 || !arrivals.empty()) {
      const std::size_t n =
          arrivals.empty() ? 0 : boost::asio::buffer_copy(readBuffers, boost::asio::buffer(arrivals.front()));
      if (n != 0 && arrivals.front().erase(0, n).empty()) {
        arrivals.pop_front();
      }
      post(std::exchange(pendingRead, nullptr), {}, n);
    } else if (inputEnded) {
      post(std::exchange(pendingRead, nullptr), boost::asio::error::eof, 0);
    }
  }

  boost::asio::io_context& io;
  std::deque<std::string> arrivals;
  bool inputEnded = false;
  bool writesHeld = false;
  bool closed = false;
  bool outputEnded = false;
  bool unreadAtClose = false;
  std::vector<boost::asio::mutable_buffer> readBuffers;
  Completion pendingRead;
  Completion heldWrite;
  std::string output;
};

// Connected at once, like a plain TCP transport; shutdown closes the stream.
class MemoryTransport : public transport::StreamTransport<MemoryStream, transport::Transport> {
 public:
  explicit MemoryTransport(boost::asio::io_context& io) : StreamTransport(io, authentication::AuthInfoPtr(), io) {}

  void start(transport::WhileConnectionCallback callback, const std::string&) override {
    connected = true;
    if (callback) callback(true, boost::system::error_code());
    connectedSignal();
  }
  void cancel() override { stream.close(); }
  void shutdown() override {
    connected = false;
    stream.close();
  }
  void async_close_write(transport::IoCallback callback) override {
    connected = false;
    stream.endOutput();
    boost::asio::post(stream.get_executor(), [callback = std::move(callback)] { callback({}, 0); });
  }

  using StreamTransport::stream;
};

}  // namespace quorvel::testing
