#include "common/http/HttpHeader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/authentication/AuthInfo.h"
#include "common/http/CookieException.h"
#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using Strings = std::vector<std::string>;

HttpHeader makeHeader(AuthInfoPtr authInfo = nullptr) { return HttpHeader(std::move(authInfo), "text/html", "1.0"); }

TEST(HttpHeader, LogPrefixAndPathRule) {
  EXPECT_EQ(makeHeader().getLogPrefix(), "");
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  authInfo->setConnectionId("cid:7");
  EXPECT_EQ(makeHeader(authInfo).getLogPrefix(), "[cid:7]  ");

  // One trailing slash goes, from the request-line constructor too.
  EXPECT_EQ(HttpHeader(nullptr, "GET", "/a/", "1.1").getPath(), "/a");
  HttpHeader header = makeHeader();
  for (const auto& [in, out] : std::map<std::string, std::string>{{"/", ""}, {"//", "/"}, {"", ""}, {"/a/b", "/a/b"}}) {
    header.setPath(std::string(in));
    EXPECT_EQ(header.getPath(), out) << in;
  }
}

TEST(HttpHeader, ListsJoinWithCommaAndSplitKeepingBlanks) {
  HttpHeader header = makeHeader();
  EXPECT_EQ(header.getAcceptList(), Strings{""});
  header.addAccept("text/html");
  header.addAccept("*/*");
  EXPECT_EQ(header.getAccept(), "text/html,*/*");
  header.addAccept("");
  EXPECT_EQ(header.getAccept(), "text/html,*/*,");
  header.setAccept("gzip,, deflate,");
  EXPECT_EQ(header.getAcceptList(), (Strings{"gzip", "", " deflate", ""}));
  header.setAcceptList({"a", "b"});
  EXPECT_EQ(header.getAccept(), "a,b");
  header.setAcceptList({});
  EXPECT_FALSE(header.hasAccept());
}

// The writer takes records as const, so the lazy conversions must work there.
TEST(HttpHeader, DateIsConvertedOnDemandOnAConstRecord) {
  HttpHeader header = makeHeader();
  const HttpHeader& constHeader = header;
  header.setDateTime(784111777);
  EXPECT_EQ(constHeader.getDate(), "Sun, 06 Nov 1994 08:49:37 GMT");
  header.setDate("Thu, 01 Jan 1970 00:00:02 GMT");
  EXPECT_EQ(constHeader.getDateTime(), 2);
  header.setDateTime(0);
  EXPECT_FALSE(header.hasDate());

  quorvel::testing::LogCapture capture;
  header.setDate("yesterday");
  EXPECT_EQ(constHeader.getDateTime(), 0);
  EXPECT_EQ(constHeader.getDateTime(), 0);
  EXPECT_EQ(header.getDate(), "yesterday");
  // Each read tries again, each failure is only traced.
  EXPECT_EQ(capture.count("Failed to parse HTTP date: yesterday"), 2u);
}

TEST(HttpHeader, CookiePairs) {
  const std::pair<const char*, std::map<std::string, std::string>> cases[] = {
      {"a=1; b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1 ;b=2", {{"a", "1 "}, {"b", "2"}}},
      {"a=1; a=2", {{"a", "2"}}},
      {" sid = \"q v\" ", {{"sid", "\"q v\" "}}},
      {"a=x=y; b=", {{"a", "x=y"}, {"b", ""}}},
      {"a=;b=2", {{"a", ""}, {"b", "2"}}},
  };
  for (const auto& [text, cookies] : cases) {
    HttpHeader header = makeHeader();
    header.setCookieHeader(text);
    for (const auto& [name, value] : cookies) EXPECT_EQ(header.getCookie(name), value) << text << " / " << name;
  }
  // A trailing name without a value is no cookie, and names are case-sensitive.
  HttpHeader header = makeHeader();
  header.setCookieHeader("Session=abc; b");
  EXPECT_FALSE(header.hasCookie("b"));
  EXPECT_FALSE(header.hasCookie("session"));
  try {
    header.getCookie("session");
    FAIL() << "no exception";
  } catch (const CookieException& e) {
    EXPECT_EQ(e.getMessage(), "Cookie not found");
    EXPECT_EQ(e.getFunction(), "getCookie");
  }
}

TEST(HttpHeader, ClearKeepsTheWebSocketAndForwardingFields) {
  HttpHeader header = makeHeader();
  header.setAccept("a");
  header.setUpgrade("websocket");
  header.setSecWebSocketKey("k");
  header.setXForwardedFor("10.0.0.1");
  header.setContentLength(5);
  header.setCookieHeader("a=1");
  header.setDateTime(5);
  header.setSendContentLength(false);

  header.clear();
  EXPECT_FALSE(header.hasAccept());
  EXPECT_TRUE(header.hasUpgrade());
  EXPECT_TRUE(header.hasSecWebSocketKey());
  EXPECT_TRUE(header.hasXForwardedFor());
  EXPECT_EQ(header.getContentLength(), 0u);
  EXPECT_FALSE(header.hasCookie("a"));
  EXPECT_FALSE(header.hasDate());
  EXPECT_TRUE(header.getSendContentLength());
  EXPECT_EQ(header.getContentType(), "text/plain");
}

}  // namespace
}  // namespace quorvel::http
