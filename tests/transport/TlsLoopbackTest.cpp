// A TLS server transport against a real client over loopback sockets.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>

#include "support/LogCapture.h"
#include "transport/TlsTestSupport.h"

namespace quorvel::transport {
namespace {

using namespace quorvel::testing;
using namespace std::chrono_literals;
using utils::WriteBuffers;

TEST(SSLTransport, HandshakeThenExactRangesOnTheWireAndAnOrderlyShutdown) {
  LogCapture log;
  TlsServer server;
  auto started = server.start();
  ASSERT_FALSE(server.handshake());
  const auto report = started.get();
  EXPECT_TRUE(report.connected && !report.error);
  EXPECT_EQ(report.events, (std::vector<std::string>{"connected", "callback"}));
  boost::asio::ip::tcp::no_delay noDelay;
  server.call([&] { server.transport->getSocket().get_option(noDelay); });
  EXPECT_TRUE(noDelay.value());

  // Exactly each range goes on the wire.
  auto bytes = std::make_shared<utils::ByteBuffer>(utils::ByteBuffer{'0', '1', '2', '3', '4', '5'});
  for (const auto& record : {std::make_shared<WriteBuffers>("abcdef", 2, IoCallback()),
                             std::make_shared<WriteBuffers>("abcdef", 6, IoCallback()),
                             std::make_shared<WriteBuffers>(bytes, 4, 1, IoCallback())}) {
    std::promise<boost::system::error_code> done;
    server.call([&] { server.transport->async_write(record, [&](auto error, auto) { done.set_value(error); }); });
    EXPECT_FALSE(done.get_future().get());
  }
  // Shut down from the write's completion, as a connection does after its last reply.
  server.call([&] {
    server.transport->async_write(std::make_shared<WriteBuffers>("|end", 0, IoCallback()),
                                  [t = server.transport](auto, auto) { t->shutdown(); });
  });
  std::string received;
  // eof, not a truncated stream: the close notification came before the socket closed.
  EXPECT_EQ(server.read(received), boost::asio::error::eof);
  EXPECT_EQ(received, "cdef123|end");
  EXPECT_FALSE(log.contains("Got error"));
}

// After the last reply the server ends its side (close notification, then
// FIN) and drops what the client still sends, raw and undecrypted, until the
// client ends its side: nothing is left unread to reset over.
TEST(SSLTransport, ClosingTheWriteSideSendsTheEndAndDiscardsWhatFollows) {
  LogCapture log;
  TlsServer server;
  auto started = server.start();
  ASSERT_FALSE(server.handshake());
  ASSERT_TRUE(started.get().connected);
  std::promise<boost::system::error_code> ended;
  server.call([&] {
    server.transport->async_write(std::make_shared<WriteBuffers>("reply", 0, IoCallback()),
                                  [&](auto, auto) {
                                    server.transport->async_close_write([&](auto error, auto) { ended.set_value(error); });
                                  });
  });
  EXPECT_FALSE(ended.get_future().get());
  std::string received;
  EXPECT_EQ(server.read(received), boost::asio::error::eof);  // the close notification
  EXPECT_EQ(received, "reply");
  // Then the FIN, without the client closing first.
  pollfd readable{server.client.next_layer().native_handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, 5000), 1);
  char byte;
  EXPECT_EQ(::recv(readable.fd, &byte, 1, MSG_DONTWAIT), 0);

  // No record: anything the session tried to decrypt would fail.
  const std::string late(20000, 'x');
  boost::asio::write(server.client.next_layer(), boost::asio::buffer(late));
  server.client.next_layer().shutdown(boost::asio::socket_base::shutdown_send);
  std::promise<std::pair<std::size_t, boost::system::error_code>> discarded;
  server.call([&] {
    auto total = std::make_shared<std::size_t>(0);
    auto buffer = std::make_shared<std::array<char, 4096>>();
    auto next = std::make_shared<std::function<void()>>();
    *next = [&, total, buffer, next] {
      server.transport->async_discard_some(boost::asio::buffer(*buffer), [&, total, next](auto error, auto bytes) {
        *total += bytes;
        if (error) {
          discarded.set_value({*total, error});
          *next = nullptr;
        } else {
          (*next)();
        }
      });
    };
    (*next)();
  });
  const auto [bytes, error] = discarded.get_future().get();
  EXPECT_EQ(bytes, late.size());
  EXPECT_EQ(error, boost::asio::error::eof);
  server.call([&] { server.transport->shutdown(); });
  EXPECT_FALSE(log.contains("Got error"));
}

TEST(SSLTransport, WritesWaitForRoomAndOneThatCannotBeSentIsAnError) {
  TlsServer server;
  auto started = server.start();
  ASSERT_FALSE(server.handshake());
  ASSERT_TRUE(started.get().connected);
  // Small buffers on both ends, and a client that reads only once the server's
  // socket is full: the write must have waited for room, whatever the kernel's
  // buffer tuning would otherwise make of a loopback connection.
  int serverSocket = -1;
  server.call([&] {
    auto& socket = server.transport->getSocket();
    socket.set_option(boost::asio::socket_base::send_buffer_size(8192));
    serverSocket = socket.native_handle();
  });
  server.client.next_layer().set_option(boost::asio::socket_base::receive_buffer_size(65536));
  const std::string big(1 << 20, 'b');
  std::promise<std::size_t> written;
  server.call([&] {
    server.transport->async_write(std::make_shared<WriteBuffers>(big, 0, IoCallback()), [&](auto error, auto bytes) {
      written.set_value(error ? 0 : bytes);
      // As after a reply that closes: the close notification also waits for room.
      server.transport->async_close_write([](auto, auto) {});
    });
  });
  const auto full = [serverSocket] {
    pollfd writable{serverSocket, POLLOUT, 0};
    return ::poll(&writable, 1, 0) == 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!full() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(full()) << "the socket never filled";
  // The server has one thread: once this has run there, a send under way has
  // found no room, and the write waits when the client starts to read.
  server.call([] {});
  std::string received;
  auto read = std::async(std::launch::async, [&] { return server.read(received); });
  if (read.wait_for(10s) == std::future_status::timeout) {
    ADD_FAILURE() << "the write did not go on once the client read";
    // Ends the client's read, then resets the connection under the waiting write.
    ::shutdown(server.client.next_layer().native_handle(), SHUT_RDWR);
    read.wait();
    server.client.next_layer().close();
  }
  EXPECT_EQ(read.get(), boost::asio::error::eof);
  EXPECT_EQ(written.get_future().get(), big.size());
  EXPECT_EQ(received, big);

  // Writing where the connection can no longer send ends in an error, not in SIGPIPE.
  TlsServer ended;
  auto endedStarted = ended.start();
  ASSERT_FALSE(ended.handshake());
  ASSERT_TRUE(endedStarted.get().connected);
  std::promise<boost::system::error_code> failed;
  ended.call([&] {
    ended.transport->getSocket().shutdown(boost::asio::socket_base::shutdown_send);
    ended.transport->async_write(std::make_shared<WriteBuffers>("late", 0, IoCallback()),
                                 [&](auto error, auto) { failed.set_value(error); });
  });
  EXPECT_EQ(failed.get_future().get(), boost::system::errc::broken_pipe);
}

TEST(SSLTransport, FailedHandshakesCloseWithTheirReason) {
  LogCapture log;
  const std::string plainText = "GET / HTTP/1.1\r\n\r\n";
  const struct {
    std::function<void(TlsServer::Client&)> clientDoes;
    std::chrono::milliseconds timeout;  // zero keeps the default
    std::string closeReason;            // %e stands for the handshake's error message
    std::string warning;                // after the log prefix; empty when nothing is worth a WARN
  } cases[] = {
      {[&](auto& c) { boost::asio::write(c.next_layer(), boost::asio::buffer(plainText)); }, 0ms, "SSLTransport: %e",
       "SSLTransport::handle_handshake Error was: '%e'"},
      {[](auto& c) { c.next_layer().close(); }, 0ms, "", ""},
      {[](auto&) {}, 150ms, "SSLTransport: handshake timed out", "SSL handshake not completed within 150 ms"},
  };
  for (const auto& c : cases) {
    log.clear();
    TlsServer server;
    if (c.timeout.count() > 0) server.transport->setHandshakeTimeout(c.timeout);
    const auto begin = std::chrono::steady_clock::now();
    auto started = server.start();
    c.clientDoes(server.client);
    const auto report = started.get();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, c.timeout) << c.warning;
    EXPECT_FALSE(report.connected);
    const auto withError = [&](std::string text) {
      const auto at = text.find("%e");
      return at == std::string::npos ? text : text.replace(at, 2, report.error.message());
    };
    EXPECT_EQ(report.events, (std::vector<std::string>{"close", "callback"})) << c.warning;
    EXPECT_EQ(report.closeReason, withError(c.closeReason));
    const auto warnings = c.warning.empty() ? "" : server.transport->getLogPrefix() + withError(c.warning);
    EXPECT_EQ(log.count(warnings, log4cplus::WARN_LOG_LEVEL), c.warning.empty() ? 0u : 1u) << c.warning;
  }

}

// Any client can cause the time-out: a crowd of them costs two lines, and
// between them the lines still account for every one.
TEST(SSLTransport, HandshakeTimeOutsOfManyClientsFoldIntoTwoLines) {
  constexpr std::size_t kClients = 40;
  const std::string line = "SSL handshake not completed within 120 ms, closing the connection.";
  LogCapture log(log4cplus::INFO_LOG_LEVEL);
  std::vector<std::unique_ptr<TlsServer>> servers;
  std::vector<std::future<StartReport>> started;
  for (std::size_t i = 0; i < kClients; ++i) {
    servers.push_back(std::make_unique<TlsServer>());
    servers.back()->transport->setHandshakeTimeout(120ms);
    started.push_back(servers.back()->start());
  }
  for (auto& report : started) EXPECT_FALSE(report.get().connected);
  EXPECT_EQ(log.count(line), 1u);
  utils::LogRepeatFolder::process().flush(utils::LogRepeatFolder::Clock::now(), true);  // as at stop
  EXPECT_EQ(log.count(line), 2u);
  EXPECT_TRUE(log.contains(std::to_string(kClients - 1) + " more like it not logged: " + line,
                           log4cplus::WARN_LOG_LEVEL));
  EXPECT_EQ(log.foldedEvents(line, log4cplus::WARN_LOG_LEVEL), kClients);
}

TEST(SSLTransport, RefusedCipherListIsReported) {
  LogCapture log;
  TlsServer refused("NO-SUCH-CIPHER");
  EXPECT_EQ(log.count(refused.transport->getLogPrefix() +
                          "SSL_set_cipher_list returned 0, which means no cipher was selected!",
                      log4cplus::WARN_LOG_LEVEL),
            1u);
  TlsServer accepted("ECDHE-ECDSA-AES128-GCM-SHA256");
  EXPECT_EQ(log.count("SSL_set_cipher_list"), 1u);
}

}  // namespace
}  // namespace quorvel::transport
