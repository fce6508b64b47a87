#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ParseSupport.h"
#include "common/http/HttpGenerator.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

HttpResponse makeResponse(StatusCode code = StatusCode::OK, std::string contentType = "text/plain",
                          std::string charset = "") {
  return HttpResponse(testing::connectionIdentity(), code, std::move(contentType), std::move(charset));
}

HttpRequest makeRequest(std::string method = "GET") {
  HttpRequest request(testing::connectionIdentity());
  request.setMethod(std::move(method));
  return request;
}

std::string write(const HttpRequest& request, HttpResponse& response) {
  std::ostringstream out;
  EXPECT_TRUE(HttpGenerator::generateResponse(request, response, out));
  return out.str();
}

std::string write(HttpResponse& response) { return write(makeRequest(), response); }

TEST(ResponseWriter, AFreshResponseHasStatusTypeAndLength) {
  auto response = makeResponse();
  EXPECT_EQ(write(response), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n");

  response.setCharset("utf-8");
  response.setBody("hello", false, false);
  EXPECT_EQ(write(response),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\r\nContent-Length: 5\r\n\r\nhello");

  // No content type, no Content-Type line, whatever the charset.
  auto bare = makeResponse(StatusCode::OK, "", "utf-8");
  EXPECT_EQ(write(bare), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
}

TEST(ResponseWriter, EveryHeaderIsWrittenInItsPlace) {
  auto response = makeResponse(StatusCode::Found, "text/html", "utf-8");
  response.setXForwardedFor("192.0.2.1");
  response.setXFrameOptions("DENY");
  response.setStrictTransportSecurity("max-age=600");
  response.setReplayNonce("nonce");
  response.setLink("<a>");
  response.setETag("\"e\"");
  response.setAcceptRanges("bytes");
  response.setLastModified("Sun, 06 Nov 1994 08:49:37 GMT");
  response.setExpires("0");
  response.setDateTime(784111777);
  response.setAccessControlExposeHeaders("x-e");
  response.setAccessControlMaxAge("60");
  response.setAccessControlAllowHeaders("x-h");
  response.setAccessControlAllowMethods("GET,PUT");
  response.setAccessControlAllowCredentials("true");
  response.setAccessControlAllowOrigin("*");
  response.setAllow("GET");
  response.setCookieHeader("sid=1; Secure");
  response.setAcceptCH("Sec-CH-UA-Arch");
  response.setSecWebSocketVersion("13");
  response.setSecWebSocketProtocol("chat");
  response.setSecWebSocketExtensions("permessage-deflate");
  response.setSecWebSocketAccept("acc");
  response.setConnection("Upgrade");
  response.setUpgrade("websocket");
  response.setContentDisposition("attachment", false);
  response.setVary("Accept-Encoding");
  response.setCacheControl("no-store");
  response.setPersistentAuth(false);
  response.setLocation("/next");
  response.addWWWAuthenticate("Negotiate");
  response.addWWWAuthenticate("Basic realm=\"r\"");
  response.setTransferEncoding("gzip");
  response.setServer("nimbrel");
  response.setBody("body", false, false);
  // Headers the writer never puts into a response.
  response.setAccept("text/html");
  response.setAcceptEncoding("gzip");
  response.setAcceptLanguage("de");
  response.setPragma("no-cache");
  response.setSecWebSocketKey("key");

  std::ostringstream out;
  EXPECT_TRUE(HttpGenerator::generateResponseHeader(response, true, out));
  EXPECT_EQ(out.str(),
            "HTTP/1.1 302 Found\r\n"
            "Server: nimbrel\r\n"
            "Content-Type: text/html;charset=utf-8\r\n"
            "Transfer-Encoding: gzip\r\n"
            "Content-Length: 4\r\n"
            "WWW-Authenticate: Negotiate\r\n"
            "WWW-Authenticate: Basic realm=\"r\"\r\n"
            "Location: /next\r\n"
            "Persistent-Auth: false\r\n"
            "Cache-Control: no-store\r\n"
            "Vary: Accept-Encoding\r\n"
            "Content-Disposition: attachment\r\n"
            "Content-Encoding: gzip\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Accept: acc\r\n"
            "Sec-WebSocket-Extensions: permessage-deflate\r\n"
            "Sec-WebSocket-Protocol: chat\r\n"
            "Sec-WebSocket-Version: 13\r\n"
            "Accept-CH: Sec-CH-UA-Arch\r\n"
            "Set-Cookie: sid=1; Secure\r\n"
            "Allow: GET\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Credentials: true\r\n"
            "Access-Control-Allow-Methods: GET,PUT\r\n"
            "Access-Control-Allow-Headers: x-h\r\n"
            "Access-Control-Max-Age: 60\r\n"
            "Access-Control-Expose-Headers: x-e\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Expires: 0\r\n"
            "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Accept-Ranges: bytes\r\n"
            "ETag: \"e\"\r\n"
            "Link: <a>\r\n"
            "Replay-Nonce: nonce\r\n"
            "Strict-Transport-Security: max-age=600\r\n"
            "X-Frame-Options: DENY\r\n"
            "X-Forwarded-For: 192.0.2.1\r\n"
            "\r\n");
}

TEST(ResponseWriter, ContentLengthFollowsTheSwitchAndChunkedTransfer) {
  auto response = makeResponse();
  response.setBody("abc", false, false);
  response.setTransferEncoding("CHUNKED");
  EXPECT_EQ(write(response), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: CHUNKED\r\n\r\nabc");

  response.setTransferEncoding("gzip, chunked");  // a blank before it: not an element "chunked"
  EXPECT_NE(write(response).find("Content-Length: 3\r\n"), std::string::npos);

  response.setTransferEncoding("");
  response.setSendContentLength(false);
  EXPECT_EQ(write(response), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nabc");

  response.setPersistentAuth(true);
  response.setSendContentLength(true);
  response.setBody(std::string(70000, 'x'), false, false);
  const std::string wire = write(response);
  EXPECT_NE(wire.find("Content-Length: 70000\r\nPersistent-Auth: true\r\n\r\n"), std::string::npos);
  EXPECT_EQ(wire.size(), wire.find("\r\n\r\n") + 4 + 70000);
}

struct StatusLineCase {
  std::uint16_t code;
  std::string line;
};

class StatusLine : public ::testing::TestWithParam<StatusLineCase> {};

TEST_P(StatusLine, CarriesTheStatusText) {
  auto response = makeResponse(static_cast<StatusCode>(GetParam().code));
  const std::string wire = write(response);
  EXPECT_EQ(wire.substr(0, wire.find("\r\n")), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusLine,
    ::testing::Values(
        StatusLineCase{101, "HTTP/1.1 101 Switching Protocols"}, StatusLineCase{200, "HTTP/1.1 200 OK"},
        StatusLineCase{201, "HTTP/1.1 201 Created"}, StatusLineCase{204, "HTTP/1.1 204 No Content"},
        StatusLineCase{301, "HTTP/1.1 301 Moved Permanently"}, StatusLineCase{302, "HTTP/1.1 302 Found"},
        StatusLineCase{304, "HTTP/1.1 304 Not Modified"}, StatusLineCase{400, "HTTP/1.1 400 Bad Request"},
        StatusLineCase{401, "HTTP/1.1 401 Unauthorized"}, StatusLineCase{403, "HTTP/1.1 403 Forbidden"},
        StatusLineCase{404, "HTTP/1.1 404 Not Found"}, StatusLineCase{405, "HTTP/1.1 405 Method Not Allowed"},
        StatusLineCase{413, "HTTP/1.1 413 Payload Too Large"},
        StatusLineCase{415, "HTTP/1.1 415 Unsupported Media Type"},
        StatusLineCase{418, "HTTP/1.1 418 I'm a teapot"}, StatusLineCase{429, "HTTP/1.1 429 Too Many Requests"},
        StatusLineCase{431, "HTTP/1.1 431 Request Header Fields Too Large"},
        StatusLineCase{500, "HTTP/1.1 500 Internal Server Error"},
        StatusLineCase{503, "HTTP/1.1 503 Service Unavailable"}, StatusLineCase{299, "HTTP/1.1 299 Unknown Code"},
        StatusLineCase{0, "HTTP/1.1 0 Unknown Code"}));

struct BodylessCase {
  std::string method;
  std::uint16_t code;
};

class BodylessResponse : public ::testing::TestWithParam<BodylessCase> {};

// A body after such a response would be read as the next response on the connection.
TEST_P(BodylessResponse, EndsAtTheEmptyLine) {
  auto response = makeResponse(static_cast<StatusCode>(GetParam().code));
  response.setBody("hello", false, false);
  const std::string wire = write(makeRequest(GetParam().method), response);
  EXPECT_NE(wire.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");
  EXPECT_EQ(wire.find("hello"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, BodylessResponse,
                         ::testing::Values(BodylessCase{"HEAD", 200}, BodylessCase{"HEAD", 404},
                                           BodylessCase{"GET", 100}, BodylessCase{"GET", 101},
                                           BodylessCase{"POST", 204}, BodylessCase{"GET", 304}));

TEST(ResponseWriter, BodiesFollowForOtherMethodsAndCodes) {
  for (const auto& [method, code] : {std::pair{"GET", 200}, {"POST", 201}, {"GET", 404}}) {
    auto response = makeResponse(static_cast<StatusCode>(code));
    response.setBody("hello", false, false);
    const std::string wire = write(makeRequest(method), response);
    EXPECT_EQ(wire.substr(wire.size() - 9), "\r\n\r\nhello") << method << " " << code;
  }
}

TEST(ResponseWriter, LineBreaksInValuesNeverReachTheWire) {
  auto response = makeResponse(StatusCode::OK, "text/plain\r\nX-Injected: 1", "utf-8\n");
  response.setServer("evil\r\nSet-Cookie: admin=1\r\n\r\n<html>");
  response.setLocation("/a\rb\nc");
  response.addWWWAuthenticate("Basic\r\n realm=x");
  response.setCookieHeader("a=1\r\nb=2");
  response.setHttpVersion("1.1\r\nX: y");
  response.setBody("ok", false, false);
  const std::string wire = write(response);
  EXPECT_EQ(wire,
            "HTTP/1.1X: y 200 OK\r\n"
            "Server: evilSet-Cookie: admin=1<html>\r\n"
            "Content-Type: text/plainX-Injected: 1;charset=utf-8\r\n"
            "Content-Length: 2\r\n"
            "WWW-Authenticate: Basic realm=x\r\n"
            "Location: /abc\r\n"
            "Set-Cookie: a=1b=2\r\n"
            "\r\nok");
}

TEST(RequestWriter, WritesTheRequestLineHeadersAndBody) {
  HttpRequest request(testing::connectionIdentity(), "POST", "/submit/", "?a=1", "1.1");
  request.setHost("example.com");
  request.setUserAgent("nimbrel");
  request.setContentType("application/json");
  request.setAccept("*/*");
  request.setPragma("no-cache");
  request.setCacheControl("no-cache");
  request.setAuthorization("Bearer t");
  request.setDate("Sun, 06 Nov 1994 08:49:37 GMT");
  request.setCookieHeader("a=1");
  request.setTransferEncoding("identity");
  request.setBody("{}");
  std::ostringstream out;
  EXPECT_TRUE(HttpGenerator::generateRequestHeader(request, out));
  EXPECT_EQ(out.str(),
            "POST /submit HTTP/1.1\r\n"
            "Transfer-Encoding: identity\r\n"
            "Host: example.com\r\n"
            "User-Agent: nimbrel\r\n"
            "Content-Type: application/json\r\n"
            "Accept: */*\r\n"
            "Pragma: no-cache\r\n"
            "Cache-Control: no-cache\r\n"
            "Authorization: Bearer t\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Cookie: a=1\r\n"
            "Content-Length: 2\r\n"
            "\r\n{}");

  HttpRequest bare(testing::connectionIdentity(), "GET", "/", "", "1.0");
  bare.setSendContentLength(false);
  std::ostringstream bareOut;
  HttpGenerator::generateRequestHeader(bare, bareOut);
  EXPECT_EQ(bareOut.str(), "GET  HTTP/1.0\r\n\r\n");
}

}  // namespace
}  // namespace quorvel::http
