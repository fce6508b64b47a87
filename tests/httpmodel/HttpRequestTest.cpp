#include "common/http/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "common/authentication/AuthInfo.h"

namespace quorvel::http {
namespace {

TEST(HttpRequest, CorsPreflightNeedsBothRequestHeaders) {
  HttpRequest request(nullptr);
  request.setAccessControlRequestMethod("POST");
  EXPECT_FALSE(request.isCorsPreflight());
  request.addAccessControlRequestHeaders("x-a");
  EXPECT_TRUE(request.isCorsPreflight());

  HttpRequest other(nullptr);
  other.setAccessControlRequestHeaders("x-a");
  EXPECT_FALSE(other.isCorsPreflight());
}

TEST(HttpRequest, ContentLengthFollowsTheBody) {
  HttpRequest request(nullptr);
  request.setBody("abc");
  EXPECT_EQ(request.getContentLength(), 3u);
  EXPECT_EQ(request.takeBody(), "abc");
  EXPECT_EQ(request.getContentLength(), 0u);
  EXPECT_EQ(request.getBody(), "");
}

TEST(HttpRequest, ClearKeepsClientHintsAndQueryParameters) {
  HttpRequest request(nullptr, "GET", "/", "?q=1", "1.0");
  request.setBody("body");
  request.setHost("h:443");
  request.setIfModifiedSince("x");
  request.setSecChUa("\"Chromium\"");

  request.clear();
  EXPECT_EQ(request.getBody(), "");
  EXPECT_FALSE(request.hasHost());
  EXPECT_FALSE(request.hasIfModifiedSince());
  EXPECT_EQ(request.getSecChUa(), "\"Chromium\"");
  EXPECT_EQ(request.getQueryParameter("q"), "1");
  EXPECT_EQ(request.getHttpVersion(), "1.1");
}

TEST(HttpRequest, MoveTakesEverythingAndAFreshRecordForgets) {
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  HttpRequest request(nullptr, "GET", "/", "?q=1", "1.1");
  request.setBody("abc");
  request.setCookieHeader("c=1");
  HttpRequest target(authInfo);
  target = std::move(request);
  EXPECT_EQ(target.getBody(), "abc");
  EXPECT_EQ(target.getContentLength(), 3u);
  EXPECT_EQ(target.getQueryParameter("q"), "1");
  EXPECT_EQ(target.getCookie("c"), "1");
  EXPECT_EQ(target.getAuthInfo(), nullptr);

  // A fresh record is how a connection forgets the last request.
  target = HttpRequest(authInfo);
  EXPECT_EQ(target.getQueryParameter("q"), "");
  EXPECT_FALSE(target.hasCookie("c"));
  EXPECT_EQ(target.getAuthInfo(), authInfo);
}

}  // namespace
}  // namespace quorvel::http
