#include "common/transport/TlsStream.h"

#include <cerrno>

#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <openssl/err.h>

namespace quorvel::transport {

namespace {

// The session's own view of the socket: like OpenSSL's socket BIO, but it
// sends with MSG_NOSIGNAL, so a peer that has gone is an error and not a
// SIGPIPE that ends the process, and it keeps the error of the last call.
struct SocketBio {
  static int write(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
    return transfer(bio, ::send(state(bio).fd, data, size, MSG_NOSIGNAL), written, BIO_FLAGS_WRITE);
  }
  static int read(BIO* bio, char* data, std::size_t size, std::size_t* received) {
    const ssize_t result = ::recv(state(bio).fd, data, size, MSG_NOSIGNAL);
    if (result == 0) {
      BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    }
    return transfer(bio, result, received, BIO_FLAGS_READ);
  }
  static long control(BIO* bio, int command, long, void*) {
    switch (command) {
      case BIO_CTRL_FLUSH:
        return 1;
      case BIO_CTRL_EOF:
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
      default:
        return 0;
    }
  }

  static TlsStream::BioState& state(BIO* bio) { return *static_cast<TlsStream::BioState*>(BIO_get_data(bio)); }

  static int transfer(BIO* bio, ssize_t result, std::size_t* done, int direction) {
    BIO_clear_retry_flags(bio);
    if (result > 0) {
      *done = static_cast<std::size_t>(result);
      return 1;
    }
    state(bio).lastError = result < 0 ? errno : 0;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      BIO_set_flags(bio, direction | BIO_FLAGS_SHOULD_RETRY);
    }
    return 0;
  }

  static const BIO_METHOD* method() {
    static const BIO_METHOD* const made = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "asio socket");
      BIO_meth_set_write_ex(m, &SocketBio::write);
      BIO_meth_set_read_ex(m, &SocketBio::read);
      BIO_meth_set_ctrl(m, &SocketBio::control);
      return m;
    }();
    return made;
  }
};

}  // namespace

TlsStream::TlsStream(boost::asio::ip::tcp::socket&& socket, boost::asio::ssl::context& context)
    : socket(std::move(socket)), ssl(SSL_new(context.native_handle()), &SSL_free) {
  if (!ssl) {
    throw boost::system::system_error(static_cast<int>(ERR_get_error()), boost::asio::error::get_ssl_category(),
                                      "SSL_new");
  }
  // Release: no record buffers while idle. Partial and moving writes: a
  // composed write goes on where the last one left off.
  SSL_set_mode(ssl.get(),
               SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One receive per burst of records rather than two per record; the
  // buffer still goes while the connection is idle.
  SSL_set_read_ahead(ssl.get(), 1);
}

void TlsStream::clearErrors() {
  // Read after the call: left over from an earlier one, they would be taken for its own.
  ERR_clear_error();
  bioState.lastError = 0;
}

bool TlsStream::attach(boost::system::error_code& error) {
  if (!socket.is_open()) {
    error = boost::asio::error::bad_descriptor;
    return false;
  }
  if (!attached) {
    socket.non_blocking(true, error);
    if (error) {
      return false;
    }
    // The descriptor stays the socket's: the session's BIO does not close it.
    BIO* bio = BIO_new(SocketBio::method());
    if (bio == nullptr) {
      error = boost::system::error_code(static_cast<int>(ERR_get_error()), boost::asio::error::get_ssl_category());
      return false;
    }
    bioState.fd = socket.native_handle();
    BIO_set_data(bio, &bioState);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl.get(), bio, bio);
    attached = true;
  }
  return true;
}

void TlsStream::setRole(boost::asio::ssl::stream_base::handshake_type type) {
  if (type == boost::asio::ssl::stream_base::server) {
    SSL_set_accept_state(ssl.get());
  } else {
    SSL_set_connect_state(ssl.get());
  }
}

template <typename Call>
TlsStream::Step TlsStream::attempt(std::size_t size, Call call) {
  Step step;
  if (size == 0 || !attach(step.error)) {
    return step;
  }
  clearErrors();
  const int result = call(step.bytes);
  return outcome(result, step.bytes);
}

TlsStream::Step TlsStream::tryHandshake() {
  return attempt(1, [this](std::size_t&) { return SSL_do_handshake(ssl.get()); });
}

TlsStream::Step TlsStream::tryShutdown() {
  return attempt(1, [this](std::size_t&) {
    const int result = SSL_shutdown(ssl.get());
    // 0: sent, the peer's not yet received, which is not waited for.
    return result == 0 ? 1 : result;
  });
}

TlsStream::Step TlsStream::tryRead(boost::asio::mutable_buffer buffer) {
  return attempt(buffer.size(), [this, buffer](std::size_t& done) {
    return SSL_read_ex(ssl.get(), buffer.data(), buffer.size(), &done);
  });
}

TlsStream::Step TlsStream::tryWrite(boost::asio::const_buffer buffer) {
  return attempt(buffer.size(), [this, buffer](std::size_t& done) {
    return SSL_write_ex(ssl.get(), buffer.data(), buffer.size(), &done);
  });
}

TlsStream::Step TlsStream::outcome(int result, std::size_t bytes) {
  const int systemError = bioState.lastError;
  if (result > 0) {
    return Step{Wait::Nothing, {}, bytes};
  }
  switch (SSL_get_error(ssl.get(), result)) {
    case SSL_ERROR_WANT_READ:
      return Step{Wait::Read, {}, 0};
    case SSL_ERROR_WANT_WRITE:
      return Step{Wait::Write, {}, 0};
    case SSL_ERROR_ZERO_RETURN:
      // The peer's close notification: the orderly end of the stream.
      return Step{Wait::Nothing, boost::asio::error::eof, 0};
    case SSL_ERROR_SYSCALL:
      if (systemError != 0) {
        return Step{Wait::Nothing, boost::system::error_code(systemError, boost::system::system_category()), 0};
      }
      return Step{Wait::Nothing, boost::asio::ssl::error::stream_truncated, 0};
    default: {
      const unsigned long error = ERR_get_error();
      if (ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        // The peer went without its close notification.
        return Step{Wait::Nothing, boost::asio::ssl::error::stream_truncated, 0};
      }
      return Step{Wait::Nothing, boost::system::error_code(static_cast<int>(error), boost::asio::error::get_ssl_category()),
                  0};
    }
  }
}

}  // namespace quorvel::transport
