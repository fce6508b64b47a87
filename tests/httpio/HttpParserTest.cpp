#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "ParseSupport.h"
#include "common/http/CookieException.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using testing::LogCapture;
using testing::parseFailure;
using testing::parseRequest;

const std::string kRequestLine = "GET /index.html HTTP/1.1\r\n";

#define FIELD(getter) [](const HttpRequest& r) { return std::string(r.getter()); }

TEST(RequestHeaders, EachKnownHeaderReachesItsField) {
  // Each line's value, after ": ", must come back from its own getter.
  const std::pair<std::string, std::function<std::string(const HttpRequest&)>> rows[] = {
      {"User-Agent: curl/8.4.0", FIELD(getUserAgent)}, {"HOST: h:443", FIELD(getHost)},
      {"Access-Control-Request-Method: PUT", FIELD(getAccessControlRequestMethod)},
      {"access-control-request-headers: x-a", FIELD(getAccessControlRequestHeaders)},
      {"Origin: o", FIELD(getOrigin)}, {"Referer: r", FIELD(getReferer)}, {"sec-ch-ua: \"C\"", FIELD(getSecChUa)},
      {"Sec-CH-UA-Mobile: ?0", FIELD(getSecChUaMobile)}, {"Sec-CH-UA-Platform: L", FIELD(getSecChUaPlatform)},
      {"Sec-CH-UA-Platform-Version: 6", FIELD(getSecChUaPlatformVersion)},
      {"Sec-CH-UA-Arch: x86", FIELD(getSecChUaArch)}, {"Sec-CH-UA-Bitness: 64", FIELD(getSecChUaBitness)},
      {"Sec-CH-UA-Model: m", FIELD(getSecChUaModel)}, {"Sec-CH-UA-Full-Version: 124", FIELD(getSecChUaFullVersion)},
      {"If-Modified-Since: ims", FIELD(getIfModifiedSince)}, {"If-None-Match: \"abc\"", FIELD(getIfNoneMatch)},
      {"Accept: text/html", FIELD(getAccept)}, {"Accept-Encoding: gzip", FIELD(getAcceptEncoding)},
      {"Accept-Language: de-CH", FIELD(getAcceptLanguage)}, {"Authorization: Basic dTpw", FIELD(getAuthorization)},
      {"Cache-Control: no-cache", FIELD(getCacheControl)}, {"Connection: keep-alive", FIELD(getConnection)},
      {"Content-Type: application/json", FIELD(getContentType)}, {"Cookie: a=1", FIELD(getCookieHeader)},
      {"Date: d", FIELD(getDate)}, {"Pragma: no-cache", FIELD(getPragma)},
      {"RDG-Connection-Id: {1}", FIELD(getRdgConnectionId)}, {"RDG-Correlation-Id: {2}", FIELD(getRdgCorrelationId)},
      {"RDG-User-Id: dXNlcg==", FIELD(getRdgUserId)}, {"Sec-Fetch-Dest: document", FIELD(getSecFetchDest)},
      {"Sec-Fetch-Mode: navigate", FIELD(getSecFetchMode)}, {"Sec-Fetch-Site: none", FIELD(getSecFetchSite)},
      {"Sec-Fetch-User: ?1", FIELD(getSecFetchUser)}, {"Transfer-Encoding: chunked", FIELD(getTransferEncoding)},
      {"Upgrade: websocket", FIELD(getUpgrade)}, {"Sec-WebSocket-Version: 13", FIELD(getSecWebSocketVersion)},
      {"Sec-WebSocket-Key: k==", FIELD(getSecWebSocketKey)}, {"X-Forwarded-For: 192.0.2.1", FIELD(getXForwardedFor)},
      {"Sec-WebSocket-Protocol: chat", FIELD(getSecWebSocketProtocol)},
      {"Content-Length: 42", [](const HttpRequest& r) { return std::to_string(r.getContentLength()); }},
      // Colons after the first belong to the value.
      {"Host: example:8443", FIELD(getHost)},
  };
  for (const auto& [line, field] : rows) {
    EXPECT_EQ(field(*parseRequest(kRequestLine + line + "\r\n\r\n")), line.substr(line.find(": ") + 2)) << line;
  }
  // Only the ends of name and value are trimmed; case is kept in the value.
  EXPECT_EQ(parseRequest(kRequestLine + "  Accept \t:  \tText/HTML , x  \t\r\n\r\n")->getAccept(), "Text/HTML , x");
  // The record has a field, but the header is not one the parser takes.
  EXPECT_EQ(parseRequest(kRequestLine + "Sec-WebSocket-Extensions: x\r\n\r\n")->getSecWebSocketExtensions(), "");
  EXPECT_EQ(parseRequest(kRequestLine + "Host example\r\n\r\n")->getHost(), "");
}

#undef FIELD

TEST(RequestHeaders, ListHeadersAccumulateAndSingleOnesAreReplaced) {
  auto request = parseRequest(kRequestLine +
                              "Accept: a\r\nAccept: b, c\r\n"
                              "Accept-Encoding: gzip\r\nAccept-Encoding: br\r\n"
                              "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"
                              "X-Forwarded-For: a\r\nX-Forwarded-For: b\r\n"
                              "Host: first\r\nHost: second\r\n\r\n");
  EXPECT_EQ(request->getAccept(), "a,b, c");
  EXPECT_EQ(request->getAcceptList(), (std::vector<std::string>{"a", "b", " c"}));
  EXPECT_EQ(request->getAcceptEncoding(), "gzip,br");
  EXPECT_EQ(request->getTransferEncodingList(), (std::vector<std::string>{"gzip", "chunked"}));
  EXPECT_EQ(request->getXForwardedFor(), "b");
  EXPECT_EQ(request->getHost(), "second");
}

TEST(RequestHeaders, CookiesAreParsedFromEachCookieLine) {
  auto request = parseRequest(kRequestLine + "Cookie: sid=abc; theme=dark ;lang=de\r\nCookie: sid=xyz\r\n\r\n");
  EXPECT_EQ(request->getCookie("sid"), "xyz");
  EXPECT_EQ(request->getCookie("theme"), "dark ");
  EXPECT_EQ(request->getCookie("lang"), "de");
  EXPECT_EQ(request->getCookieHeader(), "sid=xyz");
  EXPECT_THROW(request->getCookie("Theme"), CookieException);
}

TEST(RequestHeaders, ContentLengthIsReadWithin32Bits) {
  const std::pair<std::string, std::uint32_t> accepted[] = {
      {"0", 0}, {"4294967295", 4294967295u}, {"+12", 12}, {"12abc", 12}, {"1 2", 1}};
  for (const auto& [value, expected] : accepted) {
    EXPECT_EQ(parseRequest(kRequestLine + "Content-Length: " + value + "\r\n\r\n")->getContentLength(), expected);
  }
  for (const std::string value : {"4294967296", "abc", "", "-1", "184467440737095516160"}) {
    LogCapture log;
    const auto failure = parseFailure(kRequestLine + "Host: h\r\nContent-Length: " + value + "\r\n\r\n");
    ASSERT_TRUE(failure.has_value()) << value;
    EXPECT_EQ(failure->message, "Invalid HTTP request");
    EXPECT_EQ(failure->function, "parseHeader");
    EXPECT_TRUE(log.contains("[cid:7]  cannot convert content length to an uint32_t!", log4cplus::ERROR_LOG_LEVEL));
  }
}

TEST(HeaderBlock, EndsAtTheEmptyLineOrTheEndOfInput) {
  // Nothing at all, or blank lines only: nothing to parse and nothing to refuse.
  EXPECT_EQ(parseRequest("")->getMethod(), "");
  EXPECT_EQ(parseRequest("\n\n\n")->getMethod(), "");

  // Bare line feeds end lines, but a blank one is no end of the block; the
  // input's end is, also for a last line without a line feed.
  auto request = parseRequest("GET /a HTTP/1.1\nHost: h\n\nUser-Agent: x");
  EXPECT_EQ(request->getHost(), "h");
  EXPECT_EQ(request->getUserAgent(), "x");

  for (const std::string text : {"\r\n", "\n\r\nGET / HTTP/1.1\r\n\r\n"}) {
    const auto failure = parseFailure(text);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, "Invalid (empty) HTTP request");
    EXPECT_EQ(failure->function, "parseRequestHeaders");
  }
}

TEST(HeaderBlock, ALargeBlockParses) {
  std::string text = kRequestLine + "Host: big\r\nCookie: ";
  for (int i = 0; i < 300; ++i) text.append("c").append(std::to_string(i)).append("=vvvvvvvvvvvv; ");
  text += "\r\n";
  for (int i = 0; text.size() < 48 * 1024 - 64; ++i) {
    text.append("X-Custom-").append(std::to_string(i)).append(": ").append(60, 'x').append("\r\n");
  }
  text += "User-Agent: end\r\n\r\n";
  auto request = parseRequest(text);
  EXPECT_EQ(request->getHost(), "big");
  EXPECT_EQ(request->getUserAgent(), "end");
  EXPECT_EQ(request->getCookie("c299"), std::string(12, 'v'));
}

TEST(ParserLog, TracesShowTheLineCutAndThePrefix) {
  LogCapture log;
  const std::string longValue(150, 'u');
  parseRequest("GET /a/ HTTP/1.1\r\nUser-Agent: " + longValue + "\r\nX-Unknown: 1\r\n\r\n");
  const std::string shown = ("User-Agent: " + longValue).substr(0, 100);
  EXPECT_TRUE(log.contains("[cid:7]  http header: '" + shown + "'", log4cplus::TRACE_LOG_LEVEL));
  EXPECT_FALSE(log.contains(shown + "u"));
  EXPECT_TRUE(log.contains("[cid:7]  not handled http header: 'X-Unknown: 1'", log4cplus::TRACE_LOG_LEVEL));
  EXPECT_TRUE(log.contains("[cid:7]  Requesting URI: /a/", log4cplus::TRACE_LOG_LEVEL));

  log.clear();
  parseFailure("get / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(log.contains("[cid:7]  Not a valid HTTP request! Request was: get / HTTP/1.1",
                           log4cplus::TRACE_LOG_LEVEL));
}

// The response side is not used by the service; these keep it honest.
std::unique_ptr<HttpResponse> parseResponse(const std::string& text) {
  auto response = std::make_unique<HttpResponse>(testing::connectionIdentity(), StatusCode::OK, "", "");
  std::istringstream input(text);
  HttpParser::parseResponseHeaders(*response, input);
  return response;
}

TEST(ResponseHeaders, StatusLineAndHeadersReachTheRecord) {
  LogCapture log;
  auto response = parseResponse("HTTP/1.1 404 Not Found\r\nETag: \"e\"\r\nno colon here\r\n\r\n");
  EXPECT_EQ(response->getHttpVersion(), "HTTP/1.1");
  EXPECT_EQ(response->getStatusCode(), StatusCode::NotFound);
  EXPECT_EQ(response->getETag(), "\"e\"");
  EXPECT_TRUE(log.contains("[cid:7]  split of line : 'no colon here' failed!", log4cplus::TRACE_LOG_LEVEL));

  for (const std::string text : {"HTTP1.1 200 OK\r\n\r\n", "HTTP/1.1 200\r\n\r\n", "\r\n"}) {
    try {
      parseResponse(text);
      ADD_FAILURE() << text;
    } catch (const HttpParsingException& e) {
      EXPECT_EQ(e.getMessage(), text == "\r\n" ? "Invalid (empty) HTTP request" : "Invalid HTTP request");
      EXPECT_EQ(e.getFunction(), "parseResponseHeaders");
    }
  }
}

}  // namespace
}  // namespace quorvel::http
