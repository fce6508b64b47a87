// Requests per second when every request comes on a new TLS connection:
// each thread connects, completes a full handshake (no session reuse), sends
// one GET, reads the whole reply and closes, until the time is up.
//
// Usage: bench_new_connections <IPv4 address> <port> <path> <seconds> <threads> [close]
// With "close" each request asks for "Connection: close", so the server
// closes after its reply instead of the client.
// Prints "<replies> <errors> <seconds>" on one line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class Socket {
 public:
  explicit Socket(int fd) : fd(fd) {}
  ~Socket() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

// A reply is complete once its header block and Content-Length bytes are in.
bool replyComplete(std::string_view reply) {
  const auto end = reply.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    return false;
  }
  const auto name = reply.find("Content-Length:");
  if (name == std::string_view::npos || name > end) {
    return true;
  }
  const std::size_t length = std::strtoul(reply.data() + name + 15, nullptr, 10);
  return reply.size() >= end + 4 + length;
}

bool oneRequest(SSL_CTX* ctx, const sockaddr_in& address, const std::string& request) {
  Socket sock(::socket(AF_INET, SOCK_STREAM, 0));
  if (sock.get() < 0) {
    return false;
  }
  const int one = 1;
  ::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx));
  if (!ssl || SSL_set_fd(ssl.get(), sock.get()) != 1) {
    return false;
  }
  SSL_set_tlsext_host_name(ssl.get(), "localhost");
  if (SSL_connect(ssl.get()) != 1 ||
      SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) != static_cast<int>(request.size())) {
    ERR_clear_error();
    return false;
  }
  std::string reply;
  char chunk[4096];
  while (!replyComplete(reply)) {
    const int got = SSL_read(ssl.get(), chunk, sizeof chunk);
    if (got <= 0) {
      ERR_clear_error();
      return false;
    }
    reply.append(chunk, static_cast<std::size_t>(got));
  }
  SSL_shutdown(ssl.get());
  ERR_clear_error();
  return reply.compare(0, 15, "HTTP/1.1 200 OK") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool askClose = argc == 7 && std::string_view(argv[6]) == "close";
  if (argc != 6 && !askClose) {
    std::fprintf(stderr, "usage: %s <IPv4 address> <port> <path> <seconds> <threads> [close]\n", argv[0]);
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (::inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", argv[1]);
    return 2;
  }
  const std::string request = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: localhost\r\n" +
                              (askClose ? "Connection: close\r\n" : "") + "\r\n";
  const auto duration = std::chrono::duration<double>(std::atof(argv[4]));
  const int threads = std::atoi(argv[5]);

  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  // Every connection pays for a full handshake, as a new client would.
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);

  std::atomic<long> replies{0};
  std::atomic<long> errors{0};
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      long ok = 0;
      long failed = 0;
      while (std::chrono::steady_clock::now() < end) {
        (oneRequest(ctx.get(), address, request) ? ok : failed)++;
      }
      replies += ok;
      errors += failed;
    });
  }
  for (auto& worker : workers) {
    worker.join();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%ld %ld %.3f\n", replies.load(), errors.load(), seconds);
  return 0;
}
