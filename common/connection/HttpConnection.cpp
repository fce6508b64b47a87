#include "common/connection/HttpConnection.h"

#include <algorithm>
#include <exception>
#include <istream>
#include <sstream>
#include <string_view>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/base/QuorvelException.h"
#include "common/http/HttpParsingException.h"
#include "common/utils/ByteUtils.h"

namespace quorvel::transport {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("Connection");

namespace {
constexpr char kHeaderTerminator[] = "\r\n\r\n";
constexpr std::size_t kHeaderTerminatorLength = 4;

bool listContains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}
}  // namespace

HttpConnection::HttpConnection(std::shared_ptr<Transport> transport, bool httpUseReadLimits,
                               std::size_t httpMaxHeaderSize, std::size_t httpMaxPayloadSize,
                               http::HttpProcessorPtr processor, std::uint32_t hstsMaxAge)
    : AsyncConnection(std::move(transport)),
      requestBuffer(std::min(httpMaxHeaderSize, httplimits::kHeaderSizeCeiling)),
      processor(std::move(processor)),
      request(getAuthInfo()),
      response(getAuthInfo(), http::StatusCode::OK, "text/plain", ""),
      httpUseReadLimits(httpUseReadLimits),
      hstsMaxAge(hstsMaxAge),
      httpMaxHeaderSize(httpMaxHeaderSize),
      httpMaxPayloadSize(httpMaxPayloadSize),
      deadlineTimer(getIOService()) {}

HttpConnection::~HttpConnection() = default;

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
  ++timerGeneration;
  waiting = Wait::Nothing;
  timerWaiting = false;
  deadlineTimer.cancel();
  AsyncConnection::close(std::move(reason));
}

void HttpConnection::closeConnection(std::string reason) {
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

bool HttpConnection::reportRequest(bool, const std::string&, const std::string&, const std::string&,
                                   const std::string&, const std::string&, const std::string&) {
  return true;
}

void HttpConnection::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds header,
                                 std::chrono::milliseconds body) {
  idleTimeout = idle;
  headerTimeout = header;
  bodyTimeout = body;
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
      case TransferMode::WebSocket:
        // No streaming reader is built into this connection yet.
        self->closeSignal("Unsupported transfer mode");
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
  headerBytesSeen = 0;
  terminatorTail.clear();
  // Bytes already buffered (a pipelined request) mean a header has begun.
  if (requestBuffer.size() > 0) {
    armDeadline(Wait::Header, headerTimeout);
  } else {
    armDeadline(Wait::Idle, idleTimeout);
    // Only now, with the handshake done, is it an idle keep-alive connection.
    idleSinceTicks.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  auto self = sharedHttpConnection();
  const std::size_t limit = effectiveHeaderLimit();
  async_read_until(
      requestBuffer,
      MatchCondition([self, limit](MatchIterator begin, MatchIterator end) {
        return self->matchHeader(begin, end, limit);
      }),
      [self](const boost::system::error_code& error, std::size_t bytes) { self->handle_httpRequest(error, bytes); });
}

HttpConnection::MatchResult HttpConnection::matchHeader(MatchIterator begin, MatchIterator end, std::size_t limit) {
  if (begin == end) {
    return {end, false};
  }
  if (waiting == Wait::Idle) {
    armDeadline(Wait::Header, headerTimeout);
  }
  const std::size_t length = static_cast<std::size_t>(end - begin);
  const char* data = &*begin;

  // Only the header block counts towards the limit: a body or a pipelined
  // request that arrived with it must not get a valid request refused.
  std::size_t blockEnd = 0;
  if (!terminatorTail.empty()) {
    // A terminator that began in an earlier arrival of this read.
    std::string joined = terminatorTail;
    joined.append(data, std::min<std::size_t>(length, kHeaderTerminatorLength - 1));
    auto found = joined.find(kHeaderTerminator);
    if (found != std::string::npos) {
      blockEnd = found + kHeaderTerminatorLength - terminatorTail.size();
    }
  }
  if (blockEnd == 0) {
    if (const char* found = utils::findBytes(data, length, kHeaderTerminator, kHeaderTerminatorLength)) {
      blockEnd = static_cast<std::size_t>(found - data) + kHeaderTerminatorLength;
    }
  }
  if (blockEnd != 0) {
    if (headerBytesSeen + blockEnd > limit) {
      headerTooLarge = true;
      return {begin, true};
    }
    return {begin + static_cast<std::ptrdiff_t>(blockEnd), true};
  }

  headerBytesSeen += length;
  if (headerBytesSeen > limit) {
    headerTooLarge = true;
    return {begin, true};
  }
  const std::size_t keep = kHeaderTerminatorLength - 1;
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
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Header too large!");
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
    const auto received = requestBuffer.data();
    requestBuffer.consume(http::HttpParser::parseRequestHeaders(
        request, std::string_view(static_cast<const char*>(received.data()), received.size())));

    const std::size_t length = request.getContentLength();
    if (length > effectivePayloadLimit()) {
      LOG4CPLUS_ERROR(logger, getLogPrefix() << "Payload too long!");
      sendError(http::StatusCode::PayloadTooLarge, getAuthInfo(), true, "Payload too long!");
      return;
    }
    if (length != 0) {
      readHttpBody(length);
    } else {
      handle_httpRequestBody(boost::system::error_code(), 0, 0);
    }
  } catch (const http::HttpParsingException& e) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Caught http parsing exception in handle_httpRequest. Shutting down! "
                                              "Error was: '"
                                           << e.what() << "'");
    reportRequest(false, "http", "Miss formed HTTP Request", "", "", getClientIP(), getCountry());
    closeSignal(e.what());
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Caught exception in handle_httpRequest. Shutting down! Error was: '"
                                           << e.what() << "'");
    closeSignal(e.what());
  } catch (...) {
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Exception in handle_httpRequest caught! Shutting down!");
    closeSignal("unknown exception");
  }
}

void HttpConnection::readHttpBody(std::size_t length) {
  const std::size_t buffered = requestBuffer.size();
  if (buffered >= length) {
    handle_httpRequestBody(boost::system::error_code(), length, length);
    return;
  }
  armDeadline(Wait::Body, bodyTimeout);
  auto self = sharedHttpConnection();
  async_read(requestBuffer, length - buffered,
             [self, length](const boost::system::error_code& error, std::size_t bytes) {
               self->handle_httpRequestBody(error, bytes, length);
             });
}

void HttpConnection::handle_httpRequestBody(const boost::system::error_code& error, std::size_t,
                                            std::size_t length) {
  clearReadPending();
  disarmDeadline();
  if (error) {
    printError(error, "Connection::handle_httpRequestBody");
    closeSignal(error.message());
    return;
  }
  try {
    requestBuffer.openWindow(length);
    std::istream body(&requestBuffer);
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
        requestBuffer.closeWindow();
        return;
      }
    }

    const bool ok = processor->processRequest(request, response, body, self);
    requestBuffer.closeWindow();
    if (!ok) {
      request = http::HttpRequest(getAuthInfo());
      return;
    }

    if (hstsMaxAge != 0) {
      response.setStrictTransportSecurity("max-age=" + std::to_string(hstsMaxAge));
    }
    const auto statusCode = static_cast<std::uint16_t>(response.getStatusCode());
    reportRequest(statusCode < 400, "http", response.getStatusText(), request.getPath(),
                  getAuthInfo()->getUserName(), getClientIP(), getCountry());

    std::ostringstream output;
    http::HttpGenerator::generateResponse(request, response, output);
    response.setBody(std::string(), false, false);
    std::string text = output.str();
    const std::size_t textSize = text.size();

    // The next request is read only once this reply is on the wire, so a
    // client that pipelines without reading cannot grow the write queue.
    auto completion = response.getWriteCompletion();
    armDeadline(Wait::Idle, idleTimeout);
    async_write(std::move(text), 0, [self, completion](const boost::system::error_code& writeError, std::size_t bytes) {
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
        self->startReadHeader();
      }
    });
    LOG4CPLUS_TRACE(logger, getLogPrefix() << "Writing Response (" << textSize
                                           << " bytes) : " << response.getStatusText());

    request = http::HttpRequest(getAuthInfo());
    if (transferMode == TransferMode::Http) {
      response.clear();
    }
  } catch (const std::exception& e) {
    requestBuffer.closeWindow();
    LOG4CPLUS_ERROR(logger, getLogPrefix() << "Caught exception in handle_httpRequestBody. Shutting down! Error was: '"
                                           << e.what() << "'");
    closeSignal(e.what());
  } catch (...) {
    requestBuffer.closeWindow();
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
    std::ostringstream output;
    http::HttpGenerator::generateResponse(errorRequest, errorResponse, output);

    auto self = sharedHttpConnection();
    // A peer that no longer reads would otherwise hold the connection for
    // good: the write then never completes and nothing else is waited for.
    armDeadline(Wait::Idle, idleTimeout);
    // Closing only from the write's completion keeps this reply, and any
    // reply queued before it, from being cut off.
    async_write(output.str(), 0,
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
  lingerReason = reason;
  lingerBytes = 0;
  lingerEnd = std::chrono::steady_clock::now() + httplimits::kLingerTimeout;
  requestBuffer.consume(requestBuffer.size());
  lingerRead();
}

void HttpConnection::lingerRead() {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lingerEnd - std::chrono::steady_clock::now());
  armDeadline(Wait::Linger, std::max(std::chrono::milliseconds(0), std::min(left, httplimits::kLingerQuietTime)));
  auto self = sharedHttpConnection();
  async_read_some(requestBuffer, [self](const boost::system::error_code& error, std::size_t bytes) {
    self->clearReadPending();
    self->lingerBytes += bytes;
    self->requestBuffer.consume(self->requestBuffer.size());
    if (error || self->lingerBytes > httplimits::kLingerMaxBytes) {
      self->disarmDeadline();
      self->closeSignal(self->lingerReason);
      return;
    }
    self->lingerRead();
  });
}

void HttpConnection::armDeadline(Wait wait, std::chrono::milliseconds timeout) {
  if (transferMode == TransferMode::WebSocket) {
    return;
  }
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
  if (waiting == Wait::Nothing || transferMode == TransferMode::WebSocket) {
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
    case Wait::Linger:
      closeSignal(lingerReason);
      break;
    case Wait::Nothing:
      break;
  }
}

bool HttpConnection::isChunkedRequest(const http::HttpRequest& request) {
  return listContains(request.getTransferEncodingList(), "chunked");
}

bool HttpConnection::isWebSocketUpgradeRequest(const http::HttpRequest& request) {
  return listContains(request.getUpgradeList(), "websocket") && listContains(request.getConnectionList(), "Upgrade") &&
         !request.getSecWebSocketKey().empty() && listContains(request.getSecWebSocketVersionList(), "13");
}

}  // namespace quorvel::transport
