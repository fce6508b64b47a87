#include "common/http/HttpParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "common/authentication/AuthInfo.h"
#include "fuzz/http/RequestSnapshot.h"
#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using quorvel::testing::LogCapture;
using quorvel::testing::ParseOutcome;

AuthInfoPtr identity() {
  auto info = std::make_shared<authentication::AuthInfo>();
  info->setConnectionId("cid:7");
  return info;
}

// Every way of handing over the bytes must agree: one buffer, a trickle, a
// stream tied to another (which leaves every line to getline) and memory.
ParseOutcome parseEveryWay(const std::string& bytes) {
  using namespace quorvel::testing;
  const ParseOutcome whole = parseFromStream(bytes, 0, identity());
  EXPECT_EQ(parseFromStream(bytes, 5, identity()), whole) << bytes;
  HttpRequest request(identity());
  std::istringstream tied(bytes);
  tied.tie(&std::cerr);
  try {
    HttpParser::parseRequestHeaders(request, tied);
  } catch (const HttpParsingException&) {
  }
  EXPECT_EQ(snapshot(request), whole.fields) << bytes;
  ParseOutcome memory = parseFromMemory(bytes, identity());
  if (!whole.refusal.empty()) memory.rest = whole.rest;  // a refusal from memory reports no count
  EXPECT_EQ(memory, whole) << bytes;
  return whole;
}

HttpRequest parsed(const std::string& bytes) {
  EXPECT_EQ(parseEveryWay(bytes).refusal, "") << bytes;
  HttpRequest request(identity());
  HttpParser::parseRequestHeaders(request, std::string_view(bytes));
  return request;
}

const std::string kRequestLine = "GET /index.html HTTP/1.1\r\n";

TEST(RequestLine, MethodTargetQueryAndVersionReachTheRecord) {
  for (const std::string method : {"OPTIONS", "POST", "GET", "HEAD", "PUT", "DELETE", "RPC_OUT_DATA", "RPC_IN_DATA",
                                   "RDG_OUT_DATA", "RDG_IN_DATA"}) {
    EXPECT_EQ(parsed(method + " / HTTP/1.1\r\n\r\n").getMethod(), method);
  }
  struct Row {
    std::string line, path, version;
    std::vector<std::pair<std::string, std::string>> parameters;
  };
  const Row rows[] = {
      {"OPTIONS * HTTP/1.1", "", "1.1", {}}, {"GET http://example.com:8443/p HTTP/1.1", "/p", "1.1", {}},
      {"GET https://user@example.com/a/b/ HTTP/1.1", "/a/b", "1.1", {}}, {"GET\t/x \t HTTP/2 x", "/x", "2 x", {}},
      {"GET /a/b/?x=1&y=2 HTTP/1.0", "/a/b", "1.0", {{"x", "1"}, {"y", "2"}}},
      {"GET /?a=1&b&c=1=2 HTTP/1.1", "", "1.1", {{"a", "1"}, {"b", ""}, {"c", ""}}},
      {"GET /q?a=1?&b=2 HTTP/1.1", "/q", "1.1", {{"a", "1?"}, {"b", "2"}}},
      {"GET /long?a=1" + [] { std::string parts; for (int i = 0; i < 6000; ++i) parts += "&b=2"; return parts; }() +
           " HTTP/1.1",
       "/long", "1.1", {{"b", "2"}}},
  };
  for (const Row& row : rows) {
    const HttpRequest request = parsed(row.line + "\r\n\r\n");
    EXPECT_EQ(request.getPath(), row.path) << row.line;
    EXPECT_EQ(request.getHttpVersion(), row.version) << row.line;
    for (const auto& [name, value] : row.parameters) EXPECT_EQ(request.getQueryParameter(name), value) << row.line;
  }
}

TEST(HeaderLines, EachKnownHeaderReachesItsField) {
  using R = HttpRequest;
  // Names match in any case; colons after the first belong to the value.
  // The headers the connection and the handlers read.
  const std::pair<const char*, const std::string& (R::*)() const> rows[] = {
      {"User-Agent: curl/8.4.0", &R::getUserAgent}, {"HOST: h:443", &R::getHost}, {"Accept: text/html", &R::getAccept},
      {"accept-encoding: gzip", &R::getAcceptEncoding}, {"Authorization: Basic dTpw", &R::getAuthorization},
      {"Cache-Control: no-cache", &R::getCacheControl}, {"Connection: Upgrade", &R::getConnection},
      {"Content-Type: application/json", &R::getContentType}, {"Cookie: a=1", &R::getCookieHeader},
      {"Date: d", &R::getDate}, {"Pragma: no-cache", &R::getPragma}, {"Upgrade: websocket", &R::getUpgrade},
      {"Sec-WebSocket-Version: 13", &R::getSecWebSocketVersion}, {"Sec-WebSocket-Key: k==", &R::getSecWebSocketKey},
      {"Sec-WebSocket-Protocol: a:b", &R::getSecWebSocketProtocol},
      {"X-Forwarded-For: 192.0.2.1", &R::getXForwardedFor},
  };
  std::string block = kRequestLine;
  for (const auto& [line, field] : rows) block.append(line).append("\r\n");
  const HttpRequest request = parsed(block + "\r\n");
  for (const auto& [line, field] : rows) EXPECT_EQ((request.*field)(), std::strchr(line, ':') + 2) << line;
  // Only blanks at the ends of the value go; a tab inside stays.
  EXPECT_EQ(parsed(kRequestLine + "Accept:\t Text/HTML ,\tx \t\r\n\r\n").getAccept(), "Text/HTML ,\tx");
  // Names that only resemble known ones, a line without a colon and a
  // header the parser does not take are let pass and change nothing.
  for (const std::string line : {"Content_Length: 5", "Content-Lengt: 5", "Content-Lengthh: 5", "Hots: 5",
                                 "Content-Length 5"}) {
    EXPECT_EQ(parseEveryWay(kRequestLine + line + "\r\n\r\n").fields, parseEveryWay(kRequestLine).fields) << line;
  }
}

TEST(HeaderLines, ListHeadersAccumulateAndOthersAreReplaced) {
  const HttpRequest request = parsed(kRequestLine +
                                     "Accept: a\r\nAccept: b, c\r\nTransfer-Encoding: gzip\r\n"
                                     "Transfer-Encoding: chunked\r\nX-Forwarded-For: a\r\nX-Forwarded-For: b\r\n"
                                     "Cookie: sid=abc; theme=dark\r\nCookie: sid=xyz\r\n\r\n");
  // Cookies gather while the Cookie text is replaced.
  EXPECT_EQ(request.getAccept() + "|" + request.getTransferEncoding() + "|" + request.getXForwardedFor() + "|" +
                request.getCookie("sid") + "|" + request.getCookie("theme") + "|" + request.getCookieHeader(),
            "a,b, c|gzip,chunked|b|xyz|dark|sid=xyz");
}

TEST(HeaderLines, ContentLengthIsDigitsWithin32Bits) {
  EXPECT_EQ(parsed(kRequestLine + "cOnTeNt-lEnGtH: 4294967295\r\n\r\n").getContentLength(), 4294967295u);
  EXPECT_EQ(parsed(kRequestLine + "Content-Length: 7\r\nContent-Length: 7\r\n\r\n").getContentLength(), 7u);
  for (const std::string value : {"4294967296", "abc", "", "-1", "+5", "5abc", "0x10", "5 6", "99999999999999999999"}) {
    LogCapture log;
    EXPECT_EQ(parseEveryWay(kRequestLine + "Content-Length: " + value + "\r\n\r\n").refusal, "Invalid HTTP request");
    EXPECT_TRUE(log.contains("[cid:7]  cannot convert content length to an uint32_t!", log4cplus::ERROR_LOG_LEVEL));
  }
}

// Requests another reader could frame differently are refused outright.
TEST(HeaderBlock, AmbiguousFramingIsRefused) {
  const auto block = [](const std::string& headers) { return kRequestLine + headers + "\r\n\r\n"; };
  const std::string cases[] = {
      // Names: blanks before the colon, empty, or not a token.
      block("Content-Length : 5"), block(": 5"), block("Content\"Length: 5"), block("H\xc3\xb6st: h"),
      // Folded lines, also right after the request line, and also without a colon (which
      // an unfolded line may lack).
      block("Host: h\r\n folded: 1"), block("\tContent-Length: 5"), block("Host: h\r\n folded"),
      block("Host: h\r\n\tfolded"), block(" x"),
      // Lengths that disagree, or a length next to a transfer coding.
      block("Content-Length: 5\r\nContent-Length: 6"), block("Transfer-Encoding: chunked\r\nContent-Length: 5"),
      block("Content-Length: 0\r\nTransfer-Encoding: identity"),
      // A blank coding list is still a transfer coding.
      block("Content-Length: 5\r\nTransfer-Encoding: \t"), block("Transfer-Encoding:\r\nContent-Length: 5"),
      block("Transfer-Encoding: "),
      // Bare CR, bare LF and control bytes.
      block("Host: a\rb"), block("Host: h\r"), block("Host: h\n"), block("Host: h\r\n\n"),
      "GET /a HTTP/1.1\nHost: h\n\nPOST /b HTTP/1.1\r\n\r\n", block(std::string("Host: a\0b", 9)),
      block("Host: a\x7f"), "GET /a\x01 HTTP/1.1\r\n\r\n", "GET /a\rb HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\x1b\r\n\r\n", "GET / HTTP/1.1\tx\r\n\r\n", "GET\v/ HTTP/1.1\r\n\r\n",
      // Request lines the method list and the target rules refuse.
      "get / HTTP/1.1\r\n\r\n", "PATCH / HTTP/1.1\r\n\r\n", " GET / HTTP/1.1\r\n\r\n", "GET / HTTX/1.1\r\n\r\n",
      "GET /HTTP/1.1\r\n\r\n", "GET\r\n\r\n", "GET ?a=1 HTTP/1.1\r\n\r\n", "GET /x?&a=1 HTTP/1.1\r\n\r\n",
      "GET /x?a=1&&b=2 HTTP/1.1\r\n\r\n", "GET /x? HTTP/1.1\r\n\r\n",
      // Lines that once made a backtracking expression run for seconds.
      "GET /x" + std::string(4000, '&') + "?&&b HTTP/1.1\r\n\r\n",
  };
  for (const std::string& bytes : cases) {
    EXPECT_EQ(parseEveryWay(bytes).refusal, "Invalid HTTP request") << bytes;
  }
}

TEST(HeaderBlock, EndsAtTheEmptyLineOrTheEndOfInput) {
  // Blank lines before the request line are skipped, and blank lines only are nothing to refuse.
  EXPECT_EQ(parseEveryWay("\n\n").refusal + parsed("\n\n").getMethod(), "");
  EXPECT_EQ(parseEveryWay("\n\nGET /a HTTP/1.1\r\nHost: h\r\n\r\nrest").rest, "rest");
  EXPECT_EQ(parsed("\n\nGET /a HTTP/1.1\r\nHost: h\r\n\r\n").getHost(), "h");
  // The input's last line counts without its line end.
  EXPECT_EQ(parsed("GET /a HTTP/1.1\r\nHost: h").getHost(), "h");
  // A refusal leaves a stream right after the refused line.
  EXPECT_EQ(parseEveryWay(kRequestLine + "Content-Length: x\r\nHost: h\r\n\r\n").rest, "Host: h\r\n\r\n");
  EXPECT_EQ(parseEveryWay("\r\n").refusal, "Invalid (empty) HTTP request");
  EXPECT_EQ(parseEveryWay("\n\r\nGET / HTTP/1.1\r\n\r\n").refusal, "Invalid (empty) HTTP request");
}

}  // namespace
}  // namespace quorvel::http
