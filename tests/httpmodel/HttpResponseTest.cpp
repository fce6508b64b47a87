#include "common/http/HttpResponse.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/authentication/AuthInfo.h"
#include "common/http/HttpRequest.h"
#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

HttpResponse makeResponse(StatusCode code = StatusCode::OK, AuthInfoPtr authInfo = nullptr) {
  return HttpResponse(std::move(authInfo), code, "application/json", "utf-8");
}

TEST(HttpResponseStatus, TextFollowsTheCode) {
  const std::pair<int, const char*> known[] = {
      {101, "101 Switching Protocols"}, {200, "200 OK"}, {201, "201 Created"}, {204, "204 No Content"},
      {301, "301 Moved Permanently"}, {302, "302 Found"}, {304, "304 Not Modified"}, {400, "400 Bad Request"},
      {401, "401 Unauthorized"}, {403, "403 Forbidden"}, {404, "404 Not Found"}, {405, "405 Method Not Allowed"},
      {413, "413 Payload Too Large"}, {415, "415 Unsupported Media Type"}, {418, "418 I'm a teapot"},
      {429, "429 Too Many Requests"}, {431, "431 Request Header Fields Too Large"},
      {500, "500 Internal Server Error"}, {503, "503 Service Unavailable"},
      {299, "299 Unknown Code"}, {0, "0 Unknown Code"}, {65535, "65535 Unknown Code"},
  };
  HttpResponse response = makeResponse();
  for (const auto& [code, text] : known) {
    response.setStatusCode(static_cast<StatusCode>(code));
    EXPECT_EQ(response.getStatusText(), text);
  }
}

TEST(HttpResponseChunked, OneElementMustBeExactlyChunked) {
  const std::pair<const char*, bool> cases[] = {
      {"chunked", true},      {"CHUNKED", true},        {"ChUnKeD", true},   {"gzip,chunked", true},
      {"gzip, chunked", false}, {"chunked ", false},    {"chunk", false},    {"", false},
      {"gzip,,Chunked,", true},
  };
  for (const auto& [value, chunked] : cases) {
    HttpResponse response = makeResponse();
    response.setTransferEncoding(value);
    EXPECT_EQ(response.isChunked(), chunked) << "'" << value << "'";
  }
}

TEST(HttpResponseContentDisposition, ParsesOnlyWhenAskedWithTheLogPrefix) {
  quorvel::testing::LogCapture capture;
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  authInfo->setConnectionId("cid:4");
  HttpResponse response = makeResponse(StatusCode::OK, authInfo);

  response.setContentDisposition("attachment; filename=\"a/b.txt\"; bogus=1", true);
  EXPECT_TRUE(response.hasContentDisposition());
  EXPECT_EQ(response.getContentDisposition(), "attachment; filename=\"a/b.txt\"; bogus=1");
  EXPECT_EQ(response.getParsedContentDisposition().getFilename(), "b.txt");
  EXPECT_TRUE(capture.contains("[cid:4]  Parameter 'bogus' with value '1' was not recognized!",
                               log4cplus::ERROR_LOG_LEVEL));

  response.setContentDisposition("inline; filename=c.txt", false);
  EXPECT_EQ(response.getContentDisposition(), "inline; filename=c.txt");
  EXPECT_EQ(response.getParsedContentDisposition().getDispositionType(), "attachment");
  EXPECT_EQ(response.getParsedContentDisposition().getFilename(), "b.txt");
}

TEST(HttpResponseClear, BackToAnEmpty200) {
  HttpResponse response = makeResponse(StatusCode::NotFound);
  response.setBody(std::string(100000, 'b'), true, true);
  response.setPersistentAuth(false);
  response.addWWWAuthenticate("Basic");
  response.setWriteCompletion([](const boost::system::error_code&, std::size_t) {});
  response.setReplayNonce("nonce");
  response.setServer("s");
  response.setUpgrade("websocket");
  response.setContentDisposition("attachment; filename=a", true);

  response.clear();
  EXPECT_EQ(response.getStatusText(), "200 OK");
  // The body's memory goes back, not just its length.
  EXPECT_EQ(response.getBody().capacity(), std::string().capacity());
  EXPECT_EQ(response.getContentLength(), 0u);
  EXPECT_FALSE(response.isCompressionAllowed());
  EXPECT_FALSE(response.isBodyCompressed());
  EXPECT_FALSE(response.hasPersistentAuth());
  EXPECT_TRUE(response.getWWWAuthenticateList().empty());
  EXPECT_FALSE(response.getWriteCompletion());
  EXPECT_EQ(response.getContentType(), "text/plain");
  EXPECT_FALSE(response.hasServer());
  EXPECT_FALSE(response.getParsedContentDisposition().isParsed());
  EXPECT_EQ(response.getReplayNonce(), "nonce");
  EXPECT_TRUE(response.hasUpgrade());
}

// The limit itself, checked without allocating 4 GiB.
struct LengthProbe : HttpHeader {
  using HttpHeader::bodyContentLength;
};

TEST(HttpMessageBody, ContentLengthLimitIs32Bits) {
  EXPECT_EQ(LengthProbe::bodyContentLength(0), 0u);
  EXPECT_EQ(LengthProbe::bodyContentLength(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_THROW(LengthProbe::bodyContentLength(std::size_t{1} << 32), std::length_error);
  EXPECT_THROW(LengthProbe::bodyContentLength(SIZE_MAX), std::length_error);
}

// Touches 4 GiB of memory for several seconds, so it only runs on request.
TEST(HttpMessageBody, RefusesABodyTheContentLengthCannotDescribe) {
  if (std::getenv("NIMBREL_HEAVY_TESTS") == nullptr) GTEST_SKIP() << "set NIMBREL_HEAVY_TESTS=1 to run";
  std::string huge(std::size_t{1} << 32, 'x');

  HttpResponse response = makeResponse();
  response.setBody("abc", false, false);
  EXPECT_THROW(response.setBody(std::move(huge), true, true), std::length_error);
  EXPECT_EQ(response.getBody(), "abc");
  EXPECT_EQ(response.getContentLength(), 3u);
  EXPECT_FALSE(response.isCompressionAllowed());
  EXPECT_EQ(huge.size(), std::size_t{1} << 32);

  HttpRequest request(nullptr);
  EXPECT_THROW(request.setBody(std::move(huge)), std::length_error);
  EXPECT_EQ(request.getContentLength(), 0u);
}

}  // namespace
}  // namespace quorvel::http
