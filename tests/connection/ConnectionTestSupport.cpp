#include "ConnectionTestSupport.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

#include <log4cplus/spi/loggingevent.h>

namespace quorvel::testing {

IoThread::IoThread() : work(boost::asio::make_work_guard(io)), thread([this] { io.run(); }) {}

IoThread::~IoThread() {
  work.reset();
  io.stop();
  thread.join();
}

namespace {

struct Identity {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, &EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, &X509_free};
};

const Identity& identity() {
  static const Identity made = [] {
    Identity id;
    id.key.reset(EVP_EC_gen("P-256"));
    id.cert.reset(X509_new());
    if (!id.key || !id.cert) {
      throw std::runtime_error("cannot create test key");
    }
    X509_set_version(id.cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(id.cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(id.cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(id.cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(id.cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(id.cert.get(), name);
    X509_set_pubkey(id.cert.get(), id.key.get());
    if (X509_sign(id.cert.get(), id.key.get(), EVP_sha256()) == 0) {
      throw std::runtime_error("cannot sign test certificate");
    }
    return id;
  }();
  return made;
}

}  // namespace

void useTestIdentity(boost::asio::ssl::context& context) {
  const Identity& id = identity();
  if (SSL_CTX_use_certificate(context.native_handle(), id.cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context.native_handle(), id.key.get()) != 1) {
    throw std::runtime_error("cannot load test identity");
  }
}

std::unique_ptr<boost::asio::ssl::context> makeServerContext() {
  auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
  useTestIdentity(*context);
  return context;
}

std::unique_ptr<boost::asio::ssl::context> makeClientContext(const std::string& tls12Ciphers) {
  auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  context->set_verify_mode(boost::asio::ssl::verify_none);
  if (!tls12Ciphers.empty()) {
    // Cipher lists only govern TLS 1.2 and below.
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context->native_handle(), tls12Ciphers.c_str());
  }
  return context;
}

LoopbackAcceptor::LoopbackAcceptor(boost::asio::io_service& serverIo, bool ipv6)
    : acceptor(serverIo, boost::asio::ip::tcp::endpoint(ipv6 ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                                                              : boost::asio::ip::address(boost::asio::ip::address_v4::loopback()),
                                                         0)) {}

boost::asio::ip::tcp::endpoint LoopbackAcceptor::endpoint() const { return acceptor.local_endpoint(); }

std::future<boost::system::error_code> LoopbackAcceptor::acceptInto(boost::asio::ip::tcp::socket& socket) {
  auto done = std::make_shared<std::promise<boost::system::error_code>>();
  auto result = done->get_future();
  boost::asio::post(acceptor.get_executor(), [this, &socket, done] {
    acceptor.async_accept(socket, [done](const boost::system::error_code& error) { done->set_value(error); });
  });
  return result;
}

Client::Client(boost::asio::ssl::context* context)
    : plainContext(context ? nullptr
                           : std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client)),
      stream(io, context ? *context : *plainContext),
      tls(context != nullptr) {}

Client::~Client() {
  boost::system::error_code ignored;
  socket().close(ignored);
}

template <typename Start>
boost::system::error_code Client::drive(Start start) {
  bool done = false;
  boost::system::error_code result;
  start([&](const boost::system::error_code& error) {
    result = error;
    done = true;
  });
  io.restart();
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!done && std::chrono::steady_clock::now() < until) {
    io.run_one_until(until);
  }
  if (!done) {
    boost::system::error_code ignored;
    socket().close(ignored);
    io.restart();
    io.run();
    return boost::asio::error::timed_out;
  }
  return result;
}

boost::system::error_code Client::connect(const boost::asio::ip::tcp::endpoint& endpoint) {
  return drive([&](auto done) { socket().async_connect(endpoint, done); });
}

boost::system::error_code Client::handshake() {
  return drive([&](auto done) { stream.async_handshake(boost::asio::ssl::stream_base::client, done); });
}

boost::system::error_code Client::write(const std::string& data) {
  return drive([&](auto done) {
    auto complete = [done](const boost::system::error_code& error, std::size_t) { done(error); };
    if (tls) {
      boost::asio::async_write(stream, boost::asio::buffer(data), complete);
    } else {
      boost::asio::async_write(socket(), boost::asio::buffer(data), complete);
    }
  });
}

boost::system::error_code Client::read(std::size_t count, std::string& out) {
  out.assign(count, '\0');
  return drive([&](auto done) {
    auto complete = [done](const boost::system::error_code& error, std::size_t) { done(error); };
    if (tls) {
      boost::asio::async_read(stream, boost::asio::buffer(out), complete);
    } else {
      boost::asio::async_read(socket(), boost::asio::buffer(out), complete);
    }
  });
}

boost::system::error_code Client::readToEnd(std::string& out) {
  std::string chunk(16384, '\0');
  for (;;) {
    std::size_t got = 0;
    const auto error = drive([&](auto done) {
      auto complete = [done, &got](const boost::system::error_code& error, std::size_t n) {
        got = n;
        done(error);
      };
      if (tls) {
        stream.async_read_some(boost::asio::buffer(chunk), complete);
      } else {
        socket().async_read_some(boost::asio::buffer(chunk), complete);
      }
    });
    out.append(chunk.data(), got);
    if (error) {
      return error;
    }
  }
}

boost::system::error_code Client::shutdown() {
  if (!tls) {
    boost::system::error_code error;
    socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, error);
    return error;
  }
  return drive([&](auto done) { stream.async_shutdown(done); });
}

class LogWaiter::Sink : public log4cplus::Appender {
 public:
  explicit Sink(std::string text) : text(std::move(text)) {}
  ~Sink() override { destructorImpl(); }
  void close() override {}
  std::shared_future<void> future() { return seen.get_future().share(); }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!fired && event.getMessage().find(text) != std::string::npos) {
      fired = true;
      seen.set_value();
    }
  }

 private:
  std::string text;
  std::mutex mutex;
  bool fired = false;
  std::promise<void> seen;
};

LogWaiter::LogWaiter(std::string text) {
  auto* raw = new Sink(std::move(text));
  sink = log4cplus::SharedAppenderPtr(raw);
  seen = raw->future();
  sink->setName("Test Waiter");
  log4cplus::Logger::getRoot().addAppender(sink);
}

LogWaiter::~LogWaiter() { log4cplus::Logger::getRoot().removeAppender(sink); }

bool LogWaiter::wait(std::chrono::milliseconds limit) {
  return seen.wait_for(limit) == std::future_status::ready;
}

}  // namespace quorvel::testing
