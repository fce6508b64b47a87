#include "common/http/HttpGenerator.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>
#include <tuple>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

HttpResponse makeResponse(StatusCode code = StatusCode::OK, std::string contentType = "text/plain",
                          std::string charset = "") {
  return HttpResponse(nullptr, code, std::move(contentType), std::move(charset));
}

// The whole response to a request with this method and Accept-Encoding.
std::string write(HttpResponse& response, const char* method = "GET", const char* acceptEncoding = "") {
  HttpRequest request(nullptr);
  request.setMethod(method);
  request.setAcceptEncoding(acceptEncoding);
  std::ostringstream out;
  EXPECT_TRUE(HttpGenerator::generateResponse(request, response, out));
  return out.str();
}
std::string send(const char* method, const char* acceptEncoding, std::string body, bool allowed, bool stored) {
  HttpResponse response = makeResponse();
  response.setContentDisposition("inline", false);
  response.setBody(std::move(body), allowed, stored);
  return write(response, method, acceptEncoding);
}

// The headers the service sends, each in its place; request headers never go out.
TEST(ResponseWriter, HeadersAreWrittenInTheirPlace) {
  auto response = makeResponse(StatusCode::SwitchingProtocols, "text/html", "utf-8");
  response.setStrictTransportSecurity("max-age=600");
  response.setUpgrade("websocket");
  response.setConnection("Upgrade");
  response.setSecWebSocketAccept("acc");
  response.setSecWebSocketProtocol("chat");
  response.setSecWebSocketVersion("13");
  response.setDateTime(784111777);
  response.setAccept("text/html");
  response.setSecWebSocketKey("key");
  response.setBody("body", false, false);
  std::ostringstream out;
  EXPECT_TRUE(HttpGenerator::generateResponseHeader(response, true, out));
  EXPECT_EQ(out.str(),
            "HTTP/1.1 101 Switching Protocols\r\nContent-Type: text/html;charset=utf-8\r\nContent-Length: 4\r\n"
            "Content-Encoding: gzip\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: acc\r\n"
            "Sec-WebSocket-Protocol: chat\r\nSec-WebSocket-Version: 13\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Strict-Transport-Security: max-age=600\r\n\r\n");
}

TEST(ResponseWriter, ContentLengthFollowsTheSwitchAndChunkedTransfer) {
  auto response = makeResponse();
  response.setBody("abc", false, false);
  response.setTransferEncoding("gzip,CHUNKED");
  EXPECT_EQ(write(response),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: gzip,CHUNKED\r\n\r\nabc");
  // Each element must be exactly "chunked" (any case).
  for (const char* other : {"gzip, chunked", "chunked ", "chunk"}) {
    response.setTransferEncoding(other);
    EXPECT_NE(write(response).find("Content-Length: 3\r\n"), std::string::npos) << other;
  }
  response.setTransferEncoding("");
  response.setSendContentLength(false);
  EXPECT_EQ(write(response), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nabc");
  // No content type, no Content-Type line, whatever the charset.
  auto bare = makeResponse(StatusCode::OK, "", "utf-8");
  EXPECT_EQ(write(bare), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
}

// A body after a response to HEAD, or after a 1xx, 204 or 304, would be read
// as the next response on the connection.
TEST(ResponseWriter, BodiesFollowOnlyWhereTheyBelong) {
  const std::tuple<const char*, int, bool> cases[] = {
      {"HEAD", 200, false}, {"HEAD", 404, false}, {"GET", 100, false}, {"GET", 101, false}, {"POST", 204, false},
      {"GET", 304, false},  {"GET", 200, true},   {"POST", 201, true}, {"GET", 404, true},
  };
  for (const auto& [method, code, withBody] : cases) {
    auto response = makeResponse(static_cast<StatusCode>(code));
    response.setBody("hello", false, false);
    const std::string wire = write(response, method);
    EXPECT_TRUE(wire.ends_with(withBody ? "Content-Length: 5\r\n\r\nhello" : "Content-Length: 5\r\n\r\n")) << wire;
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
  EXPECT_EQ(write(response),
            "HTTP/1.1X: y 200 OK\r\nServer: evilSet-Cookie: admin=1<html>\r\n"
            "Content-Type: text/plainX-Injected: 1;charset=utf-8\r\nContent-Length: 2\r\n"
            "WWW-Authenticate: Basic realm=x\r\nLocation: /abc\r\nSet-Cookie: a=1b=2\r\n\r\nok");
}

// Inflates with zlib itself, so the writer is checked against the reference
// library; the data must be one gzip member with nothing after it.
std::string zlibGunzip(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);  // 16: expect the gzip wrapper
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

TEST(ResponseCompression, SendsGzipOnlyWhenAllowedAndAccepted) {
  // Accept-Encoding, compression allowed, body stored compressed, gzip expected.
  const std::tuple<const char*, bool, bool, bool> cases[] = {
      {"deflate, gzip", true, false, true}, {"x-gzip", true, false, true}, {"br;q=0, gzip ; q=1", true, false, true},
      {"GZIP", true, false, false}, {"deflate, br", true, false, false}, {"deflate, gzip;a=1;Q=0.", true, false, false},
      // Only the gzip coding's own zero quality refuses it.
      {"gzip, x-gzip;q=0", true, false, true}, {"x-gzip;q=0, gzip", true, false, true},
      {"x-gzip;q=0", true, false, false}, {"gzip;q=0.000, x-gzip", true, false, false},
      {"gzip", false, false, false}, {"gzip", false, true, false}, {"gzip", true, true, true},
      {"deflate", true, true, false},
  };
  const std::string body = "Wake-on-LAN packet sent to 00:11:22:33:44:55. Wake-on-LAN packet sent.";
  for (const auto& [acceptEncoding, allowed, stored, gzip] : cases) {
    const auto wire = send("GET", acceptEncoding, stored ? HttpGenerator::gzipCompress(body) : body, allowed, stored);
    const std::string sent = wire.substr(wire.find("\r\n\r\n") + 4);
    EXPECT_NE(wire.find("Content-Length: " + std::to_string(sent.size()) + "\r\n"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("inline\r\nContent-Encoding: gzip\r\n") != std::string::npos, gzip) << acceptEncoding;
    EXPECT_EQ(gzip ? zlibGunzip(sent) : sent, body) << acceptEncoding;
    EXPECT_TRUE(!gzip || sent.substr(4, 4) == std::string(4, '\0')) << "modification time 0";
  }
}

}  // namespace
}  // namespace quorvel::http
