#include "wolproxy/include/server/HttpsServer.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/filesystem.hpp>
#include <fstream>
#include <thread>

#include "PrivateNetwork.h"
#include "TestCertificate.h"
#include "common/boost/IOServicePool.h"
#include "support/LogCapture.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"

// The sanitizers' runtime needs free descriptors for its own checks, so it
// cannot run while the process is kept short of them.
#if defined(__SANITIZE_ADDRESS__)
#define RUNS_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RUNS_UNDER_SANITIZER 1
#endif
#endif

namespace quorvel::http {
namespace {

using namespace std::chrono_literals;
namespace ssl = boost::asio::ssl;
using boost::asio::ip::tcp;

// A TLS client whose every step gives up after a bounded time.
class TlsClient {
 public:
  static constexpr auto kStepLimit = 5s;

  explicit TlsClient(int minVersion = TLS1_2_VERSION, int maxVersion = 0)
      : context(makeContext(minVersion, maxVersion)), stream(io, context) {}

  bool connect(unsigned short port) {
    return step([&](auto done) {
      stream.lowest_layer().async_connect({boost::asio::ip::address_v4::loopback(), port}, done);
    });
  }

  // Takes over an already connected socket descriptor.
  void adopt(int fd) { stream.lowest_layer().assign(tcp::v4(), fd); }

  bool handshake() {
    return step([&](auto done) { stream.async_handshake(ssl::stream_base::client, done); });
  }

  // Sends the text and returns one response (header block and Content-Length body).
  std::string exchange(const std::string& text) {
    if (!step([&](auto done) {
          boost::asio::async_write(stream, boost::asio::buffer(text),
                                   [done](const boost::system::error_code& e, std::size_t) { done(e); });
        })) {
      return "";
    }
    if (!step([&](auto done) {
          boost::asio::async_read_until(stream, buffer, "\r\n\r\n",
                                        [done](const boost::system::error_code& e, std::size_t) { done(e); });
        })) {
      return "";
    }
    std::string received(boost::asio::buffers_begin(buffer.data()), boost::asio::buffers_end(buffer.data()));
    const std::size_t headerEnd = received.find("\r\n\r\n") + 4;
    std::size_t length = 0;
    auto at = received.find("Content-Length: ");
    if (at != std::string::npos && at < headerEnd) {
      length = std::stoul(received.substr(at + 16));
    }
    if (buffer.size() < headerEnd + length) {
      const std::size_t missing = headerEnd + length - buffer.size();
      if (!step([&](auto done) {
            boost::asio::async_read(stream, buffer, boost::asio::transfer_exactly(missing),
                                    [done](const boost::system::error_code& e, std::size_t) { done(e); });
          })) {
        return "";
      }
    }
    std::string response(boost::asio::buffers_begin(buffer.data()),
                         boost::asio::buffers_begin(buffer.data()) + static_cast<std::ptrdiff_t>(headerEnd + length));
    buffer.consume(headerEnd + length);
    return response;
  }

  void close() {
    boost::system::error_code ignored;
    stream.lowest_layer().close(ignored);
  }

 private:
  static ssl::context makeContext(int minVersion, int maxVersion) {
    ssl::context context(ssl::context::tls_client);
    context.set_verify_mode(ssl::verify_none);
    SSL_CTX_set_min_proto_version(context.native_handle(), minVersion);
    SSL_CTX_set_max_proto_version(context.native_handle(), maxVersion);
    // Old protocol versions are refused by the server, not by this client.
    SSL_CTX_set_security_level(context.native_handle(), 0);
    return context;
  }

  template <typename Start>
  bool step(Start start) {
    boost::system::error_code result = boost::asio::error::timed_out;
    bool finished = false;
    start([&](const boost::system::error_code& error) {
      result = error;
      finished = true;
    });
    io.restart();
    io.run_for(kStepLimit);
    if (!finished) {
      close();
      io.restart();
      io.run_for(1s);
    }
    return finished && !result;
  }

  boost::asio::io_context io;
  ssl::context context;
  ssl::stream<tcp::socket> stream;
  boost::asio::streambuf buffer;
};

std::string writeFile(const boost::filesystem::path& path, const std::string& content) {
  std::ofstream(path.string(), std::ios::binary) << content;
  return path.string();
}

class HttpsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    directory = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("https-server-%%%%%%%%");
    boost::filesystem::create_directories(directory);
    const auto pem = testing::makeSelfSigned();
    certFile = writeFile(directory / "cert.pem", pem.certificate);
    keyFile = writeFile(directory / "key.pem", pem.key);
    calvexa::AppContextNimbrel::getInstance().createDefaultConfig("");
    pool = std::make_unique<boostutils::IOServicePool>(2);
    pool->run();
  }

  void TearDown() override {
    for (auto& client : clients) {
      client->close();
    }
    if (server) {
      server->stop();
      server.reset();
    }
    if (pool) {
      pool->stop(boost::posix_time::milliseconds(5000));
    }
    if (!directory.empty()) {
      boost::system::error_code ignored;
      boost::filesystem::remove_all(directory, ignored);
    }
  }

  std::shared_ptr<HttpsServer> startServer(const std::string& chainFile = "") {
    server = std::make_shared<HttpsServer>(pool->getIOService(), 0, certFile, keyFile, chainFile, pool.get());
    server->start_accept();
    return server;
  }

  TlsClient& newClient(int minVersion = TLS1_2_VERSION, int maxVersion = 0) {
    clients.push_back(std::make_unique<TlsClient>(minVersion, maxVersion));
    return *clients.back();
  }

  boost::filesystem::path directory;
  std::string certFile;
  std::string keyFile;
  std::unique_ptr<boostutils::IOServicePool> pool;
  std::shared_ptr<HttpsServer> server;
  std::vector<std::unique_ptr<TlsClient>> clients;
};

TEST_F(HttpsServerTest, ServesStatusOverTlsAndKeepsTheConnection) {
  startServer();
  TlsClient& client = newClient();
  ASSERT_TRUE(client.connect(server->getLocalPort()));
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.exchange("GET /status HTTP/1.1\r\nHost: x\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n1.3.1482.0");
  EXPECT_EQ(client.exchange("GET /nothing HTTP/1.1\r\n\r\n").substr(0, 22), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(client.exchange("OPTIONS /status HTTP/1.1\r\n\r\n").substr(0, 23), "HTTP/1.1 204 No Content");
}

struct SwitchCase {
  bool tls1, tls11, tls12, tls13;
  long expected;
};

void PrintTo(const SwitchCase& c, std::ostream* out) {
  *out << c.tls1 << c.tls11 << c.tls12 << c.tls13;
}

class HttpsServerOptionsTest : public HttpsServerTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(HttpsServerOptionsTest, ProtocolSwitchesGiveTheContextOptions) {
  const SwitchCase& c = GetParam();
  testing::LogCapture log;
  auto config = calvexa::AppContextNimbrel::getInstance().getServerConfig();
  config->setEnableTLSv1(c.tls1);
  config->setEnableTLSv1_1(c.tls11);
  config->setEnableTLSv1_2(c.tls12);
  config->setEnableTLSv1_3(c.tls13);
  startServer();
  const long ours = SSL_OP_ALL | SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 |
                    SSL_OP_NO_TLSv1_3;
  const long options = static_cast<long>(SSL_CTX_get_options(server->getSslContext().native_handle()));
  EXPECT_EQ(options & ours, c.expected);
  EXPECT_NE(options & SSL_OP_NO_COMPRESSION, 0);
  EXPECT_TRUE(log.contains(std::string("TLS 1.0  ") + (c.tls1 ? "enabled" : "disabled"), log4cplus::INFO_LOG_LEVEL));
  EXPECT_TRUE(log.contains(std::string("TLS 1.3  ") + (c.tls13 ? "enabled" : "disabled"), log4cplus::INFO_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(Switches, HttpsServerOptionsTest,
                         ::testing::Values(SwitchCase{false, true, true, true, 0x86000850L},
                                           SwitchCase{true, true, true, true, 0x82000850L},
                                           SwitchCase{false, false, false, false, 0xBE000850L}));

TEST_F(HttpsServerTest, OnlyEnabledProtocolVersionsConnect) {
  calvexa::AppContextNimbrel::getInstance().getServerConfig()->setEnableTLSv1_2(false);
  startServer();
  TlsClient& tls13 = newClient(TLS1_3_VERSION, TLS1_3_VERSION);
  ASSERT_TRUE(tls13.connect(server->getLocalPort()));
  EXPECT_TRUE(tls13.handshake());
  TlsClient& tls12 = newClient(TLS1_2_VERSION, TLS1_2_VERSION);
  ASSERT_TRUE(tls12.connect(server->getLocalPort()));
  EXPECT_FALSE(tls12.handshake());
  TlsClient& tls10 = newClient(TLS1_VERSION, TLS1_VERSION);
  ASSERT_TRUE(tls10.connect(server->getLocalPort()));
  EXPECT_FALSE(tls10.handshake());
}

TEST_F(HttpsServerTest, CertificateWithByteOrderMarkAndChainWithoutSeparatorLoad) {
  const auto leaf = testing::makeSelfSigned("leaf");
  const auto intermediate = testing::makeSelfSigned("intermediate");
  std::string certText = "\xEF\xBB\xBF" + leaf.certificate;
  certText.pop_back();  // no final newline: the chain must still start on a line of its own
  certFile = writeFile(directory / "bom-cert.pem", certText);
  keyFile = writeFile(directory / "bom-key.pem", "\xEF\xBB\xBF" + leaf.key);
  const std::string chainFile = writeFile(directory / "chain.pem", intermediate.certificate);

  testing::LogCapture log;
  startServer(chainFile);
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get_extra_chain_certs(server->getSslContext().native_handle(), &chain);
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(sk_X509_num(chain), 1);
  EXPECT_TRUE(log.contains("Using certificate chain file '" + chainFile + "'", log4cplus::TRACE_LOG_LEVEL));
}

TEST_F(HttpsServerTest, AbsentChainFileIsIgnoredQuietly) {
  testing::LogCapture log;
  startServer((directory / "no-such-chain.pem").string());
  EXPECT_FALSE(log.contains("Using certificate chain file"));
  EXPECT_FALSE(log.contains("", log4cplus::ERROR_LOG_LEVEL));
}

TEST_F(HttpsServerTest, UnusableKeyFailsConstructionWithFatalLine) {
  testing::LogCapture log;
  keyFile = writeFile(directory / "broken-key.pem", "not a key");
  EXPECT_THROW(startServer(), std::exception);
  EXPECT_TRUE(log.contains("' using cert file: '" + certFile + "' and using key file: '" + keyFile + "'",
                           log4cplus::FATAL_LOG_LEVEL));
  server.reset();
}

TEST_F(HttpsServerTest, StopEndsAcceptingQuietlyAndIsRepeatable) {
  startServer();
  const unsigned short port = server->getLocalPort();
  testing::LogCapture log(log4cplus::WARN_LOG_LEVEL);
  server->stop();
  server->stop();
  EXPECT_TRUE(server->isStopped());
  TlsClient& client = newClient();
  EXPECT_FALSE(client.connect(port));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HttpsServerTest, AcceptResumesOnceDescriptorsAreFreeAgain) {
#ifdef RUNS_UNDER_SANITIZER
  GTEST_SKIP() << "needs a process without sanitizer runtime";
#endif
  startServer();
  const unsigned short port = server->getLocalPort();
  // Sockets made first: connecting needs no further descriptor.
  const int first = ::socket(AF_INET, SOCK_STREAM, 0);
  const int second = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(second, 0);
  std::this_thread::sleep_for(50ms);

  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  testing::LogCapture log;
  // Room for exactly one accepted socket.
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(first, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::connect(second, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  std::this_thread::sleep_for(600ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(log.count("Handle_accept error.", log4cplus::ERROR_LOG_LEVEL), 1u);

  TlsClient& client = newClient();
  client.adopt(second);
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.exchange("GET /status HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  ::close(first);
}

struct BomCase {
  std::string content;
  std::string stripped;
  bool result;
};

void PrintTo(const BomCase& c, std::ostream* out) {
  *out << c.content.size() << " bytes";
}

class StripBomTest : public ::testing::TestWithParam<BomCase> {};

TEST_P(StripBomTest, RemovesOnlyALeadingMark) {
  std::string data = GetParam().content;
  EXPECT_EQ(HttpsServer::stripBom(data), GetParam().result);
  EXPECT_EQ(data, GetParam().stripped);

  auto path = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("bom-%%%%%%%%");
  writeFile(path, GetParam().content);
  EXPECT_EQ(HttpsServer::loadFileStripBom(path.string()), GetParam().stripped);
  boost::filesystem::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Texts, StripBomTest,
                         ::testing::Values(BomCase{"\xEF\xBB\xBF-----BEGIN\r\n", "-----BEGIN\r\n", true},
                                           BomCase{"plain\n", "plain\n", true}, BomCase{"\xEF\xBB", "\xEF\xBB", false},
                                           BomCase{"\xEF\xBB\xBF", "", true}, BomCase{"a\xEF\xBB\xBF", "a\xEF\xBB\xBF", true},
                                           BomCase{"", "", false}));

TEST(LoadFileStripBomTest, UnreadableFileGivesEmptyTextAndAnError) {
  testing::LogCapture log;
  EXPECT_EQ(HttpsServer::loadFileStripBom("/nonexistent/cert.pem"), "");
  EXPECT_TRUE(log.contains("Filesize returned -1 for file '/nonexistent/cert.pem'. Last error was: '",
                           log4cplus::ERROR_LOG_LEVEL));
}

}  // namespace
}  // namespace quorvel::http
