#include "common/http/HttpRequest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/authentication/AuthInfo.h"

namespace quorvel::http {
namespace {

HttpRequest queryRequest(const std::string& query) {
  HttpRequest request(nullptr);
  request.parseQueryString(std::string(query));
  return request;
}

TEST(HttpRequestQuery, TakesOnlyNameValuePairs) {
  struct Case {
    const char* query;
    std::map<std::string, std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"", {}, {""}},
      {"?", {}, {""}},
      {"?a=1&b&c=1=2", {{"a", "1"}}, {"b", "c"}},
      {"?a=1&a=2", {{"a", "2"}}, {}},
      {"?x%20y=a+b%26", {{"x%20y", "a+b%26"}}, {"x y"}},
      {"?=v&&k=", {{"", "v"}, {"k", ""}}, {}},
      {"?A=1", {{"A", "1"}}, {"a"}},
  };
  for (const auto& c : cases) {
    HttpRequest request = queryRequest(c.query);
    for (const auto& [name, value] : c.present) EXPECT_EQ(request.getQueryParameter(name), value) << c.query;
    for (const auto& name : c.absent) EXPECT_EQ(request.getQueryParameter(name), "") << c.query;
  }
}

TEST(HttpRequestQuery, LaterQueriesAddToTheParameters) {
  HttpRequest request = queryRequest("?a=1&b=2");
  request.parseQueryString("?b=3");
  EXPECT_EQ(request.getQueryParameter("a"), "1");
  EXPECT_EQ(request.getQueryParameter("b"), "3");
}

TEST(HttpRequestConstruction, FullConstructorParsesPathAndQuery) {
  HttpRequest request(nullptr, "GET", "/v1/x/", "?k=v", "1.0");
  EXPECT_EQ(request.getMethod(), "GET");
  EXPECT_EQ(request.getPath(), "/v1/x");
  EXPECT_EQ(request.getHttpVersion(), "1.0");
  EXPECT_EQ(request.getQueryParameter("k"), "v");
  EXPECT_FALSE(request.hasContentType());

  HttpRequest plain(nullptr);
  EXPECT_EQ(plain.getContentType(), "text/plain");
  EXPECT_EQ(plain.getHttpVersion(), "1.1");
}

TEST(HttpRequestCors, NeedsBothRequestHeaders) {
  HttpRequest request(nullptr);
  request.setAccessControlRequestMethod("POST");
  EXPECT_FALSE(request.isCorsPreflight());
  request.addAccessControlRequestHeaders("x-a");
  request.addAccessControlRequestHeaders("x-b");
  EXPECT_TRUE(request.isCorsPreflight());
  EXPECT_EQ(request.getAccessControlRequestHeadersList(), (std::vector<std::string>{"x-a", "x-b"}));

  HttpRequest other(nullptr);
  other.setAccessControlRequestHeaders("x-a");
  EXPECT_FALSE(other.isCorsPreflight());
}

TEST(HttpRequestBody, ContentLengthFollowsTheBody) {
  HttpRequest request(nullptr);
  request.setBody("abc");
  EXPECT_EQ(request.getContentLength(), 3u);
  EXPECT_EQ(request.getBody(), "abc");
  EXPECT_EQ(request.takeBody(), "abc");
  EXPECT_EQ(request.getContentLength(), 0u);
  EXPECT_EQ(request.getBody(), "");
}

TEST(HttpRequestDate, IfModifiedSinceIsADatePair) {
  HttpRequest request(nullptr);
  request.setIfModifiedSince("Sun, 06 Nov 1994 08:49:37 GMT");
  const HttpRequest& constRequest = request;
  EXPECT_EQ(constRequest.getIfModifiedSinceTime(), 784111777);
  request.setIfModifiedSinceTime(0);
  EXPECT_FALSE(request.hasIfModifiedSince());
  request.setIfModifiedSinceTime(784111777);
  EXPECT_EQ(constRequest.getIfModifiedSince(), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(HttpRequestClear, KeepsClientHintsAndQueryParameters) {
  HttpRequest request = queryRequest("?q=1");
  request.setBody("body");
  request.setUserAgent("curl/7.88");
  request.setHost("h:443");
  request.setOrigin("o");
  request.setReferer("r");
  request.setIfNoneMatch("\"e\"");
  request.setIfModifiedSince("x");
  request.setSecChUa("\"Chromium\"");
  request.setHttpVersion("1.0");

  request.clear();
  EXPECT_EQ(request.getBody(), "");
  EXPECT_EQ(request.getContentLength(), 0u);
  EXPECT_FALSE(request.hasUserAgent());
  EXPECT_FALSE(request.hasHost());
  EXPECT_FALSE(request.hasOrigin());
  EXPECT_FALSE(request.hasReferer());
  EXPECT_FALSE(request.hasIfNoneMatch());
  EXPECT_FALSE(request.hasIfModifiedSince());
  EXPECT_EQ(request.getSecChUa(), "\"Chromium\"");
  EXPECT_EQ(request.getQueryParameter("q"), "1");
  EXPECT_EQ(request.getHttpVersion(), "1.1");
}

TEST(HttpRequestMove, AssignmentTakesEverything) {
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  HttpRequest request = queryRequest("?q=1");
  request.setHost("h");
  request.setBody("abc");
  request.setCookieHeader("c=1");
  HttpRequest target(authInfo);
  target = std::move(request);
  EXPECT_EQ(target.getHost(), "h");
  EXPECT_EQ(target.getBody(), "abc");
  EXPECT_EQ(target.getContentLength(), 3u);
  EXPECT_EQ(target.getQueryParameter("q"), "1");
  EXPECT_EQ(target.getCookie("c"), "1");
  EXPECT_EQ(target.getAuthInfo(), nullptr);

  // A fresh record is how a connection forgets the last request.
  target = HttpRequest(authInfo);
  EXPECT_EQ(target.getQueryParameter("q"), "");
  EXPECT_EQ(target.getAuthInfo(), authInfo);
}

}  // namespace
}  // namespace quorvel::http
