#include <gtest/gtest.h>
#include <zlib.h>

#include <boost/iostreams/filter/gzip.hpp>
#include <random>
#include <sstream>
#include <string>

#include "ParseSupport.h"
#include "common/http/HttpGenerator.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

constexpr int kGzipWindow = 15 + 16;  // zlib's way of asking for the gzip wrapper

// Inflates with zlib itself, so the writer is checked against the reference
// library; the data must be one gzip member with nothing after it.
std::string zlibGunzip(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, kGzipWindow), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buffer[8192];
  int rc = Z_OK;
  while (rc == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u);
  inflateEnd(&stream);
  return out;
}

std::string sampleBody(int which) {
  if (which == 0) return "";
  if (which == 1) return std::string("bin\0ary\xff\x00", 10);
  // Larger than every buffer on the way, and not all of it compressible.
  std::mt19937 random(7);
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>(i % 7 == 0 ? random() : 'a' + i % 26);
  return body;
}

TEST(Gzip, RoundTripsWithZlib) {
  for (int which = 0; which < 3; ++which) {
    const std::string body = sampleBody(which);
    const std::string gz = HttpGenerator::gzipCompress(body);
    EXPECT_EQ(zlibGunzip(gz), body);
    EXPECT_EQ(HttpGenerator::gzipDecompress(gz), body);
  }
  EXPECT_THROW(HttpGenerator::gzipDecompress("plain text, not gzip at all"), boost::iostreams::gzip_error);
  std::string corrupt = HttpGenerator::gzipCompress(sampleBody(2));
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  EXPECT_ANY_THROW(HttpGenerator::gzipDecompress(corrupt));
}

// The whole response to a request with the given method and Accept-Encoding.
std::string send(const char* method, const char* acceptEncoding, std::string body, bool allowed, bool stored) {
  HttpRequest request(testing::connectionIdentity());
  request.setMethod(method);
  request.setAcceptEncoding(acceptEncoding);
  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  response.setContentDisposition("inline", false);
  response.setBody(std::move(body), allowed, stored);
  std::ostringstream out;
  HttpGenerator::generateResponse(request, response, out);
  return out.str();
}

TEST(ResponseCompression, SendsGzipOnlyWhenAllowedAndAccepted) {
  struct Case {
    const char* acceptEncoding;
    bool allowed;
    bool stored;  // the body is stored compressed
    bool expectGzip;
  };
  const Case cases[] = {
      {"deflate, gzip", true, false, true},   {"x-gzip", true, false, true},
      {"br;q=0, gzip ; q=1.0", true, false, true}, {"GZIP", true, false, false},
      {"deflate, br", true, false, false},    {"gzip;q=0", true, false, false},
      {"gzip; Q=0.000", true, false, false},  {"deflate, gzip;level=1;q=0.", true, false, false},
      {"gzip, x-gzip;q=0", true, false, false}, {"gzip", false, false, false},
      {"gzip", false, true, false},           {"gzip", true, true, true},
      {"deflate", true, true, false},
  };
  const std::string body = "Wake-on-LAN packet sent to 00:11:22:33:44:55. Wake-on-LAN packet sent.";
  const std::string packed = HttpGenerator::gzipCompress(body);
  for (const Case& c : cases) {
    const std::string wire = send("GET", c.acceptEncoding, c.stored ? packed : body, c.allowed, c.stored);
    const std::size_t end = wire.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string head = wire.substr(0, end + 4);
    const std::string sent = wire.substr(end + 4);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(sent.size()) + "\r\n"), std::string::npos) << head;
    if (c.expectGzip) {
      EXPECT_NE(head.find("Content-Disposition: inline\r\nContent-Encoding: gzip\r\n"), std::string::npos) << head;
      EXPECT_EQ(zlibGunzip(sent), body);
    } else {
      EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
      EXPECT_EQ(sent, body) << c.acceptEncoding;
    }
  }
}

TEST(ResponseCompression, EmptyBodiesHeadAndBrokenStoredBodies) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  for (const bool stored : {false, true}) {
    EXPECT_EQ(send("GET", "gzip", "", true, stored),
              head + "Content-Length: 0\r\nContent-Disposition: inline\r\n\r\n");
  }
  // HEAD announces the compressed length without sending the body.
  const std::string length = std::to_string(HttpGenerator::gzipCompress(std::string(1000, 'z')).size());
  EXPECT_EQ(send("HEAD", "gzip", std::string(1000, 'z'), true, false),
            head + "Content-Length: " + length +
                "\r\nContent-Disposition: inline\r\nContent-Encoding: gzip\r\n\r\n");
  // A stored body that is no gzip fails before anything is written.
  HttpRequest request(testing::connectionIdentity());
  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  response.setBody("not gzip", false, true);
  std::ostringstream out;
  EXPECT_THROW(HttpGenerator::generateResponse(request, response, out), boost::iostreams::gzip_error);
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace quorvel::http
