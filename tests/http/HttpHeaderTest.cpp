// The header and response records.
#include "common/http/HttpHeader.h"

#include <gtest/gtest.h>

#include <string>

#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

TEST(HttpHeader, PathLosesOneTrailingSlash) {
  // One trailing slash goes, from the request-line constructor too.
  EXPECT_EQ(HttpHeader(nullptr, "GET", "/a/", "1.1").getPath(), "/a");
  HttpHeader header(nullptr, "text/html", "1.0");
  header.setPath("//");
  EXPECT_EQ(header.getPath(), "/");
}

// A connection reuses its response: clear keeps only what outlives one request.
TEST(HttpResponse, ClearGoesBackToAnEmpty200) {
  HttpResponse response(nullptr, StatusCode::NotFound, "application/json", "utf-8");
  response.setBody(std::string(100000, 'b'), true, true);
  response.setPersistentAuth(false);
  response.addWWWAuthenticate("Basic");
  response.setReplayNonce("nonce");
  response.setWriteCompletion([](const boost::system::error_code&, std::size_t) {});
  response.setContentDisposition("attachment; filename=a", true);
  response.clear();
  EXPECT_EQ(response.getStatusText(), "200 OK");
  // The body's memory goes back, not just its length.
  EXPECT_EQ(response.getBody().capacity(), std::string().capacity());
  EXPECT_FALSE(response.isCompressionAllowed() || response.isBodyCompressed() || response.hasPersistentAuth());
  EXPECT_TRUE(response.getWWWAuthenticateList().empty());
  EXPECT_FALSE(response.getWriteCompletion() || response.getParsedContentDisposition().isParsed());
  EXPECT_EQ(response.getReplayNonce(), "nonce");
}

TEST(HttpResponse, StatusTextFollowsTheCode) {
  // The codes the service answers with, and codes the table does not hold.
  const std::pair<int, const char*> known[] = {
      {101, "101 Switching Protocols"}, {200, "200 OK"}, {204, "204 No Content"}, {404, "404 Not Found"},
      {413, "413 Payload Too Large"}, {418, "418 I'm a teapot"},
      {431, "431 Request Header Fields Too Large"}, {500, "500 Internal Server Error"},
      {503, "503 Service Unavailable"}, {299, "299 Unknown Code"}, {65535, "65535 Unknown Code"}};
  HttpResponse response(nullptr, StatusCode::OK, "", "");
  for (const auto& [code, text] : known) {
    response.setStatusCode(static_cast<StatusCode>(code));
    EXPECT_EQ(response.getStatusText(), text);
  }
}

// A body of 4 GiB or more has no Content-Length; checked without allocating it.
struct LengthProbe : HttpHeader {
  using HttpHeader::bodyContentLength;
};
TEST(HttpHeader, ContentLengthOfABodyIs32Bits) {
  EXPECT_EQ(LengthProbe::bodyContentLength(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_THROW(LengthProbe::bodyContentLength(std::size_t{1} << 32), std::length_error);
}

}  // namespace
}  // namespace quorvel::http
