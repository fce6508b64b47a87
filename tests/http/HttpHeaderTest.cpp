// The header and response records.
#include "common/http/HttpHeader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/authentication/AuthInfo.h"
#include "common/http/CookieException.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

AuthInfoPtr identity(const std::string& id) {
  auto info = std::make_shared<authentication::AuthInfo>();
  info->setConnectionId(id);
  return info;
}

TEST(HttpHeader, LogPrefixPathAndListSplit) {
  EXPECT_EQ(HttpHeader(nullptr, "text/html", "1.0").getLogPrefix(), "");
  EXPECT_EQ(HttpHeader(identity("cid:7"), "text/html", "1.0").getLogPrefix(), "[cid:7]  ");
  // One trailing slash goes, from the request-line constructor too.
  EXPECT_EQ(HttpHeader(nullptr, "GET", "/a/", "1.1").getPath(), "/a");
  HttpHeader header(nullptr, "text/html", "1.0");
  header.setPath("//");
  EXPECT_EQ(header.getPath(), "/");
  header.setAccept("gzip,, deflate,");
  EXPECT_EQ(header.getAcceptList(), (std::vector<std::string>{"gzip", "", " deflate", ""}));
}

// The writer takes records as const, so the lazy conversions must work there.
TEST(HttpHeader, DateIsConvertedOnDemandOnAConstRecord) {
  HttpHeader header(nullptr, "text/html", "1.0");
  const HttpHeader& constHeader = header;
  header.setDateTime(784111777);
  EXPECT_EQ(constHeader.getDate(), "Sun, 06 Nov 1994 08:49:37 GMT");
  quorvel::testing::LogCapture capture;
  header.setDate("yesterday");
  EXPECT_EQ(constHeader.getDateTime(), 0);
  EXPECT_EQ(constHeader.getDateTime(), 0);
  // Each read tries again, each failure is only traced.
  EXPECT_EQ(capture.count("Failed to parse HTTP date: yesterday"), 2u);
}

TEST(HttpHeader, CookiePairs) {
  const std::pair<const char*, std::map<std::string, std::string>> cases[] = {
      {"a=1 ;b=2", {{"a", "1 "}, {"b", "2"}}}, {" sid = \"q v\" ", {{"sid", "\"q v\" "}}},
      {"a=x=y; a=", {{"a", ""}}}};
  for (const auto& [text, cookies] : cases) {
    HttpHeader header(nullptr, "text/html", "1.0");
    header.setCookieHeader(text);
    for (const auto& [name, value] : cookies) EXPECT_EQ(header.getCookie(name), value) << text << " / " << name;
  }
  // A trailing name without a value is no cookie, and names are case-sensitive.
  HttpHeader header(nullptr, "text/html", "1.0");
  header.setCookieHeader("Session=abc; b");
  try {
    header.getCookie("session");
    FAIL() << "no exception";
  } catch (const CookieException& e) {
    EXPECT_EQ(e.getMessage() + " in " + e.getFunction(), "Cookie not found in getCookie");
  }
}

// A connection reuses its response: clear keeps only what outlives one request.
TEST(HttpResponse, ClearGoesBackToAnEmpty200) {
  HttpResponse response(nullptr, StatusCode::NotFound, "application/json", "utf-8");
  response.setBody(std::string(100000, 'b'), true, true); response.setPersistentAuth(false);
  response.addWWWAuthenticate("Basic"); response.setReplayNonce("nonce");
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
  const std::pair<int, const char*> known[] = {
      {101, "101 Switching Protocols"}, {200, "200 OK"}, {201, "201 Created"}, {204, "204 No Content"},
      {301, "301 Moved Permanently"}, {302, "302 Found"}, {304, "304 Not Modified"}, {400, "400 Bad Request"},
      {401, "401 Unauthorized"}, {403, "403 Forbidden"}, {404, "404 Not Found"}, {405, "405 Method Not Allowed"},
      {413, "413 Payload Too Large"}, {415, "415 Unsupported Media Type"}, {418, "418 I'm a teapot"},
      {429, "429 Too Many Requests"}, {431, "431 Request Header Fields Too Large"}, {299, "299 Unknown Code"},
      {500, "500 Internal Server Error"}, {503, "503 Service Unavailable"}, {65535, "65535 Unknown Code"}};
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
