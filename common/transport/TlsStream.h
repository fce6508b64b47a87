#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/ssl.h>

namespace quorvel::transport {

// A TLS stream over a TCP socket whose session reads and writes the socket
// itself, waiting on it through Asio when it would block. An idle connection
// then holds no record buffers at all: OpenSSL lets go of its own while idle,
// where Asio's ssl::stream keeps four of 17 KiB (two of its own, two in its
// BIO pair) for the stream's life. Offers what the composed reads and writes
// need, plus the handshake and the sending of the close notification.
class TlsStream {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;
  using next_layer_type = boost::asio::ip::tcp::socket;

  TlsStream(boost::asio::ip::tcp::socket&& socket, boost::asio::ssl::context& context);
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  executor_type get_executor() { return socket.get_executor(); }
  next_layer_type& next_layer() { return socket; }
  SSL* native_handle() { return ssl.get(); }

  template <typename Handler>
  auto async_handshake(boost::asio::ssl::stream_base::handshake_type type, Handler&& handler) {
    setRole(type);
    return start<void(boost::system::error_code)>([this] { return tryHandshake(); }, std::forward<Handler>(handler));
  }

  // Completes once the close notification has been handed to the socket; it
  // does not wait for the peer's.
  template <typename Handler>
  auto async_shutdown(Handler&& handler) {
    return start<void(boost::system::error_code)>([this] { return tryShutdown(); }, std::forward<Handler>(handler));
  }

  template <typename MutableBuffers, typename Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    const auto buffer = first<boost::asio::mutable_buffer>(buffers);
    return start<void(boost::system::error_code, std::size_t)>([this, buffer] { return tryRead(buffer); },
                                                               std::forward<Handler>(handler));
  }

  template <typename ConstBuffers, typename Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    return start<void(boost::system::error_code, std::size_t)>(
        [this, buffers] {
          // Joined anew on each try: the bytes are the same, only their place moves.
          std::array<char, kJoinLimit> joined;
          return tryWrite(join(buffers, joined));
        },
        std::forward<Handler>(handler));
  }

  // What the session's BIO knows of the socket.
  struct BioState {
    int fd = -1;
    int lastError = 0;
  };

 private:
  enum class Wait { Nothing, Read, Write };
  // What one call into the session came to: done (with an error or a byte
  // count), or waiting for the socket.
  struct Step {
    Wait wait = Wait::Nothing;
    boost::system::error_code error;
    std::size_t bytes = 0;
  };

  template <typename Attempt, bool WithBytes>
  class Operation;

  template <typename Signature, typename Attempt, typename Handler>
  auto start(Attempt attempt, Handler&& handler);

  // Small pieces in a row (a reply's head and body) go out as one record, so
  // one segment and one send, not one per piece.
  static constexpr std::size_t kJoinLimit = 8 * 1024;

  template <typename Buffers>
  static boost::asio::const_buffer join(const Buffers& buffers, std::array<char, kJoinLimit>& joined) {
    const auto head = first<boost::asio::const_buffer>(buffers);
    if (head.size() >= joined.size()) {
      return head;
    }
    const std::size_t size = boost::asio::buffer_copy(boost::asio::buffer(joined), buffers);
    return size == head.size() ? head : boost::asio::const_buffer(joined.data(), size);
  }

  template <typename Buffer, typename Buffers>
  static Buffer first(const Buffers& buffers) {
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const Buffer buffer(*it);
      if (buffer.size() != 0) {
        return buffer;
      }
    }
    return Buffer();
  }

  // Once per handshake: setting it again would restart the handshake.
  void setRole(boost::asio::ssl::stream_base::handshake_type type);
  Step tryHandshake();
  Step tryShutdown();
  Step tryRead(boost::asio::mutable_buffer buffer);
  Step tryWrite(boost::asio::const_buffer buffer);
  // The session works on the socket's descriptor: never once the socket is
  // closed, when the number may already belong to another connection.
  bool attach(boost::system::error_code& error);
  // One call into the session, on nothing when there is nothing to move.
  template <typename Call>
  Step attempt(std::size_t size, Call call);
  void clearErrors();
  Step outcome(int result, std::size_t bytes);

  boost::asio::ip::tcp::socket socket;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl;
  BioState bioState;
  bool attached = false;
};

// Tries the call; while the session waits for the socket, waits on it and
// tries again. Never completes inside the initiating call, as Asio's own
// operations do not.
template <typename Attempt, bool WithBytes>
class TlsStream::Operation {
 public:
  Operation(TlsStream& stream, Attempt attempt) : stream(stream), attempt(std::move(attempt)) {}

  template <typename Self>
  void operator()(Self& self, const boost::system::error_code& waited = {}) {
    if (state == State::Done) {
      return finish(self);
    }
    if (state == State::Waiting && waited) {
      step = Step{Wait::Nothing, waited, 0};
      return finish(self);
    }
    step = attempt();
    if (step.wait != Wait::Nothing) {
      state = State::Waiting;
      stream.socket.async_wait(step.wait == Wait::Read ? boost::asio::socket_base::wait_read
                                                       : boost::asio::socket_base::wait_write,
                               std::move(self));
      return;
    }
    if (state == State::Starting) {
      state = State::Done;
      boost::asio::post(stream.get_executor(), std::move(self));
      return;
    }
    finish(self);
  }

 private:
  enum class State { Starting, Waiting, Done };

  template <typename Self>
  void finish(Self& self) {
    if constexpr (WithBytes) {
      self.complete(step.error, step.bytes);
    } else {
      self.complete(step.error);
    }
  }

  TlsStream& stream;
  Attempt attempt;
  Step step;
  State state = State::Starting;
};

template <typename Signature, typename Attempt, typename Handler>
auto TlsStream::start(Attempt attempt, Handler&& handler) {
  constexpr bool withBytes = std::is_same_v<Signature, void(boost::system::error_code, std::size_t)>;
  return boost::asio::async_compose<Handler, Signature>(Operation<Attempt, withBytes>(*this, std::move(attempt)),
                                                        handler, socket);
}

}  // namespace quorvel::transport
