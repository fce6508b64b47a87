#include "common/connection/HttpConnection.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/evp.h>

#include "common/base/QuorvelException.h"
#include "common/connection/BodyBudget.h"
#include "common/http/HeaderText.h"
#include "common/http/HttpParsingException.h"
#include "common/utils/ByteUtils.h"
#include "common/utils/LogText.h"

namespace quorvel::transport {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("Connection");

namespace {
constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
constexpr std::string_view kLineTerminator = "\r\n";
constexpr char kWebSocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kBadChunkSize[] = "Error converting hex chunk length to int!";
constexpr char kLastChunk[] = "received chunk length of 0, stopping connection!";
// Chunk sizes from 2^31 on are refused.
constexpr std::uint64_t kChunkSizeBound = std::uint64_t{1} << 31;

// Close statuses: protocol error, message too big, server failure.
constexpr std::uint16_t kCloseProtocolError = 1002;
constexpr std::uint16_t kCloseTooBig = 1009;
constexpr std::uint16_t kCloseServerError = 1011;

constexpr std::uint8_t kFinPong = 0x8A;
constexpr std::uint8_t kFinClose = 0x88;
constexpr std::uint8_t kFinBinary = 0x82;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void copyPayload(std::istream& payload, std::size_t length, std::ostream& out) {
  char block[512];
  while (length != 0 && payload) {
    payload.read(block, static_cast<std::streamsize>(std::min(length, sizeof(block))));
    out.write(block, payload.gcount());
    length -= static_cast<std::size_t>(payload.gcount());
  }
}

bool listContains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Chunked, once and alone: the only transfer coding this connection can take apart.
bool isChunkedOnly(std::string_view codings) {
  return http::headertext::equalsIgnoreCase(http::headertext::trim(codings), "chunked");
}

// Whether a comma-separated list holds the option, in any case. Read where it
// lies: this runs for every request, and splitting would allocate each time.
bool hasOption(std::string_view list, std::string_view option) {
  for (;;) {
    const std::size_t comma = list.find(',');
    if (http::headertext::equalsIgnoreCase(http::headertext::trim(list.substr(0, comma)), option)) {
      return true;
    }
    if (comma == std::string_view::npos) {
      return false;
    }
    list.remove_prefix(comma + 1);
  }
}

// HTTP/1.1 keeps a connection unless the client says close; HTTP/1.0 only when it says keep-alive,
// and never after a transfer coding, which HTTP/1.0 does not know: its framing is not to be trusted.
bool asksToClose(const http::HttpRequest& request) {
  const std::string_view options = request.getConnection();
  return hasOption(options, "close") ||
         (request.getHttpVersion() == "1.0" && (request.hasTransferEncoding() || !hasOption(options, "keep-alive")));
}

}  // namespace

// An error any client can cause once per connection: written in full once per
// window, the repeats only at DEBUG (so one client can still be followed
// there) and counted.
#define LOG_CLIENT_ERROR(text) NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), text)
#define LOG_CLIENT_ERROR_AS(kind, text) \
  NIMBREL_LOG_FOLDED_AS(logger, log4cplus::ERROR_LOG_LEVEL, getLogPrefix(), kind, text)

HttpConnection::HttpConnection(std::shared_ptr<Transport> transport, bool httpUseReadLimits,
                               std::size_t httpMaxHeaderSize, std::size_t httpMaxPayloadSize,
                               http::HttpProcessorPtr processor, std::uint32_t hstsMaxAge)
    : AsyncConnection(std::move(transport)),
      requestBuffer(std::make_unique<basic_framed_streambuf<>>()),
      processor(std::move(processor)),
      request(getAuthInfo()),
      response(getAuthInfo(), http::StatusCode::OK, "text/plain", ""),
      httpUseReadLimits(httpUseReadLimits),
      hstsMaxAge(hstsMaxAge),
      httpMaxHeaderSize(httpMaxHeaderSize),
      httpMaxPayloadSize(httpMaxPayloadSize),
      deadlineTimer(getIOService()) {}

HttpConnection::~HttpConnection() {
  leaveBudgetQueue();
  if (bodyBytesHeld != 0) {
    BodyBudget::server().release(bodyBytesHeld);
  }
}

std::shared_ptr<HttpConnection> HttpConnection::sharedHttpConnection() {
  return std::static_pointer_cast<HttpConnection>(shared_from_this());
}

void HttpConnection::connectSignals() {
  AsyncConnection::connectSignals();
  using Slot = decltype(connectedSignal)::slot_type;
  connectedSignal.connect(Slot(&HttpConnection::start, this).track_foreign(weak_from_this()));
}

void HttpConnection::startTransport(WhileConnectionCallback callback) {
  // A client that connects and never completes its handshake is idle too.
  armDeadline(Wait::Idle, idleTimeout);
  AsyncConnection::startTransport(std::move(callback));
}

void HttpConnection::close(std::string reason) {
  // A closed connection must not hold up the bodies queued behind it.
  leaveBudgetQueue();
  ++timerGeneration;
  waiting = Wait::Nothing;
  timerWaiting = false;
  deadlineTimer.cancel();
  AsyncConnection::close(std::move(reason));
}

void HttpConnection::closeConnection(std::string reason) {
  if (transferMode == TransferMode::WebSocket && !closeFrameSent) {
    std::ostringstream frame;
    writeCloseFrame(frame, closeStatus);
    sendCloseFrame(frame.str(), reason);
    return;
  }
  close(std::move(reason));
}

void HttpConnection::notifyConnected() {
  connectedSignal();
}

void HttpConnection::setBehindReverseProxy(bool behind) {
  behindReverseProxy = behind;
}

bool HttpConnection::isBehindReverseProxy() {
  return behindReverseProxy;
}

bool HttpConnection::checkClientIP(bool) {
  return true;
}

bool HttpConnection::reportRequest(bool, std::string_view, std::string_view, std::string_view, std::string_view,
                                   std::string_view, std::string_view) {
  return true;
}

void HttpConnection::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                                 std::chrono::milliseconds body, std::chrono::milliseconds budgetWait) {
  idleTimeout = idle;
  headerTimeout = header;
  bodyTimeout = body;
  budgetWaitTimeout = budgetWait;
}

void HttpConnection::start() {
  LOG4CPLUS_TRACE(logger, getLogPrefix() << "Connection established from client with ip '" << getClientIP() << ":"
                                         << getClientPort() << "' from country '" << getCountry() << "'");
  read_HttpHeader();
}

void HttpConnection::startReadHeader() {
  auto self = sharedHttpConnection();
  auto startRead = [self] {
    switch (self->transferMode.load()) {
      case TransferMode::Http:
        self->read_HttpHeader();
        break;
      case TransferMode::Chunked:
        self->read_ChunkedHeader();
        break;
      case TransferMode::WebSocket:
        self->read_webSocketHeader();
        break;
    }
  };
  if (getIOService().get_executor().running_in_this_thread()) {
    startRead();
  } else {
    boost::asio::post(getIOService(), startRead);
  }
}

std::size_t HttpConnection::effectiveHeaderLimit() const {
  return httpUseReadLimits ? std::min(httpMaxHeaderSize, httplimits::kHeaderSizeCeiling)
                           : httplimits::kHeaderSizeCeiling;
}

std::size_t HttpConnection::effectivePayloadLimit() const {
  return httpUseReadLimits ? std::min(httpMaxPayloadSize, httplimits::kPayloadSizeCeiling)
                           : httplimits::kPayloadSizeCeiling;
}

void HttpConnection::read_HttpHeader() {
  blockBytesSeen = 0;
  terminatorTail.clear();
  // Bytes already buffered (a pipelined request) mean a header has begun.
  if (requestBuffer->size() > 0) {
    armDeadline(Wait::Header, headerTimeout);
  } else {
    armDeadline(Wait::Idle, idleTimeout);
    // Only now, with the handshake done, is it an idle keep-alive connection.
    idleSinceTicks.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  auto self = sharedHttpConnection();
  // Only `this`: small enough for the function's own storage, and the
  // completion handler keeps the connection alive while the read runs.
  async_read_until(
      *requestBuffer,
      MatchCondition([this](MatchIterator begin, MatchIterator end) {
        return matchHeader(begin, end, effectiveHeaderLimit());
      }),
      [self](const boost::system::error_code& error, std::size_t bytes) { self->handle_httpRequest(error, bytes); });
}

HttpConnection::MatchResult HttpConnection::matchHeader(MatchIterator begin, MatchIterator end, std::size_t limit) {
  if (begin != end && waiting == Wait::Idle) {
    armDeadline(Wait::Header, headerTimeout);
  }
  // Only the header block counts towards the limit: a body or a pipelined
  // request that arrived with it must not get a valid request refused.
  bool overLimit = false;
  const MatchResult result = matchTerminated(begin, end, kHeaderTerminator, limit, overLimit);
  if (overLimit) {
    headerTooLarge = true;
  }
  return result;
}

HttpConnection::MatchResult HttpConnection::matchTerminated(MatchIterator begin, MatchIterator end,
                                                            std::string_view terminator, std::size_t limit,
                                                            bool& overLimit) {
  if (begin == end) {
    return {end, false};
  }
  const std::size_t length = static_cast<std::size_t>(end - begin);
  const char* data = &*begin;

  std::size_t blockEnd = 0;
  if (!terminatorTail.empty()) {
    // A terminator that began in an earlier arrival of this read.
    std::string joined = terminatorTail;
    joined.append(data, std::min<std::size_t>(length, terminator.size() - 1));
    auto found = joined.find(terminator);
    if (found != std::string::npos) {
      blockEnd = found + terminator.size() - terminatorTail.size();
    }
  }
  if (blockEnd == 0) {
    if (const char* found = utils::findBytes(data, length, terminator.data(), terminator.size())) {
      blockEnd = static_cast<std::size_t>(found - data) + terminator.size();
    }
  }
  if (blockEnd != 0) {
    if (blockBytesSeen + blockEnd > limit) {
      overLimit = true;
      return {begin, true};
    }
    return {begin + static_cast<std::ptrdiff_t>(blockEnd), true};
  }

  blockBytesSeen += length;
  if (blockBytesSeen > limit) {
    overLimit = true;
    return {begin, true};
  }
  const std::size_t keep = terminator.size() - 1;
  if (length >= keep) {
    terminatorTail.assign(data + length - keep, keep);
  } else {
    terminatorTail.append(data, length);
    if (terminatorTail.size() > keep) {
      terminatorTail.erase(0, terminatorTail.size() - keep);
    }
  }
  return {end, false};
}

void HttpConnection::handle_httpRequest(const boost::system::error_code& error, std::size_t) {
  clearReadPending();
  disarmDeadline();
  if (headerTooLarge) {
    LOG_CLIENT_ERROR("Header too large!");
    sendError(http::StatusCode::RequestHeaderFieldsTooLarge, getAuthInfo(), true, "Header too large!");
    return;
  }
  if (error) {
    printError(error, "Connection::handle_httpRequest");
    closeSignal(error.message());
    return;
  }
  try {
    // Parsed where the bytes lie: no stream is built around the buffer.
    const auto received = requestBuffer->data();
    requestBuffer->consume(http::HttpParser::parseRequestHeaders(
        request, std::string_view(static_cast<const char*>(received.data()), received.size())));
    // Refused before any handler runs: under another coding the body's end is unknown here.
    if (request.hasTransferEncoding() && !isChunkedOnly(request.getTransferEncoding())) {
      throw http::HttpParsingException("Unsupported transfer coding", __FILE__, "handle_httpRequest", __LINE__, 0);
    }

    const std::size_t length = request.getContentLength();
    if (length > effectivePayloadLimit()) {
      LOG_CLIENT_ERROR("Payload too long!");
      sendError(http::StatusCode::PayloadTooLarge, getAuthInfo(), true, "Payload too long!");
      return;
    }
    if (length != 0) {
      readHttpBody(length);
    } else {
      handle_httpRequestBody(boost::system::error_code(), 0, 0);
    }
  } catch (const http::HttpParsingException& e) {
    LOG_CLIENT_ERROR(std::string("Caught http parsing exception in handle_httpRequest. Shutting down! Error was: '") +
                     e.what() + "'");
    reportRequest(false, "http", "Miss formed HTTP Request", "", "", getClientIP(), getCountry());
    closeSignal(e.what());
  } catch (const std::exception& e) {
    LOG_CLIENT_ERROR(std::string("Caught exception in handle_httpRequest. Shutting down! Error was: '") + e.what() +
                     "'");
    closeSignal(e.what());
  } catch (...) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception in handle_httpRequest caught! Shutting down!");
    closeSignal("unknown exception");
  }
}

void HttpConnection::readHttpBody(std::size_t length) {
  if (requestBuffer->size() >= length) {
    handle_httpRequestBody(boost::system::error_code(), length, length);
    return;
  }
  // Weak: a connection closed while it waits must not live on for the budget.
  std::weak_ptr<AsyncConnection> weak = weak_from_this();
  budgetTicket = BodyBudget::server().acquire(length, [weak, length] {
    auto self = weak.lock();
    if (!self) {
      BodyBudget::server().release(length);
      return;
    }
    boost::asio::post(self->getIOService(),
                      [self, length] { static_cast<HttpConnection*>(self.get())->receiveBody(length); });
  });
  if (budgetTicket == BodyBudget::kGrantedNow) {
    receiveBody(length);
  } else {
    // Meanwhile the client's bytes wait in the socket; it is not the one being slow.
    armDeadline(Wait::Budget, budgetWaitTimeout);
    // A waiter keeps only the body bytes that came with its header.
    releaseRequestMemory();
  }
}

bool HttpConnection::leaveBudgetQueue() {
  // A grant already on its way reaches receiveBody, which gives the bytes back if closed.
  return budgetTicket != BodyBudget::kGrantedNow &&
         BodyBudget::server().cancel(std::exchange(budgetTicket, BodyBudget::kGrantedNow));
}

void HttpConnection::receiveBody(std::size_t length) {
  budgetTicket = BodyBudget::kGrantedNow;
  bodyBytesHeld = length;
  if (closed) {
    releaseRequestMemory();
    return;
  }
  // Only from here on is the client's own pace measured.
  armDeadline(Wait::Body, bodyTimeout);
  const std::size_t missing = length - requestBuffer->size();
  try {
    // Room for exactly this body, rather than the doubling growth of reads.
    requestBuffer->prepare(missing);
  } catch (const std::exception& e) {
    LOG_CLIENT_ERROR(std::string("Cannot buffer the request body: ") + e.what());
    closeSignal(e.what());
    return;
  }
  auto self = sharedHttpConnection();
  async_read(*requestBuffer, missing, [self, length](const boost::system::error_code& error, std::size_t bytes) {
    self->handle_httpRequestBody(error, bytes, length);
  });
}

void HttpConnection::releaseRequestMemory() {
  if (requestBuffer->capacity() > httplimits::kIdleBufferCapacity) {
    auto fresh = std::make_unique<basic_framed_streambuf<>>();
    const auto pipelined = requestBuffer->data();
    fresh->commit(boost::asio::buffer_copy(fresh->prepare(pipelined.size()), pipelined));
    requestBuffer = std::move(fresh);
  }
  if (bodyBytesHeld != 0) {
    BodyBudget::server().release(std::exchange(bodyBytesHeld, 0));
  }
}

void HttpConnection::handle_httpRequestBody(const boost::system::error_code& error, std::size_t,
                                            std::size_t length) {
  clearReadPending();
  disarmDeadline();
  if (error) {
    printError(error, "Connection::handle_httpRequestBody");
    releaseRequestMemory();
    closeSignal(error.message());
    return;
  }
  try {
    requestBuffer->openWindow(length);
    requestBody.rdbuf(requestBuffer.get());
    requestBody.exceptions(std::ios::goodbit);
    response.clear();
    auto self = sharedHttpConnection();

    if (behindReverseProxy) {
      if (request.hasXForwardedFor()) {
        auto forwarded = request.getXForwardedForList();
        std::string ip = forwarded.empty() ? std::string() : forwarded.front();
        LOG4CPLUS_TRACE(logger, getLogPrefix() << "Reverse Proxy detected, using real client ip '" << ip << "'.");
        replaceClientIP(ip);
      } else if (!boost::algorithm::iequals(request.getPath(), "/status")) {
        LOG4CPLUS_WARN(logger, getLogPrefix() << "Reverse Proxy detected, but no 'X-Forwarded-For' header found! "
                                                 "Check your reverse proxy configuration! Using proxy ip for now!");
      }
      if (!checkClientIP(true)) {
        // The request is dropped; the connection waits to be closed from elsewhere.
        requestBuffer->closeWindow();
        return;
      }
    }

    const bool ok = processor->processRequest(request, response, requestBody, self);
    requestBuffer->closeWindow();
    releaseRequestMemory();
    if (!ok) {
      request = http::HttpRequest(getAuthInfo());
      return;
    }
    if (transferMode == TransferMode::Http) {
      // A chunked body that no handler took is skipped after the reply, so
      // that its chunks are not read as the next request.
      chunkedDiscard = request.hasTransferEncoding() ? ChunkedDiscard::Chunks : ChunkedDiscard::None;
      closeAfterReply = asksToClose(request);
      if (closeAfterReply) {
        response.setConnection("close");
      }
    }

    if (hstsMaxAge != 0) {
      response.setStrictTransportSecurity("max-age=" + std::to_string(hstsMaxAge));
    }
    const auto statusCode = static_cast<std::uint16_t>(response.getStatusCode());
    reportRequest(statusCode < 400, "http", response.getStatusText(), request.getPath(),
                  getAuthInfo()->getUserName(), getClientIP(), getCountry());

    bool withBody = false;
    std::string head = http::HttpGenerator::generateResponseHead(request, response, withBody);
    auto replyBody = std::make_shared<const std::string>(withBody ? response.takeBody() : std::string());
    response.setBody(std::string(), false, false);
    const std::size_t textSize = head.size() + replyBody->size();

    // The next request is read only once this reply is on the wire, so a
    // client that pipelines without reading cannot grow the write queue.
    auto completion = response.getWriteCompletion();
    armDeadline(Wait::Idle, idleTimeout);
    async_write(std::move(head), std::move(replyBody),
                [self, completion](const boost::system::error_code& writeError, std::size_t bytes) {
      try {
        if (completion) {
          completion(writeError, bytes);
        }
      } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, self->getLogPrefix() << "Caught exception in write completion. Shutting down! "
                                                        "Error was: '"
                                                     << e.what() << "'");
        self->closeSignal(e.what());
        return;
      } catch (...) {
        self->closeSignal("unknown exception");
        return;
      }
      if (!writeError) {
        self->continueAfterReply();
      }
    });
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Writing Response (" << textSize
                                           << " bytes) : " << response.getStatusText());

    request = http::HttpRequest(getAuthInfo());
    if (transferMode == TransferMode::Http) {
      response.clear();
    }
  } catch (const std::exception& e) {
    requestBuffer->closeWindow();
    LOG_CLIENT_ERROR(std::string("Caught exception in handle_httpRequestBody. Shutting down! Error was: '") +
                     e.what() + "'");
    closeSignal(e.what());
  } catch (...) {
    requestBuffer->closeWindow();
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception in handle_httpRequestBody caught! Shutting down!");
    closeSignal("unknown exception");
  }
}

void HttpConnection::sendError(const http::StatusCode& code, const AuthInfoPtr& authInfo, bool closeAfter,
                               const std::string& closeReason) {
  try {
    http::HttpRequest errorRequest(authInfo);
    http::HttpResponse errorResponse(AuthInfoPtr(authInfo), code, "text/plain", "");
    if (closeAfter) {
      errorResponse.setConnection("close");
    }
    bool withBody = false;
    std::string head = http::HttpGenerator::generateResponseHead(errorRequest, errorResponse, withBody);
    auto body = std::make_shared<const std::string>(withBody ? errorResponse.takeBody() : std::string());

    auto self = sharedHttpConnection();
    // A peer that no longer reads would otherwise hold the connection for
    // good: the write then never completes and nothing else is waited for.
    armDeadline(Wait::Idle, idleTimeout);
    // Closing only from the write's completion keeps this reply, and any
    // reply queued before it, from being cut off.
    async_write(std::move(head), std::move(body),
                [self, closeAfter, closeReason](const boost::system::error_code& error, std::size_t) {
                  if (error) {
                    return;  // the failed write has already closed the connection
                  }
                  if (closeAfter) {
                    self->lingerAndClose(closeReason);
                  } else {
                    self->read_HttpHeader();
                  }
                });
  } catch (const QuorvelException& e) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception caught while sending error. Connection shutdown! Exception: "
                                           << e.what());
    closeSignal(e.what());
  } catch (const std::exception& e) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception caught while sending error. Connection shutdown! Exception: "
                                           << e.what());
    closeSignal(e.what());
  } catch (...) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception caught while sending error. Connection shutdown!");
    closeSignal("unknown exception");
  }
}

void HttpConnection::lingerAndClose(const std::string& reason) {
  pendingCloseReason = reason;
  lingerBytes = 0;
  lingerEnd = std::chrono::steady_clock::now() + lingerTimeout;
  requestBuffer->consume(requestBuffer->size());
  // Also bounds the close notification's send to a client that reads nothing.
  armLingerDeadline();
  auto self = sharedHttpConnection();
  getTransport()->async_close_write([self](const boost::system::error_code& error, std::size_t) {
    error ? self->endLinger() : self->lingerRead();
  });
}

void HttpConnection::endLinger() {
  disarmDeadline();
  closeSignal(pendingCloseReason);
}

void HttpConnection::armLingerDeadline() {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lingerEnd - std::chrono::steady_clock::now());
  armDeadline(Wait::Closing, std::max(std::chrono::milliseconds(0), std::min(left, httplimits::kLingerQuietTime)));
}

void HttpConnection::lingerRead() {
  armLingerDeadline();
  auto self = sharedHttpConnection();
  // Bytes the client sends after our end, until it ends its own side: read
  // only to be dropped, so they are never left unread when the socket closes.
  getTransport()->async_discard_some(
      boost::asio::mutable_buffers_1(requestBuffer->prepare(httplimits::kLingerReadSize)),
      [self](const boost::system::error_code& error, std::size_t bytes) {
        self->lingerBytes += bytes;
        error || self->lingerBytes > self->lingerMaxBytes ? self->endLinger() : self->lingerRead();
      });
}

void HttpConnection::continueAfterReply() {
  if (transferMode != TransferMode::Http) {
    startReadHeader();
  } else if (chunkedDiscard != ChunkedDiscard::None) {
    read_ChunkedHeader();
  } else if (closeAfterReply) {
    LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Closing the connection after the reply, as the client asked.");
    lingerAndClose("Connection: close");
  } else {
    read_HttpHeader();
  }
}

void HttpConnection::armDeadline(Wait wait, std::chrono::milliseconds timeout) {
  waiting = wait;
  idleSinceTicks.store(0, std::memory_order_relaxed);
  deadline = std::chrono::steady_clock::now() + timeout;
  if (!timerWaiting || deadlineTimer.expiry() > deadline) {
    startDeadlineWait();
  }
}

void HttpConnection::disarmDeadline() {
  // The pending wait, if any, finds nothing to time out and ends quietly.
  waiting = Wait::Nothing;
  idleSinceTicks.store(0, std::memory_order_relaxed);
}

void HttpConnection::startDeadlineWait() {
  deadlineTimer.expires_at(deadline);
  timerWaiting = true;
  const std::uint64_t generation = ++timerGeneration;
  // A weak reference: a pending time-out must not keep a closed connection alive.
  std::weak_ptr<AsyncConnection> weak = weak_from_this();
  deadlineTimer.async_wait([weak, generation](const boost::system::error_code&) {
    if (auto self = weak.lock()) {
      static_cast<HttpConnection*>(self.get())->onDeadline(generation);
    }
  });
}

void HttpConnection::onDeadline(std::uint64_t generation) {
  if (generation != timerGeneration) {
    return;
  }
  timerWaiting = false;
  if (waiting == Wait::Nothing) {
    return;
  }
  if (std::chrono::steady_clock::now() < deadline) {
    startDeadlineWait();
    return;
  }
  const Wait expired = waiting;
  waiting = Wait::Nothing;
  switch (expired) {
    case Wait::Idle:
      LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Idle time-out, closing connection.");
      closeSignal("Idle time-out");
      break;
    case Wait::Header:
      LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Header not received in time, closing connection.");
      closeSignal("Header time-out");
      break;
    case Wait::Body:
      LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Body not received in time, closing connection.");
      closeSignal("Body time-out");
      break;
    case Wait::Budget:
      // Otherwise the grant came first: the body is about to be read.
      if (leaveBudgetQueue()) {
        LOG4CPLUS_DEBUG(logger, getLogPrefix() << "No room for the request body in time, refusing it.");
        // The client is still sending the body it announced: all of it is
        // drained, within the body time, or the close would reset the
        // connection under the refusal.
        lingerMaxBytes = request.getContentLength() + httplimits::kLingerMaxBytes;
        lingerTimeout = bodyTimeout;
        sendError(http::StatusCode::ServiceUnavailable, getAuthInfo(), true, "Body budget time-out");
      }
      break;
    case Wait::Closing:
      closeSignal(pendingCloseReason);
      break;
    case Wait::Nothing:
      break;
  }
}

// ---- chunked transfer ----

void HttpConnection::upgradeToChunked(const http::HttpRequest&, http::HttpResponse&, http::ProcessChunk callback) {
  transferMode = TransferMode::Chunked;
  chunkCallback = std::move(callback);
  LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Switching connection to 'chunked' transfer.");
}

void HttpConnection::read_ChunkedHeader() {
  blockBytesSeen = 0;
  terminatorTail.clear();
  chunkLineTooLong = false;
  armDeadline(Wait::Body, bodyTimeout);
  auto self = sharedHttpConnection();
  async_read_until(
      *requestBuffer,
      MatchCondition([this](MatchIterator begin, MatchIterator end) {
        return matchTerminated(begin, end, kLineTerminator, httplimits::kChunkSizeLineLimit, chunkLineTooLong);
      }),
      [self](const boost::system::error_code& error, std::size_t bytes) { self->handle_chunkedHeader(error, bytes); });
}

void HttpConnection::handle_chunkedHeader(const boost::system::error_code& error, std::size_t bytesTransferred) {
  clearReadPending();
  disarmDeadline();
  if (error) {
    printError(error, "Connection::handle_chunkedHeader");
    closeSignal(error.message());
    return;
  }
  if (chunkedDiscard == ChunkedDiscard::Trailer) {
    skipTrailerLine(bytesTransferred);
    return;
  }
  bool refused = chunkLineTooLong;
  std::uint64_t length = 0;
  if (!refused) {
    const std::string_view line(static_cast<const char*>(requestBuffer->data().data()),
                                bytesTransferred - kLineTerminator.size());
    for (char c : line) {
      const int digit = hexDigit(c);
      length = length * 16 + static_cast<std::uint64_t>(digit);
      if (digit < 0 || length >= kChunkSizeBound) {
        refused = true;
        break;
      }
    }
    requestBuffer->consume(bytesTransferred);
  }
  if (refused) {
    LOG_CLIENT_ERROR(kBadChunkSize);
    closeSignal(kBadChunkSize);
  } else if (length == 0 && chunkedDiscard == ChunkedDiscard::Chunks) {
    chunkedDiscard = ChunkedDiscard::Trailer;
    read_ChunkedHeader();
  } else if (length == 0) {
    LOG_CLIENT_ERROR(kLastChunk);
    closeSignal(kLastChunk);
  } else if (length > std::min(httplimits::kChunkSizeLimit, effectivePayloadLimit())) {
    LOG_CLIENT_ERROR_AS("Length of the chunk seems odd",
                        "Length of the chunk seems odd, length received is " + std::to_string(length) +
                            ". Stopping connection");
    closeSignal("Length of the chunk seems odd");
  } else if (chunkedDiscard == ChunkedDiscard::Chunks) {
    armDeadline(Wait::Body, bodyTimeout);
    skipChunkData(static_cast<std::size_t>(length));
  } else {
    read_ChunkedData(static_cast<std::size_t>(length));
  }
}

void HttpConnection::skipChunkData(std::size_t left) {
  // Dropped as it arrives: a skipped body is in no budget, so none of it is held.
  const std::size_t dropped = std::min(left, requestBuffer->size());
  requestBuffer->consume(dropped);
  left -= dropped;
  if (left == 0) {
    releaseRequestMemory();
    read_ChunkedData(0);  // only its CR LF is left, checked as after any chunk
    return;
  }
  auto self = sharedHttpConnection();
  async_read_some(*requestBuffer, [self, left](const boost::system::error_code& error, std::size_t) {
    self->clearReadPending();
    if (error) {
      self->printError(error, "Connection::handle_chunkedData");
      self->closeSignal(error.message());
      return;
    }
    self->skipChunkData(left);
  });
}

void HttpConnection::skipTrailerLine(std::size_t bytesTransferred) {
  const std::string_view line(static_cast<const char*>(requestBuffer->data().data()),
                              chunkLineTooLong ? 0 : bytesTransferred - kLineTerminator.size());
  // A bare CR or LF could end the body earlier for another reader.
  if (chunkLineTooLong || line.find_first_of("\r\n") != std::string_view::npos) {
    LOG_CLIENT_ERROR("Malformed trailer of a chunked body! Closing connection!");
    closeSignal("Malformed chunked trailer");
    return;
  }
  requestBuffer->consume(bytesTransferred);
  if (line.empty()) {
    chunkedDiscard = ChunkedDiscard::None;
    continueAfterReply();
  } else {
    read_ChunkedHeader();
  }
}

void HttpConnection::read_ChunkedData(std::size_t length) {
  const std::size_t needed = length + kLineTerminator.size();
  const std::size_t buffered = requestBuffer->size();
  if (buffered >= needed) {
    handle_chunkedData(boost::system::error_code(), needed, length);
    return;
  }
  armDeadline(Wait::Body, bodyTimeout);
  auto self = sharedHttpConnection();
  async_read(*requestBuffer, needed - buffered,
             [self, length](const boost::system::error_code& error, std::size_t bytes) {
               self->handle_chunkedData(error, bytes, length);
             });
}

void HttpConnection::handle_chunkedData(const boost::system::error_code& error, std::size_t, std::size_t length) {
  clearReadPending();
  disarmDeadline();
  if (error) {
    printError(error, "Connection::handle_chunkedData");
    closeSignal(error.message());
    return;
  }
  try {
    if (std::string_view(static_cast<const char*>(requestBuffer->data().data()) + length, kLineTerminator.size()) !=
        kLineTerminator) {
      LOG_CLIENT_ERROR("Chunk data not followed by CR LF! Closing connection!");
      closeSignal("Chunk data not followed by CR LF");
      return;
    }
    // The chunks of a body being skipped go nowhere.
    bool readOn = chunkedDiscard == ChunkedDiscard::Chunks;
    requestBuffer->openWindow(length);
    if (chunkCallback) {
      std::istream chunk(requestBuffer.get());
      chunk.exceptions(std::ios::badbit);
      for (std::size_t left = length; left != 0;) {
        readOn = chunkCallback(response, chunk, left);
        const std::size_t rest = requestBuffer->windowRemaining();
        // A callback that takes nothing would be offered the same bytes for
        // ever: the rest of the chunk is skipped instead.
        if (!readOn || rest == left) {
          break;
        }
        left = rest;
        chunk.clear();
      }
    }
    requestBuffer->closeWindow();
    requestBuffer->consume(kLineTerminator.size());
    releaseRequestMemory();
    if (readOn) {
      read_ChunkedHeader();
    }
  } catch (const std::exception& e) {
    requestBuffer->closeWindow();
    LOG_CLIENT_ERROR(std::string("Caught exception while processing chunked transfer. Shutting down! Error was: '") +
                     e.what() + "'");
    closeSignal(e.what());
  } catch (...) {
    requestBuffer->closeWindow();
    LOG_CLIENT_ERROR("Caught exception while processing chunked transfer. Shutting down!");
    closeSignal("unknown exception");
  }
}

// ---- WebSocket ----

std::string HttpConnection::computeWebSocketAccept(const http::HttpRequest& request) {
  const std::string keyed = request.getSecWebSocketKey() + kWebSocketGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(keyed.data(), keyed.size(), digest, &size, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 digest failed");
  }
  return utils::base64Encode(std::string(reinterpret_cast<const char*>(digest), size));
}

void HttpConnection::upgradeToWebSocketAndGenerateResponse(const http::HttpRequest& request,
                                                           http::HttpResponse& response, http::ProcessChunk callback) {
  response.clear();
  response.setContentType("");
  response.setCharset("");
  response.setStatusCode(http::StatusCode::SwitchingProtocols);
  response.setConnection("Upgrade");
  response.setUpgrade("websocket");
  response.setSecWebSocketAccept(computeWebSocketAccept(request));
  response.setSecWebSocketVersion("13");
  // Echoing the whole list would make a client refuse the handshake: one is chosen.
  auto offered = request.getSecWebSocketProtocolList();
  response.setSecWebSocketProtocol(offered.empty() ? std::string() : std::move(offered.front()));
  response.setSendContentLength(false);
  transferMode = TransferMode::WebSocket;
  chunkCallback = std::move(callback);
  LOG4CPLUS_DEBUG(logger, getLogPrefix() << "Switching connection to 'websocket' transfer.");
}

void HttpConnection::read_webSocketHeader() {
  // Between frames the peer may stay silent as long as it likes.
  disarmDeadline();
  readFrames();
}

void HttpConnection::handle_websocketData(const boost::system::error_code& error, std::size_t) {
  clearReadPending();
  if (error) {
    printError(error, "Connection::handle_websocketData");
    closeSignal(error.message());
    return;
  }
  readFrames();
}

void HttpConnection::readFrames() {
  try {
    // Nothing is handled once our close frame is queued.
    while (!closeFrameSent) {
      const auto buffered = requestBuffer->data();
      std::size_t used = 0;
      const auto status = frameReader.advance(static_cast<const unsigned char*>(buffered.data()), buffered.size(),
                                              effectivePayloadLimit(), used);
      requestBuffer->consume(used);
      if (status == WebSocketFrameReader::Status::NeedMore ||
          (status == WebSocketFrameReader::Status::FrameReady &&
           requestBuffer->size() < frameReader.getPayloadLength())) {
        waitForFrameBytes();
        return;
      }
      if (status != WebSocketFrameReader::Status::FrameReady) {
        refuseFrame(status);
        return;
      }
      const bool readOn = handleFrame();
      // As after a chunk: one large frame must not keep its buffer for the connection's life.
      releaseRequestMemory();
      if (!readOn) {
        return;
      }
    }
  } catch (const std::exception& e) {
    requestBuffer->closeWindow();
    LOG_CLIENT_ERROR(std::string("Caught exception while processing websocket transfer. Shutting down! Error was: '") +
                     e.what() + "'");
    closeStatus = kCloseServerError;
    closeSignal(e.what());
  } catch (...) {
    requestBuffer->closeWindow();
    LOG_CLIENT_ERROR("Caught exception while processing websocket transfer. Shutting down!");
    closeStatus = kCloseServerError;
    closeSignal("unknown exception");
  }
}

void HttpConnection::waitForFrameBytes() {
  // A frame once begun must complete within the body time.
  if (requestBuffer->size() != 0 || frameReader.getState() != WebSocketFrameReader::State::Header) {
    if (waiting == Wait::Nothing) {
      armDeadline(Wait::Body, bodyTimeout);
    }
  }
  auto self = sharedHttpConnection();
  auto done = [self](const boost::system::error_code& error, std::size_t bytes) {
    self->handle_websocketData(error, bytes);
  };
  if (frameReader.getState() == WebSocketFrameReader::State::Payload) {
    // Exactly the rest of the payload, so the buffer never holds more than one frame's worth.
    async_read(*requestBuffer, static_cast<std::size_t>(frameReader.getPayloadLength()) - requestBuffer->size(), done);
  } else {
    async_read_some(*requestBuffer, done);
  }
}

bool HttpConnection::handleFrame() {
  disarmDeadline();
  const auto length = static_cast<std::size_t>(frameReader.getPayloadLength());
  frameReader.unmask(requestBuffer->unreadBytes(), length);
  frameReader.nextFrame();
  requestBuffer->openWindow(length);
  std::istream payload(requestBuffer.get());
  payload.exceptions(std::ios::badbit);
  switch (frameReader.getOpcode()) {
    case WebSocketFrameReader::kClose: {
      std::ostringstream echo;
      writeCloseEchoFrame(payload, length, echo);
      requestBuffer->closeWindow();
      sendCloseFrame(echo.str(), "");
      return false;
    }
    case WebSocketFrameReader::kPing: {
      std::ostringstream pong;
      writePongFrame(payload, length, pong);
      requestBuffer->closeWindow();
      // Reading resumes once the pong is written, so a peer that pings
      // without reading cannot grow the write queue.
      armDeadline(Wait::Body, bodyTimeout);
      auto self = sharedHttpConnection();
      async_write(pong.str(), 0, [self](const boost::system::error_code& error, std::size_t) {
        if (!error) {
          self->read_webSocketHeader();
        }
      });
      return false;
    }
    case WebSocketFrameReader::kPong:
      requestBuffer->closeWindow();
      return true;
    default: {
      const bool readOn = chunkCallback && chunkCallback(response, payload, length);
      requestBuffer->closeWindow();
      return readOn || requestBuffer->size() != 0;
    }
  }
}

void HttpConnection::refuseFrame(WebSocketFrameReader::Status status) {
  using Status = WebSocketFrameReader::Status;
  const char opcode = static_cast<char>(frameReader.getOpcode());
  const char* reason = "Websocket error";
  closeStatus = kCloseProtocolError;
  switch (status) {
    case Status::UnknownOpcode:
      LOG_CLIENT_ERROR(std::string("Websocket: unknown opcode '") + opcode + "' received! Closing connection!");
      reason = "Websocket unknown opcode";
      break;
    case Status::OpeningInFlight:
      LOG_CLIENT_ERROR(std::string("Websocket: received an opening fragment but a fragmented message was already in "
                                   "flight! Opcode received was '") +
                       opcode + "' while fragmented opcode was '" +
                       static_cast<char>(frameReader.getFragmentedOpcode()) + "' Closing connection!");
      break;
    case Status::DataInFlight:
      LOG_CLIENT_ERROR("Websocket: received a whole data frame inside a fragmented message! Closing connection!");
      break;
    case Status::StrayContinuation:
      LOG_CLIENT_ERROR("Websocket: received a continuation frame with no fragmented message in flight! Closing "
                       "connection!");
      break;
    case Status::BadControlFrame:
      LOG_CLIENT_ERROR("Websocket: received a control frame that is fragmented or longer than 125 bytes! Closing "
                       "connection!");
      break;
    case Status::LengthTopBitSet:
      LOG_CLIENT_ERROR("Websocket: received a frame length with its top bit set! Closing connection!");
      break;
    default:
      LOG_CLIENT_ERROR_AS("Websocket: frame over the payload limit",
                          "Websocket: frame of " + std::to_string(frameReader.getPayloadLength()) +
                              " bytes is over the payload limit! Closing connection!");
      reason = "Websocket frame too large";
      closeStatus = kCloseTooBig;
      break;
  }
  closeConnection(reason);
}

void HttpConnection::sendCloseFrame(std::string frame, const std::string& reason) {
  // Set when queued: a failure before the write completes sends no second close frame.
  closeFrameSent = true;
  pendingCloseReason = reason;
  armDeadline(Wait::Closing, httplimits::kCloseFrameTimeout);
  auto self = sharedHttpConnection();
  async_write(std::move(frame), 0,
              [self, reason](const boost::system::error_code&, std::size_t) { self->closeSignal(reason); });
}

void HttpConnection::writePongFrame(std::istream& payload, std::size_t length, std::ostream& out) {
  writeFrameHeader(out, kFinPong, length);
  copyPayload(payload, length, out);
}

void HttpConnection::writeCloseEchoFrame(std::istream& payload, std::size_t length, std::ostream& out) {
  writeFrameHeader(out, kFinClose, length);
  copyPayload(payload, length, out);
}

void HttpConnection::writeCloseFrame(std::ostream& out, std::uint16_t status) {
  writeFrameHeader(out, kFinClose, 2);
  out.put(static_cast<char>(status >> 8)).put(static_cast<char>(status & 0xFF));
}

void HttpConnection::writeBinaryFrameHeader(std::ostream& out, std::size_t length) {
  writeFrameHeader(out, kFinBinary, length);
}

bool HttpConnection::isChunkedRequest(const http::HttpRequest& request) {
  return listContains(request.getTransferEncodingList(), "chunked");
}

bool HttpConnection::isWebSocketUpgradeRequest(const http::HttpRequest& request) {
  return listContains(request.getUpgradeList(), "websocket") && listContains(request.getConnectionList(), "Upgrade") &&
         !request.getSecWebSocketKey().empty() && listContains(request.getSecWebSocketVersionList(), "13");
}

}  // namespace quorvel::transport
