// A real WebSocket client against the real listener over TLS, with a handler
// that upgrades and echoes every message as a binary frame.
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>

#include "common/boost/IOServicePool.h"
#include "common/connection/HttpConnection.h"
#include "common/http/HttpRequest.h"
#include "support/TestNetwork.h"
#include "support/TestPki.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"
#include "wolproxy/include/http/HttpHandler.h"
#include "wolproxy/include/server/HttpsServer.h"

namespace quorvel::http {
namespace {

class EchoHandler : public HttpHandler {
 public:
  bool canHandle(const HttpRequest& request) override { return request.getPath() == "/echo"; }

  bool generateResponse(const HttpRequest& request, HttpResponse& response, std::istream&,
                        std::shared_ptr<transport::HttpConnection>& connection) override {
    // Weak: the connection keeps the callback, which must not keep the connection.
    std::weak_ptr<transport::HttpConnection> weak = connection;
    connection->upgradeToWebSocketAndGenerateResponse(
        request, response, [weak](HttpResponse&, std::istream& in, std::size_t length) {
          std::ostringstream reply;
          transport::HttpConnection::writeBinaryFrameHeader(reply, length);
          reply << in.rdbuf();
          if (auto self = weak.lock()) {
            self->async_write(reply.str(), 0, {});
          }
          return true;
        });
    return true;
  }
};

const HttpHandlerRegistration registration("WebSocketEcho", []() -> HttpHandler* { return new EchoHandler(); });

TEST(WebSocketServerTest, RealClientOverTls) {
  REQUIRE_PRIVATE_NETWORK();
  const auto pem = testing::issue({.commonName = "localhost", .altNames = "DNS:localhost"});
  const auto cert = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("ws-%%%%%%%%");
  const auto key = boost::filesystem::path(cert).replace_extension("key");
  std::ofstream(cert.string()) << pem.certificatePem;
  std::ofstream(key.string()) << pem.keyPem;
  calvexa::AppContextNimbrel::getInstance().createDefaultConfig("");
  boostutils::IOServicePool pool(2);
  pool.run();
  auto server = std::make_shared<HttpsServer>(pool.getIOService(), 0, cert.string(), key.string(), "", &pool);
  server->start_accept();

  const std::string command = "/usr/bin/python3 " CLIENT_SCRIPT " " + std::to_string(server->getLocalPort()) + " " +
                              cert.string() + " " + std::to_string(::getpid());
  const int status = std::system(command.c_str());
  server->stop();
  pool.stop(boost::posix_time::milliseconds(5000));
  boost::filesystem::remove(cert);
  boost::filesystem::remove(key);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "python3-websockets is not installed";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quorvel::http
