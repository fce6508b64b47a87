#include "transport/TlsTestSupport.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace quorvel::testing {

IoThread::IoThread() : work(boost::asio::make_work_guard(io)), thread([this] { io.run(); }) {}

IoThread::~IoThread() {
  work.reset();
  io.stop();
  thread.join();
}

namespace {

struct Identity {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), &EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> cert{X509_new(), &X509_free};
};

const Identity& identity() {
  static const Identity made = [] {
    Identity id;
    // Clients do not verify it, so a key, a validity and a signature are all it needs.
    X509* cert = id.cert.get();
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, id.key.get());
    if (X509_sign(cert, id.key.get(), EVP_sha256()) == 0) {
      throw std::runtime_error("cannot sign test certificate");
    }
    return id;
  }();
  return made;
}

}  // namespace

std::unique_ptr<boost::asio::ssl::context> makeServerContext() {
  auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
  if (SSL_CTX_use_certificate(context->native_handle(), identity().cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context->native_handle(), identity().key.get()) != 1) {
    throw std::runtime_error("cannot load test identity");
  }
  return context;
}

std::unique_ptr<boost::asio::ssl::context> makeClientContext(const std::string& tls12Ciphers) {
  auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  context->set_verify_mode(boost::asio::ssl::verify_none);
  if (!tls12Ciphers.empty()) {
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context->native_handle(), tls12Ciphers.c_str());
  }
  return context;
}

boost::system::error_code connectLoopback(IoThread& io, boost::asio::ip::tcp::socket& socket, Client& client) {
  boost::asio::ip::tcp::acceptor acceptor(io.context(), {boost::asio::ip::address_v4::loopback(), 0});
  std::promise<boost::system::error_code> accepted;
  auto result = accepted.get_future();
  io.call([&] { acceptor.async_accept(socket, [&](const auto& error) { accepted.set_value(error); }); });
  if (client.connect(acceptor.local_endpoint())) {
    io.call([&] { acceptor.close(); });
  }
  if (result.wait_for(kDeadline) != std::future_status::ready) {
    throw std::runtime_error("loopback accept did not complete in time");
  }
  return result.get();
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
  start([&](const boost::system::error_code& error, std::size_t = 0) {
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
  return drive([&](auto done) { onStream([&](auto& s) { boost::asio::async_write(s, boost::asio::buffer(data), done); }); });
}

boost::system::error_code Client::read(std::size_t count, std::string& out) {
  out.assign(count, '\0');
  return drive([&](auto done) { onStream([&](auto& s) { boost::asio::async_read(s, boost::asio::buffer(out), done); }); });
}

boost::system::error_code Client::readToEnd(std::string& out) {
  return drive([&](auto done) { onStream([&](auto& s) { boost::asio::async_read(s, boost::asio::dynamic_buffer(out), done); }); });
}

}  // namespace quorvel::testing
