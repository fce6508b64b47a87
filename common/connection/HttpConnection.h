#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/steady_timer.hpp>

#include "common/connection/AsyncConnection.h"
#include "common/connection/BodyBudget.h"
#include "common/connection/WebSocketFrameReader.h"
#include "common/connection/basic_framed_streambuf.h"
#include "common/http/HttpGenerator.h"
#include "common/http/HttpParser.h"
#include "common/http/HttpProcessor.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "common/http/StatusCode.h"

namespace quorvel::http {
// Receives each chunk, or each data frame's payload, after an upgrade;
// false stops reading.
using ProcessChunk = std::function<bool(HttpResponse&, std::istream&, std::size_t)>;
}  // namespace quorvel::http

namespace quorvel::transport {

// Limits and time-outs of the HTTP request loop.
namespace httplimits {
// Bounds the header block even when the configured read limits are off.
inline constexpr std::size_t kHeaderSizeCeiling = 1024 * 1024;
// Bounds a buffered body even when the configured read limits are off.
inline constexpr std::size_t kPayloadSizeCeiling = 64 * 1024 * 1024;
// Between requests a connection keeps at most this much read buffer: ample
// for usual header blocks, small enough for many idle connections.
inline constexpr std::size_t kIdleBufferCapacity = 8 * 1024;
// A connection with no request under way is dropped after this long.
inline constexpr std::chrono::milliseconds kIdleTimeout = std::chrono::seconds(120);
// A header block that has started must be complete within this time.
inline constexpr std::chrono::milliseconds kHeaderTimeout = std::chrono::seconds(30);
// A body must have arrived within this time from when we start reading it;
// a wait for the body budget before that does not count.
inline constexpr std::chrono::milliseconds kBodyTimeout = std::chrono::seconds(120);
// A body still waiting for the server's body budget after this long is
// refused with 503: the queue moves (each body ahead holds its share for at
// most the body time-out), but a client should not wait without end behind
// many large uploads.
inline constexpr std::chrono::milliseconds kBudgetWaitTimeout = std::chrono::minutes(5);
// After a reply that closes, our side of the stream is ended at once and what
// the client still sends is read and dropped before closing, since closing
// with unread input resets the connection and can destroy the reply at the
// client. The draining ends when the client ends its side, after this long...
inline constexpr std::chrono::milliseconds kLingerTimeout = std::chrono::seconds(2);
// ...or once the client has been quiet this long...
inline constexpr std::chrono::milliseconds kLingerQuietTime{200};
// ...or after this many bytes.
inline constexpr std::size_t kLingerMaxBytes = 1024 * 1024;
// What one read of the draining takes; the bytes are dropped right away.
inline constexpr std::size_t kLingerReadSize = 4096;
// A chunk-size line is a few hex digits; anything longer is no size line.
inline constexpr std::size_t kChunkSizeLineLimit = 1024;
// Larger chunks are refused even when the payload limit would allow them.
inline constexpr std::size_t kChunkSizeLimit = 0xA00000;
// A close frame we queue must be on the wire by then, so a peer that no
// longer reads cannot hold the connection.
inline constexpr std::chrono::milliseconds kCloseFrameTimeout = std::chrono::seconds(5);
}  // namespace httplimits

enum class TransferMode : std::uint8_t { Http = 0, Chunked = 1, WebSocket = 2 };

// Server side of one HTTP/1.1 connection: reads a header block, checks it
// against the limits, parses it, reads the body, hands the request to the
// processor and writes the response, then reads the next request. A handler
// may switch it to reading chunks or WebSocket frames instead, for good.
class HttpConnection : public AsyncConnection {
 public:
  HttpConnection(std::shared_ptr<Transport> transport, bool httpUseReadLimits, std::size_t httpMaxHeaderSize,
                 std::size_t httpMaxPayloadSize, http::HttpProcessorPtr processor, std::uint32_t hstsMaxAge);
  ~HttpConnection() override;

  void connectSignals() override;
  void close(std::string reason) override;
  void closeConnection(std::string reason) override;
  void startTransport(WhileConnectionCallback callback) override;

  virtual void notifyConnected();
  virtual void setBehindReverseProxy(bool behind);
  virtual bool isBehindReverseProxy();
  virtual bool checkClientIP(bool behindProxy);
  virtual void startReadHeader();
  virtual void start();
  virtual void handle_httpRequest(const boost::system::error_code& error, std::size_t bytesTransferred);
  virtual void read_HttpHeader();
  virtual void readHttpBody(std::size_t length);
  // Reads the rest of a body whose bytes the server budget has granted.
  void receiveBody(std::size_t length);
  virtual void read_ChunkedHeader();
  virtual void read_ChunkedData(std::size_t length);
  virtual void read_webSocketHeader();
  virtual void handle_httpRequestBody(const boost::system::error_code& error, std::size_t bytesTransferred,
                                      std::size_t length);
  virtual void handle_chunkedHeader(const boost::system::error_code& error, std::size_t bytesTransferred);
  virtual void handle_chunkedData(const boost::system::error_code& error, std::size_t bytesTransferred,
                                  std::size_t length);
  virtual bool reportRequest(bool ok, std::string_view protocol, std::string_view statusText, std::string_view path,
                             std::string_view userName, std::string_view clientIP, std::string_view country);

  // Queues an error reply. With closeAfter the connection closes once the
  // reply has been written (with closeReason); otherwise the next request is
  // read after it.
  void sendError(const http::StatusCode& code, const AuthInfoPtr& authInfo, bool closeAfter,
                 const std::string& closeReason = std::string());

  // Called by a handler while it processes a request: its response is
  // written as usual, then the connection reads chunks, or frames, and
  // hands each to the callback.
  void upgradeToChunked(const http::HttpRequest& request, http::HttpResponse& response, http::ProcessChunk callback);
  void upgradeToWebSocketAndGenerateResponse(const http::HttpRequest& request, http::HttpResponse& response,
                                             http::ProcessChunk callback);
  void handle_websocketData(const boost::system::error_code& error, std::size_t bytesTransferred);

  static std::string computeWebSocketAccept(const http::HttpRequest& request);
  static void writePongFrame(std::istream& payload, std::size_t length, std::ostream& out);
  static void writeCloseEchoFrame(std::istream& payload, std::size_t length, std::ostream& out);
  static void writeCloseFrame(std::ostream& out, std::uint16_t status);
  static void writeBinaryFrameHeader(std::ostream& out, std::size_t length);

  static bool isChunkedRequest(const http::HttpRequest& request);
  static bool isWebSocketUpgradeRequest(const http::HttpRequest& request);

  TransferMode getTransferMode() const { return transferMode.load(); }

  // Since when the connection, its handshake done, has waited for a request's first byte;
  // empty while a request is under way. Any thread may ask.
  std::optional<std::chrono::steady_clock::time_point> idleSince() const {
    const auto ticks = idleSinceTicks.load(std::memory_order_relaxed);
    if (ticks == 0) {
      return std::nullopt;
    }
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
  }

  // Tests shorten these; each applies from the next wait on.
  void setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                   std::chrono::milliseconds body,
                   std::chrono::milliseconds budgetWait = httplimits::kBudgetWaitTimeout);

 protected:
  using MatchResult = std::pair<MatchIterator, bool>;

  // What the connection is waiting for; decides which time-out applies.
  enum class Wait : std::uint8_t { Nothing, Idle, Header, Body, Budget, Closing };

  std::shared_ptr<HttpConnection> sharedHttpConnection();
  MatchResult matchHeader(MatchIterator begin, MatchIterator end, std::size_t limit);
  // Finds the terminator of a block that may arrive in pieces; a block
  // longer than limit matches at once with overLimit set.
  MatchResult matchTerminated(MatchIterator begin, MatchIterator end, std::string_view terminator,
                              std::size_t limit, bool& overLimit);
  std::size_t effectiveHeaderLimit() const;
  std::size_t effectivePayloadLimit() const;

  void armDeadline(Wait wait, std::chrono::milliseconds timeout);
  void disarmDeadline();
  void startDeadlineWait();
  void onDeadline(std::uint64_t generation);

  // Gives the body's share of the server budget back and shrinks a read
  // buffer that a large request grew.
  void releaseRequestMemory();
  // Takes the body out of the server budget's queue; false when it was not
  // waiting there or its grant is already on its way.
  bool leaveBudgetQueue();

  void lingerAndClose(const std::string& reason);
  void armLingerDeadline();
  void lingerRead();
  void endLinger();

  // Once a reply in Http mode is written: skips what is left of a chunked
  // body, then closes if the client asked for that or reads the next request.
  void continueAfterReply();
  void skipTrailerLine(std::size_t bytesTransferred);
  // Drops the `left` bytes of a skipped chunk's data as they arrive.
  void skipChunkData(std::size_t left);

  void readFrames();
  void waitForFrameBytes();
  bool handleFrame();
  void refuseFrame(WebSocketFrameReader::Status status);
  // Queues a close frame and closes once it is written, or when that takes too long.
  void sendCloseFrame(std::string frame, const std::string& reason);

  // Replaced, never read into, when it shrinks: Asio's buffer cannot give memory back.
  std::unique_ptr<basic_framed_streambuf<>> requestBuffer;
  // Handlers read the body through it. Made once: each stream built per
  // request would look up its locale's facets again.
  std::istream requestBody{nullptr};
  http::HttpProcessorPtr processor;
  http::HttpRequest request;
  std::atomic<bool> headerTooLarge{false};
  http::HttpResponse response;
  std::atomic<bool> behindReverseProxy{false};
  bool httpUseReadLimits;
  std::uint32_t hstsMaxAge;
  std::size_t httpMaxHeaderSize;
  std::size_t httpMaxPayloadSize;
  std::atomic<TransferMode> transferMode{TransferMode::Http};
  http::ProcessChunk chunkCallback;
  WebSocketFrameReader frameReader;
  bool closeFrameSent = false;
  // The status our close frame carries; a normal closure unless a failure says otherwise.
  std::uint16_t closeStatus = 1000;
  bool chunkLineTooLong = false;
  enum class ChunkedDiscard : std::uint8_t { None, Chunks, Trailer };
  ChunkedDiscard chunkedDiscard = ChunkedDiscard::None;
  bool closeAfterReply = false;
  http::HttpParser httpParser;
  http::HttpGenerator httpGenerator;

 private:
  // State of the search for a header block or chunk-size line across the arrivals of one read.
  std::size_t blockBytesSeen = 0;
  // Granted to the body under way by the server budget.
  std::size_t bodyBytesHeld = 0;
  // The body's place in the server budget's queue while it waits there.
  BodyBudget::Ticket budgetTicket = BodyBudget::kGrantedNow;
  std::string terminatorTail;

  // One timer serves every wait; the pending wait is re-armed lazily when
  // the deadline moves later and restarted when it moves earlier.
  boost::asio::steady_timer deadlineTimer;
  std::chrono::steady_clock::time_point deadline;
  Wait waiting = Wait::Nothing;
  std::atomic<std::chrono::steady_clock::rep> idleSinceTicks{0};
  bool timerWaiting = false;
  std::uint64_t timerGeneration = 0;
  std::chrono::milliseconds idleTimeout = httplimits::kIdleTimeout;
  std::chrono::milliseconds headerTimeout = httplimits::kHeaderTimeout;
  std::chrono::milliseconds bodyTimeout = httplimits::kBodyTimeout;
  std::chrono::milliseconds budgetWaitTimeout = httplimits::kBudgetWaitTimeout;

  std::string pendingCloseReason;
  std::size_t lingerBytes = 0;
  std::chrono::steady_clock::time_point lingerEnd;
  // What a draining before the close may take; more after a refused body.
  std::size_t lingerMaxBytes = httplimits::kLingerMaxBytes;
  std::chrono::milliseconds lingerTimeout = httplimits::kLingerTimeout;
};

}  // namespace quorvel::transport
