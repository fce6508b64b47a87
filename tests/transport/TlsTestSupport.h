// A server-side TLS transport on its own I/O thread, connected over loopback to
// a blocking client on the test thread. A hang is left to the test's time-out:
// giving up early would leave handlers writing into the test's freed frame.
#pragma once

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <gtest/gtest.h>

#include "common/transport/SSLTransport.h"
#include "support/IoThread.h"
#include "support/TestPki.h"

namespace quorvel::testing {

struct StartReport {
  bool connected = false;
  boost::system::error_code error;
  std::vector<std::string> events;  // signals and callback, in the order they happened
  std::string closeReason;
};

// The server runs on one thread of its own, as the pool gives every connection.
class TlsServer : public IoThread {
 public:
  using Client = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

  explicit TlsServer(std::string cipherList = "")
      : transport(std::make_shared<transport::SSLTransport>(io, context, boost::asio::ssl::stream_base::server,
                                                            nullptr, std::move(cipherList))) {
    transport->connectedSignal.connect([this] { events.push_back("connected"); });
    transport->closeSignal.connect([this](std::string reason) {
      events.push_back("close");
      closeReason = std::move(reason);
    });
    connect(client.next_layer(), transport->getSocket());
  }
  ~TlsServer() {
    call([this] { transport->shutdown(); });
    stop();
  }

  // Starts the handshake on the I/O thread; the future reports its outcome.
  std::future<StartReport> start() {
    auto done = std::make_shared<std::promise<StartReport>>();
    call([this, done] {
      transport->start(
          [this, done](bool connected, const boost::system::error_code& error) {
            events.push_back("callback");
            done->set_value({connected, error, events, closeReason});
          },
          "");
    });
    return done->get_future();
  }

  boost::system::error_code handshake() {
    boost::system::error_code error;
    client.handshake(Client::client, error);
    return error;
  }
  // Exactly `count` bytes, or with none until the stream ends.
  boost::system::error_code read(std::string& out, std::size_t count = 0) {
    boost::system::error_code error;
    out.resize(count);
    count ? boost::asio::read(client, boost::asio::buffer(out), error)
          : boost::asio::read(client, boost::asio::dynamic_buffer(out), error);
    return error;
  }

  static boost::asio::ssl::context serverContext() {
    static const Issued identity = issue({.commonName = "localhost"});
    boost::asio::ssl::context made(boost::asio::ssl::context::tls_server);
    SSL_CTX_use_certificate(made.native_handle(), identity.certificate.get());
    SSL_CTX_use_PrivateKey(made.native_handle(), identity.key.get());
    return made;
  }

  boost::asio::ssl::context context = serverContext();
  boost::asio::ssl::context clientContext{boost::asio::ssl::context::tls_client};  // verifies nothing
  boost::asio::io_service clientIo;
  Client client{clientIo, clientContext};
  std::shared_ptr<transport::SSLTransport> transport;
  std::vector<std::string> events;  // only touched on the I/O thread
  std::string closeReason;
};

}  // namespace quorvel::testing
