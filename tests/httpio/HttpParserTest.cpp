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

struct StoredHeader {
  std::string line;
  std::function<std::string(const HttpRequest&)> field;
  std::string expected;
};

class RequestHeaderField : public ::testing::TestWithParam<StoredHeader> {};

TEST_P(RequestHeaderField, ReachesItsField) {
  const StoredHeader& c = GetParam();
  auto request = parseRequest(kRequestLine + c.line + "\r\n\r\n");
  EXPECT_EQ(c.field(*request), c.expected) << c.line;
}

#define FIELD(getter) [](const HttpRequest& r) { return std::string(r.getter()); }

INSTANTIATE_TEST_SUITE_P(
    RequestOnly, RequestHeaderField,
    ::testing::Values(
        StoredHeader{"User-Agent: curl/8.4.0", FIELD(getUserAgent), "curl/8.4.0"},
        StoredHeader{"HOST: h:443", FIELD(getHost), "h:443"},
        StoredHeader{"Access-Control-Request-Method: PUT", FIELD(getAccessControlRequestMethod), "PUT"},
        StoredHeader{"access-control-request-headers: x-a, x-b", FIELD(getAccessControlRequestHeaders), "x-a, x-b"},
        StoredHeader{"Origin: https://example.com", FIELD(getOrigin), "https://example.com"},
        StoredHeader{"Referer: https://example.com/a", FIELD(getReferer), "https://example.com/a"},
        StoredHeader{"sec-ch-ua: \"Chromium\";v=\"124\"", FIELD(getSecChUa), "\"Chromium\";v=\"124\""},
        StoredHeader{"Sec-CH-UA-Mobile: ?0", FIELD(getSecChUaMobile), "?0"},
        StoredHeader{"Sec-CH-UA-Platform: \"Linux\"", FIELD(getSecChUaPlatform), "\"Linux\""},
        StoredHeader{"Sec-CH-UA-Platform-Version: \"6.1\"", FIELD(getSecChUaPlatformVersion), "\"6.1\""},
        StoredHeader{"Sec-CH-UA-Arch: \"x86\"", FIELD(getSecChUaArch), "\"x86\""},
        StoredHeader{"Sec-CH-UA-Bitness: \"64\"", FIELD(getSecChUaBitness), "\"64\""},
        StoredHeader{"Sec-CH-UA-Model: \"\"", FIELD(getSecChUaModel), "\"\""},
        StoredHeader{"Sec-CH-UA-Full-Version: \"124.0\"", FIELD(getSecChUaFullVersion), "\"124.0\""},
        StoredHeader{"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT", FIELD(getIfModifiedSince),
                     "Sun, 06 Nov 1994 08:49:37 GMT"},
        StoredHeader{"If-None-Match: \"abc\"", FIELD(getIfNoneMatch), "\"abc\""}));

INSTANTIATE_TEST_SUITE_P(
    Shared, RequestHeaderField,
    ::testing::Values(
        StoredHeader{"Accept: text/html", FIELD(getAccept), "text/html"},
        StoredHeader{"Accept-Encoding: gzip, br", FIELD(getAcceptEncoding), "gzip, br"},
        StoredHeader{"Accept-Language: de-CH", FIELD(getAcceptLanguage), "de-CH"},
        StoredHeader{"Authorization: Basic dTpw", FIELD(getAuthorization), "Basic dTpw"},
        StoredHeader{"Cache-Control: no-cache", FIELD(getCacheControl), "no-cache"},
        StoredHeader{"Connection: keep-alive", FIELD(getConnection), "keep-alive"},
        StoredHeader{"Content-Type: application/json", FIELD(getContentType), "application/json"},
        StoredHeader{"Cookie: a=1", FIELD(getCookieHeader), "a=1"},
        StoredHeader{"Date: Sun, 06 Nov 1994 08:49:37 GMT", FIELD(getDate), "Sun, 06 Nov 1994 08:49:37 GMT"},
        StoredHeader{"Pragma: no-cache", FIELD(getPragma), "no-cache"},
        StoredHeader{"RDG-Connection-Id: {1}", FIELD(getRdgConnectionId), "{1}"},
        StoredHeader{"RDG-Correlation-Id: {2}", FIELD(getRdgCorrelationId), "{2}"},
        StoredHeader{"RDG-User-Id: dXNlcg==", FIELD(getRdgUserId), "dXNlcg=="},
        StoredHeader{"Sec-Fetch-Dest: document", FIELD(getSecFetchDest), "document"},
        StoredHeader{"Sec-Fetch-Mode: navigate", FIELD(getSecFetchMode), "navigate"},
        StoredHeader{"Sec-Fetch-Site: none", FIELD(getSecFetchSite), "none"},
        StoredHeader{"Sec-Fetch-User: ?1", FIELD(getSecFetchUser), "?1"},
        StoredHeader{"Transfer-Encoding: chunked", FIELD(getTransferEncoding), "chunked"},
        StoredHeader{"Upgrade: websocket", FIELD(getUpgrade), "websocket"},
        StoredHeader{"Sec-WebSocket-Version: 13", FIELD(getSecWebSocketVersion), "13"},
        StoredHeader{"Sec-WebSocket-Key: dGhlIHNhbXBsZQ==", FIELD(getSecWebSocketKey), "dGhlIHNhbXBsZQ=="},
        StoredHeader{"Sec-WebSocket-Protocol: chat", FIELD(getSecWebSocketProtocol), "chat"},
        StoredHeader{"X-Forwarded-For: 192.0.2.1", FIELD(getXForwardedFor), "192.0.2.1"},
        StoredHeader{"Content-Length: 42", [](const HttpRequest& r) { return std::to_string(r.getContentLength()); },
                     "42"}));

INSTANTIATE_TEST_SUITE_P(
    LineShapes, RequestHeaderField,
    ::testing::Values(
        // Colons after the first belong to the value.
        StoredHeader{"Host: example:8443", FIELD(getHost), "example:8443"},
        StoredHeader{"Host:h", FIELD(getHost), "h"},
        // Only the ends of name and value are trimmed; case is kept in the value.
        StoredHeader{"  Accept \t:  \tText/HTML , x  \t", FIELD(getAccept), "Text/HTML , x"},
        StoredHeader{"Accept:", FIELD(getAccept), ""},
        // The record has a field, but the header is not one the parser takes.
        StoredHeader{"Sec-WebSocket-Extensions: permessage-deflate", FIELD(getSecWebSocketExtensions), ""},
        StoredHeader{"Host example", FIELD(getHost), ""}));

#undef FIELD

TEST(RequestHeaders, ListHeadersAccumulateAndSingleOnesAreReplaced) {
  auto request = parseRequest(kRequestLine +
                              "Accept: a\r\nAccept: b, c\r\n"
                              "Accept-Encoding: gzip\r\nAccept-Encoding: br\r\n"
                              "Cache-Control: no-cache\r\nCache-Control: max-age=0\r\n"
                              "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"
                              "X-Forwarded-For: a\r\nX-Forwarded-For: b\r\n"
                              "Host: first\r\nHost: second\r\n\r\n");
  EXPECT_EQ(request->getAccept(), "a,b, c");
  EXPECT_EQ(request->getAcceptList(), (std::vector<std::string>{"a", "b", " c"}));
  EXPECT_EQ(request->getAcceptEncoding(), "gzip,br");
  EXPECT_EQ(request->getCacheControl(), "no-cache,max-age=0");
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
  EXPECT_FALSE(request->hasCookie("SID"));
  EXPECT_THROW(request->getCookie("Theme"), CookieException);

  request = parseRequest(kRequestLine + "Cookie: a=1; a=2; b=\"q v\"\r\n\r\n");
  EXPECT_EQ(request->getCookie("a"), "2");
  EXPECT_EQ(request->getCookie("b"), "\"q v\"");
}

struct ContentLengthCase {
  std::string value;
  std::optional<std::uint32_t> expected;  // none: refused
};

class ContentLength : public ::testing::TestWithParam<ContentLengthCase> {};

TEST_P(ContentLength, IsReadWithin32Bits) {
  const ContentLengthCase& c = GetParam();
  LogCapture log;
  const std::string text = kRequestLine + "Host: h\r\nContent-Length: " + c.value + "\r\n\r\n";
  if (c.expected) {
    EXPECT_EQ(parseRequest(text)->getContentLength(), *c.expected);
    return;
  }
  const auto failure = parseFailure(text);
  ASSERT_TRUE(failure.has_value()) << c.value;
  EXPECT_EQ(failure->message, "Invalid HTTP request");
  EXPECT_EQ(failure->function, "parseHeader");
  EXPECT_EQ(failure->code, 0);
  EXPECT_TRUE(log.contains("[cid:7]  cannot convert content length to an uint32_t!", log4cplus::ERROR_LOG_LEVEL));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ContentLength,
    ::testing::Values(ContentLengthCase{"0", 0u}, ContentLengthCase{"4294967295", 4294967295u},
                      ContentLengthCase{"+12", 12u}, ContentLengthCase{"12abc", 12u},
                      ContentLengthCase{"007", 7u}, ContentLengthCase{"-0", 0u},
                      ContentLengthCase{"4294967296", std::nullopt}, ContentLengthCase{"abc", std::nullopt},
                      ContentLengthCase{"", std::nullopt}, ContentLengthCase{"-1", std::nullopt},
                      ContentLengthCase{"+", std::nullopt}, ContentLengthCase{"1 2", 1u},
                      ContentLengthCase{"184467440737095516160", std::nullopt}));

TEST(HeaderBlock, EndsAtTheEmptyLineOrTheEndOfInput) {
  // Nothing at all, or blank lines only: nothing to parse and nothing to refuse.
  EXPECT_EQ(parseRequest("")->getMethod(), "");
  EXPECT_EQ(parseRequest("\n\n\n")->getMethod(), "");

  auto request = std::make_unique<HttpRequest>(testing::connectionIdentity());
  std::istringstream input("POST /p HTTP/1.1\r\nHost: h\r\n\r\nUser-Agent: body\r\n");
  HttpParser::parseRequestHeaders(*request, input);
  EXPECT_EQ(request->getHost(), "h");
  EXPECT_FALSE(request->hasUserAgent());
  std::string rest((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest, "User-Agent: body\r\n");

  // Bare line feeds end lines, but a blank one is no end of the block; the
  // input's end is, also for a last line without a line feed.
  request = parseRequest("GET /a HTTP/1.1\nHost: h\n\nUser-Agent: x");
  EXPECT_EQ(request->getHost(), "h");
  EXPECT_EQ(request->getUserAgent(), "x");
  EXPECT_EQ(parseRequest("GET /a HTTP/1.1\r\nHost: last")->getHost(), "last");
}

TEST(HeaderBlock, AnEmptyFirstLineIsRefused) {
  for (const std::string text : {"\r\n", "\n\r\nGET / HTTP/1.1\r\n\r\n"}) {
    const auto failure = parseFailure(text);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, "Invalid (empty) HTTP request");
    EXPECT_EQ(failure->function, "parseRequestHeaders");
  }
}

TEST(HeaderBlock, FieldsSetBeforeARefusalStay) {
  HttpRequest request(testing::connectionIdentity());
  std::istringstream input("PUT /a HTTP/1.1\r\nHost: h\r\nContent-Length: many\r\nUser-Agent: u\r\n\r\n");
  EXPECT_THROW(HttpParser::parseRequestHeaders(request, input), HttpParsingException);
  EXPECT_EQ(request.getMethod(), "PUT");
  EXPECT_EQ(request.getHost(), "h");
  EXPECT_FALSE(request.hasUserAgent());
}

TEST(HeaderBlock, ALargeBlockParses) {
  std::string text = kRequestLine + "Host: big\r\nCookie: ";
  for (int i = 0; i < 300; ++i) text.append("c").append(std::to_string(i)).append("=vvvvvvvvvvvv; ");
  text += "\r\n";
  for (int i = 0; text.size() < 48 * 1024 - 64; ++i) {
    const std::string number = std::to_string(i);
    text.append("X-Custom-").append(number).append(": ").append(60, 'x').append("\r\n");
    text.append("Accept: type/").append(number).append("\r\n");
  }
  text += "User-Agent: end\r\n\r\n";
  ASSERT_GE(text.size(), 47u * 1024);
  auto request = parseRequest(text);
  EXPECT_EQ(request->getHost(), "big");
  EXPECT_EQ(request->getUserAgent(), "end");
  EXPECT_EQ(request->getCookie("c299"), std::string(12, 'v'));
  EXPECT_EQ(request->getAcceptList().front(), "type/0");
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

TEST(SingleHeader, EachOperationTakesOnlyItsOwnNames) {
  HttpRequest request(testing::connectionIdentity());
  EXPECT_TRUE(HttpParser::parseHeader(request, "accept", "a"));
  EXPECT_FALSE(HttpParser::parseHeader(request, "host", "h"));
  EXPECT_FALSE(HttpParser::parseHeader(request, "Accept", "b"));
  EXPECT_TRUE(HttpParser::parseRequestOnlyHeader(request, "host", "h"));
  EXPECT_FALSE(HttpParser::parseRequestOnlyHeader(request, "accept", "c"));
  EXPECT_EQ(request.getAccept(), "a");
  EXPECT_EQ(request.getHost(), "h");
  EXPECT_THROW(HttpParser::parseHeader(request, "content-length", "x"), HttpParsingException);

  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  EXPECT_TRUE(HttpParser::parseResponseOnlyHeader(response, "etag", "\"1\""));
  EXPECT_FALSE(HttpParser::parseResponseOnlyHeader(response, "host", "h"));
  EXPECT_EQ(response.getETag(), "\"1\"");
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
  auto response = parseResponse(
      "HTTP/1.1 404 Not Found\r\n"
      "Server: test\r\nETag: \"e\"\r\nLocation: /elsewhere\r\nVary: Accept\r\n"
      "Content-Disposition: attachment; filename=\"dir/report.txt\"\r\n"
      "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nExpires: 0\r\n"
      "Accept-Ranges: bytes\r\nLink: <a>\r\nReplay-Nonce: n\r\nX-Frame-Options: DENY\r\n"
      "Strict-Transport-Security: max-age=600\r\nSec-WebSocket-Accept: k\r\n"
      "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Credentials: true\r\n"
      "Access-Control-Allow-Methods: GET\r\nAccess-Control-Allow-Headers: x\r\n"
      "Access-Control-Max-Age: 60\r\nAccess-Control-Expose-Headers: y\r\n"
      "Content-Type: text/html\r\nTransfer-Encoding: chunked\r\nno colon here\r\nUser-Agent: u\r\n\r\n");
  EXPECT_EQ(response->getHttpVersion(), "HTTP/1.1");
  EXPECT_EQ(response->getStatusCode(), StatusCode::NotFound);
  EXPECT_EQ(response->getServer(), "test");
  EXPECT_EQ(response->getETag(), "\"e\"");
  EXPECT_EQ(response->getLocation(), "/elsewhere");
  EXPECT_EQ(response->getVary(), "Accept");
  EXPECT_EQ(response->getParsedContentDisposition().getFilename(), "report.txt");
  EXPECT_EQ(response->getLastModifiedTime(), 784111777);
  EXPECT_EQ(response->getExpires(), "0");
  EXPECT_EQ(response->getAcceptRanges(), "bytes");
  EXPECT_EQ(response->getLink(), "<a>");
  EXPECT_EQ(response->getReplayNonce(), "n");
  EXPECT_EQ(response->getXFrameOptions(), "DENY");
  EXPECT_EQ(response->getStrictTransportSecurity(), "max-age=600");
  EXPECT_EQ(response->getSecWebSocketAccept(), "k");
  EXPECT_EQ(response->getAccessControlAllowOrigin(), "*");
  EXPECT_EQ(response->getAccessControlAllowCredentials(), "true");
  EXPECT_EQ(response->getAccessControlAllowMethods(), "GET");
  EXPECT_EQ(response->getAccessControlAllowHeaders(), "x");
  EXPECT_EQ(response->getAccessControlMaxAge(), "60");
  EXPECT_EQ(response->getAccessControlExposeHeaders(), "y");
  EXPECT_EQ(response->getContentType(), "text/html");
  EXPECT_TRUE(response->isChunked());
  EXPECT_TRUE(log.contains("[cid:7]  split of line : 'no colon here' failed!", log4cplus::TRACE_LOG_LEVEL));
  EXPECT_TRUE(log.contains("[cid:7]  not handled http header: 'User-Agent: u'", log4cplus::TRACE_LOG_LEVEL));
  EXPECT_TRUE(log.contains("[cid:7]  http header: 'HTTP/1.1 404 Not Found'", log4cplus::TRACE_LOG_LEVEL));

  EXPECT_EQ(parseResponse("HTTP/1.0 abc OK\r\n\r\n")->getStatusCode(), static_cast<StatusCode>(0));
}

TEST(ResponseHeaders, MalformedStatusLinesAreRefused) {
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
