#include "wolproxy/include/server/HttpsServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include "common/boost/IOServicePool.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestPki.h"
#include "support/TestNetwork.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"

namespace quorvel::http {
namespace {

using namespace std::chrono_literals;

// A TLS client on a blocking socket whose reads and writes give up after
// 5 s. The socket is made at construction, so connecting needs no descriptor.
class TlsClient {
 public:
  TlsClient() {
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  }
  ~TlsClient() { ::close(fd); }

  bool connect(unsigned short port) {
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  bool handshake() {
    SSL_set_fd(ssl.get(), fd);
    return SSL_connect(ssl.get()) == 1;
  }
  bool send(const std::string& text) { return SSL_write(ssl.get(), text.data(), int(text.size())) == int(text.size()); }
  // TLS 1.2 with these suites in this order of preference.
  void offerCiphers(const char* list) {
    SSL_set_max_proto_version(ssl.get(), TLS1_2_VERSION);
    SSL_set_cipher_list(ssl.get(), list);
  }
  std::string cipher() const { return SSL_get_cipher_name(ssl.get()); }
  // What one read brings; empty when it times out or the connection ends.
  std::string readSome() {
    char chunk[4096];
    const int n = SSL_read(ssl.get(), chunk, sizeof(chunk));
    return n > 0 ? std::string(chunk, static_cast<std::size_t>(n)) : "";
  }
  // True when the server ends the connection before a read times out.
  bool endedByServer() {
    char byte;
    errno = 0;
    return SSL_read(ssl.get(), &byte, 1) <= 0 && errno != EAGAIN;
  }
  // Everything received until the server ends the connection; empty when a read times out instead.
  std::string readToClose() {
    std::string received;
    char chunk[4096];
    for (int n; errno = 0, (n = SSL_read(ssl.get(), chunk, sizeof(chunk))) > 0;) {
      received.append(chunk, static_cast<std::size_t>(n));
    }
    return errno == EAGAIN ? "" : received;
  }

 private:
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{SSL_CTX_new(TLS_client_method()), &SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl{SSL_new(context.get()), &SSL_free};
};

int lowestFreeDescriptor() {
  const int fd = ::dup(0);
  ::close(fd);
  return fd;
}

// Open files other than sockets taking every descriptor the process may open,
// under a limit lowered to a few above those already open; all given back at the end.
class HeldDescriptors {
 public:
  HeldDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor() + kRoom);
    lowerable = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    for (int fd; lowerable && (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
      held.push_back(fd);
    }
    exhausted = lowerable && errno == EMFILE;
  }
  ~HeldDescriptors() {
    for (int fd : held) {
      ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
  }

  bool exhausted = false;

 private:
  static constexpr int kRoom = 8;
  rlimit saved{};
  bool lowerable = false;
  std::vector<int> held;
};

std::string writeFile(const testing::TempDir& dir, const std::string& name, const std::string& content) {
  testing::writeFile(dir.file(name), content);
  return dir.file(name);
}

class HttpsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    // A refused client's writes must fail, not end the test process.
    ::signal(SIGPIPE, SIG_IGN);
    const auto pem = testing::issue({.commonName = "localhost"});
    certFile = writeFile(directory, "cert.pem", pem.certificatePem);
    keyFile = writeFile(directory, "key.pem", pem.keyPem);
    calvexa::AppContextNimbrel::getInstance().createDefaultConfig("");
    pool = std::make_unique<boostutils::IOServicePool>(2);
    pool->run();
  }

  void TearDown() override {
    if (server) {
      server->stop();
      server.reset();
    }
    if (pool) {
      pool->stop(boost::posix_time::milliseconds(5000));
    }
  }

  void startServer(const std::string& chainFile = "") {
    server = std::make_shared<HttpsServer>(pool->getIOService(), 0, certFile, keyFile, chainFile, pool.get());
    server->start_accept();
  }

  testing::TempDir directory;
  std::string certFile;
  std::string keyFile;
  std::unique_ptr<boostutils::IOServicePool> pool;
  std::shared_ptr<HttpsServer> server;
};

TEST_F(HttpsServerTest, ClientStillSendingAfterRefusalCanFinishAndReadIt) {
  // The refusal comes while the client is still sending its header; closing
  // at once would fail its sends (reset) before it ever looks at the reply.
  calvexa::AppContextNimbrel::getInstance().getServerConfig()->setHttpMaxHeaderSize(1024);
  startServer();
  TlsClient client;
  ASSERT_TRUE(client.connect(server->getLocalPort()));
  ASSERT_TRUE(client.handshake());
  const std::string request = "GET / HTTP/1.1\r\nX-Pad: " + std::string(128 * 1024, 'p') + "\r\n\r\n";
  const std::size_t piece = 16 * 1024;
  for (std::size_t at = 0; at < request.size(); at += piece) {
    ASSERT_TRUE(client.send(request.substr(at, piece))) << at;
    std::this_thread::sleep_for(20ms);
  }
  const std::string reply = client.readToClose();
  EXPECT_EQ(reply.substr(0, 44), "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(reply.find("\r\n\r\n") + 4, reply.size());
}

TEST_F(HttpsServerTest, CertificateWithByteOrderMarkAndChainWithoutSeparatorLoad) {
  const auto leaf = testing::issue({.commonName = "leaf"});
  std::string certText = "\xEF\xBB\xBF" + leaf.certificatePem;
  certText.pop_back();  // no final newline: the chain must still start on a line of its own
  certFile = writeFile(directory, "bom-cert.pem", certText);
  keyFile = writeFile(directory, "bom-key.pem", "\xEF\xBB\xBF" + leaf.keyPem);
  const std::string chainFile = writeFile(directory, "chain.pem", testing::issue({.commonName = "ca"}).certificatePem);

  startServer(chainFile);
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get_extra_chain_certs(server->getSslContext().native_handle(), &chain);
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(sk_X509_num(chain), 1);
}

// Opening a pipe for reading would wait for a writer that never comes.
TEST_F(HttpsServerTest, PipeAsChainIsRefusedWithoutWaiting) {
  testing::LogCapture log;
  const std::string fifo = directory.file("chain-fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  startServer(fifo);
  EXPECT_TRUE(log.contains("Filesize returned -1 for file '" + fifo + "'. Last error was: 'Illegal seek'",
                           log4cplus::ERROR_LOG_LEVEL));
}

TEST_F(HttpsServerTest, ConfiguredCipherOrderWinsOverTheClients) {
  calvexa::AppContextNimbrel::getInstance().getServerConfig()->setCipher(
      "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384");
  startServer();
  TlsClient client;
  client.offerCiphers("ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256");
  ASSERT_TRUE(client.connect(server->getLocalPort()));
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.cipher(), "ECDHE-ECDSA-AES128-GCM-SHA256");
}

TEST_F(HttpsServerTest, AcceptResumesOnceDescriptorsAreFreeAgain) {
#ifdef NIMBREL_SANITIZED
  GTEST_SKIP() << "needs a process without sanitizer runtime";
#endif
  startServer();
  const unsigned short port = server->getLocalPort();
  TlsClient first;
  TlsClient second;
  std::this_thread::sleep_for(50ms);
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const int lowestFree = lowestFreeDescriptor();
  testing::LogCapture log;
  // Room for exactly one accepted socket.
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const bool connected = first.connect(port) && second.connect(port);
  std::this_thread::sleep_for(600ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  EXPECT_EQ(log.count("Handle_accept error.", log4cplus::ERROR_LOG_LEVEL), 1u);
  EXPECT_TRUE(second.handshake());
}

TEST_F(HttpsServerTest, IdleConnectionsAreShedWhenOtherFilesHoldTheDescriptors) {
#ifdef NIMBREL_SANITIZED
  GTEST_SKIP() << "needs a process without sanitizer runtime";
#endif
  startServer();
  const unsigned short port = server->getLocalPort();
  // Far fewer connections than the limit at start allows: only the failed accept can shed them.
  TlsClient idle[2];
  for (TlsClient& client : idle) {
    ASSERT_TRUE(client.connect(port) && client.handshake());
  }
  TlsClient newcomer;
  testing::LogCapture log;
  const HeldDescriptors held;
  ASSERT_TRUE(held.exhausted);
  ASSERT_TRUE(newcomer.connect(port));
  ASSERT_TRUE(newcomer.handshake());
  ASSERT_TRUE(newcomer.send("GET /status HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(newcomer.readSome().substr(0, 15), "HTTP/1.1 200 OK");
  for (TlsClient& client : idle) {
    EXPECT_TRUE(client.endedByServer());
  }
  EXPECT_EQ(log.count("Handle_accept error. Error was: 'Too many open files'", log4cplus::ERROR_LOG_LEVEL), 1u);
}

}  // namespace
}  // namespace quorvel::http
