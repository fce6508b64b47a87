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

// Inflates with zlib itself, so the writer is checked against the reference library.
std::string zlibGunzip(const std::string& data, bool* wholeInputUsed = nullptr) {
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
  if (wholeInputUsed != nullptr) *wholeInputUsed = stream.avail_in == 0;
  inflateEnd(&stream);
  return out;
}

std::string zlibGzip(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindow, 9, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string sampleBodies(int which) {
  switch (which) {
    case 0:
      return "";
    case 1:
      return "1.3.1482.0";
    case 2:
      return std::string("bin\0ary\xff\x00", 10);
    default: {
      // Larger than every buffer on the way, and not all of it compressible.
      std::mt19937 random(7);
      std::string body;
      for (int i = 0; i < 300000; ++i) body += static_cast<char>(i % 7 == 0 ? random() : 'a' + i % 26);
      return body;
    }
  }
}

TEST(Gzip, ZlibReadsWhatTheWriterCompresses) {
  for (int which = 0; which < 4; ++which) {
    const std::string body = sampleBodies(which);
    const std::string gz = HttpGenerator::gzipCompress(body);
    ASSERT_GE(gz.size(), 18u);
    EXPECT_EQ(gz.substr(0, 3), "\x1f\x8b\x08");
    EXPECT_EQ(gz.substr(4, 4), std::string(4, '\0')) << "modification time";
    bool wholeInputUsed = false;
    EXPECT_EQ(zlibGunzip(gz, &wholeInputUsed), body);
    EXPECT_TRUE(wholeInputUsed) << "one member, nothing after it";
    EXPECT_EQ(HttpGenerator::gzipDecompress(gz), body);
  }
}

TEST(Gzip, TheWriterReadsWhatZlibCompresses) {
  for (int which = 1; which < 4; ++which) {
    const std::string body = sampleBodies(which);
    EXPECT_EQ(HttpGenerator::gzipDecompress(zlibGzip(body)), body);
  }
}

TEST(Gzip, DataThatIsNoGzipIsRefused) {
  EXPECT_THROW(HttpGenerator::gzipDecompress("plain text, not gzip at all"), boost::iostreams::gzip_error);
  std::string corrupt = HttpGenerator::gzipCompress(sampleBodies(3));
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  EXPECT_ANY_THROW(HttpGenerator::gzipDecompress(corrupt));
}

struct EncodingCase {
  std::string acceptEncoding;
  bool allowed;
  bool stored;  // the body is stored compressed
  bool expectGzip;
};

class ResponseCompression : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(ResponseCompression, SendsGzipOnlyWhenAllowedAndAccepted) {
  const EncodingCase& c = GetParam();
  const std::string body = "Wake-on-LAN packet sent to 00:11:22:33:44:55. Wake-on-LAN packet sent.";
  HttpRequest request(testing::connectionIdentity());
  request.setMethod("GET");
  request.setAcceptEncoding(std::string(c.acceptEncoding));
  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  response.setContentDisposition("inline", false);
  response.setUpgrade("h2c");
  response.setBody(c.stored ? zlibGzip(body) : std::string(body), c.allowed, c.stored);

  std::ostringstream out;
  HttpGenerator::generateResponse(request, response, out);
  const std::string wire = out.str();
  const std::size_t end = wire.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  const std::string head = wire.substr(0, end + 4);
  const std::string sent = wire.substr(end + 4);

  EXPECT_NE(head.find("Content-Length: " + std::to_string(sent.size()) + "\r\n"), std::string::npos) << head;
  if (c.expectGzip) {
    EXPECT_NE(head.find("Content-Disposition: inline\r\nContent-Encoding: gzip\r\nUpgrade: h2c\r\n"),
              std::string::npos)
        << head;
    EXPECT_EQ(zlibGunzip(sent), body);
  } else {
    EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
    EXPECT_EQ(sent, body);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AcceptEncoding, ResponseCompression,
    ::testing::Values(EncodingCase{"deflate, gzip", true, false, true}, EncodingCase{"gzip", true, false, true},
                      EncodingCase{"x-gzip", true, false, true}, EncodingCase{"gzip;q=0.5", true, false, true},
                      EncodingCase{"br;q=0, gzip ; q=1.0", true, false, true},
                      EncodingCase{"GZIP", true, false, false}, EncodingCase{"deflate, br", true, false, false},
                      EncodingCase{"", true, false, false}, EncodingCase{"*", true, false, false},
                      EncodingCase{"gzip;q=0", true, false, false}, EncodingCase{"gzip; Q=0.000", true, false, false},
                      EncodingCase{"deflate, gzip;level=1;q=0.", true, false, false},
                      EncodingCase{"gzip, x-gzip;q=0", true, false, false}));

INSTANTIATE_TEST_SUITE_P(
    StoredForm, ResponseCompression,
    ::testing::Values(EncodingCase{"gzip", false, false, false}, EncodingCase{"gzip", false, true, false},
                      EncodingCase{"gzip", true, true, true}, EncodingCase{"deflate", true, true, false},
                      EncodingCase{"gzip;q=0", true, true, false}));

TEST(ResponseCompression, EmptyBodiesAreNeverCompressed) {
  HttpRequest request(testing::connectionIdentity());
  request.setAcceptEncoding("gzip");
  for (const bool stored : {false, true}) {
    HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
    response.setBody("", true, stored);
    std::ostringstream out;
    HttpGenerator::generateResponse(request, response, out);
    EXPECT_EQ(out.str(), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n");
  }
}

TEST(ResponseCompression, HeadAnnouncesTheCompressedLengthWithoutSendingIt) {
  HttpRequest request(testing::connectionIdentity());
  request.setMethod("HEAD");
  request.setAcceptEncoding("gzip");
  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  const std::string body(1000, 'z');
  response.setBody(std::string(body), true, false);
  std::ostringstream out;
  HttpGenerator::generateResponse(request, response, out);
  const std::string length = std::to_string(HttpGenerator::gzipCompress(body).size());
  EXPECT_EQ(out.str(), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + length +
                           "\r\nContent-Encoding: gzip\r\n\r\n");
}

TEST(ResponseCompression, ABrokenStoredBodyFailsBeforeAnythingIsWritten) {
  HttpRequest request(testing::connectionIdentity());
  HttpResponse response(testing::connectionIdentity(), StatusCode::OK, "text/plain", "");
  response.setBody("not gzip", false, true);
  std::ostringstream out;
  EXPECT_THROW(HttpGenerator::generateResponse(request, response, out), boost::iostreams::gzip_error);
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace quorvel::http
