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

HttpHeader makeHeader(AuthInfoPtr authInfo = nullptr) {
  return HttpHeader(std::move(authInfo), "text/html", "1.0");
}

TEST(HttpHeaderConstruction, RequestLineFormAppliesThePathRuleAndNoContentType) {
  EXPECT_EQ(makeHeader().getLogPrefix(), "");
  HttpHeader request(nullptr, "GET", "/a/", "1.1");
  EXPECT_EQ(request.getMethod(), "GET");
  EXPECT_EQ(request.getPath(), "/a");
  EXPECT_FALSE(request.hasContentType());
}

TEST(HttpHeaderConstruction, LogPrefixComesFromTheIdentityRecord) {
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  authInfo->setConnectionId("cid:7");
  HttpHeader header = makeHeader(authInfo);
  EXPECT_EQ(header.getLogPrefix(), "[cid:7]  ");
  EXPECT_EQ(header.getAuthInfo(), authInfo);
}

TEST(HttpHeaderPath, DropsOneTrailingSlash) {
  const std::map<std::string, std::string> cases = {
      {"/", ""}, {"//", "/"}, {"", ""}, {"/a/b/", "/a/b"}, {"/a/b", "/a/b"}};
  HttpHeader header = makeHeader();
  for (const auto& [in, out] : cases) {
    header.setPath(std::string(in));
    EXPECT_EQ(header.getPath(), out) << in;
  }
}

TEST(HttpHeaderList, AddJoinsWithCommaOnly) {
  HttpHeader header = makeHeader();
  EXPECT_FALSE(header.hasAccept());
  header.addAccept("text/html");
  EXPECT_EQ(header.getAccept(), "text/html");
  header.addAccept("*/*");
  EXPECT_EQ(header.getAccept(), "text/html,*/*");
  header.addAccept("");
  EXPECT_EQ(header.getAccept(), "text/html,*/*,");
  EXPECT_TRUE(header.hasAccept());

  header.setAcceptList({"a", "b"});
  EXPECT_EQ(header.getAccept(), "a,b");
  header.setAcceptList({});
  EXPECT_EQ(header.getAccept(), "");
  EXPECT_FALSE(header.hasAccept());
}

TEST(HttpHeaderList, SplitKeepsEmptyElementsAndBlanks) {
  HttpHeader header = makeHeader();
  EXPECT_EQ(header.getAcceptList(), Strings{""});
  header.setAccept("a,,b");
  EXPECT_EQ(header.getAcceptList(), (Strings{"a", "", "b"}));
  header.setAccept("gzip, deflate,");
  EXPECT_EQ(header.getAcceptList(), (Strings{"gzip", " deflate", ""}));
}

// Every list family must reach its own field and no other.
struct ListFamily {
  const char* name;
  const std::string& (HttpHeader::*get)() const;
  Strings (HttpHeader::*getList)() const;
  bool (HttpHeader::*has)() const;
  void (HttpHeader::*set)(std::string&&);
  void (HttpHeader::*add)(const std::string&);
  void (HttpHeader::*setList)(const Strings&);
};

#define LIST_FAMILY(Stem)                                                                                 \
  ListFamily {                                                                                            \
    #Stem, &HttpHeader::get##Stem, &HttpHeader::get##Stem##List, &HttpHeader::has##Stem,                  \
        &HttpHeader::set##Stem, &HttpHeader::add##Stem, &HttpHeader::set##Stem##List                      \
  }

const ListFamily kListFamilies[] = {
    LIST_FAMILY(Accept),           LIST_FAMILY(AcceptEncoding),        LIST_FAMILY(AcceptLanguage),
    LIST_FAMILY(Connection),       LIST_FAMILY(CacheControl),          LIST_FAMILY(Pragma),
    LIST_FAMILY(TransferEncoding), LIST_FAMILY(Upgrade),               LIST_FAMILY(SecWebSocketVersion),
    LIST_FAMILY(SecWebSocketProtocol), LIST_FAMILY(SecWebSocketExtensions), LIST_FAMILY(SecWebSocketKey),
    LIST_FAMILY(XForwardedFor)};

TEST(HttpHeaderList, EachFamilyOwnsItsField) {
  for (const auto& family : kListFamilies) {
    HttpHeader header = makeHeader();
    std::string value = "x";
    (header.*family.set)(std::move(value));
    EXPECT_EQ(value, "") << family.name << ": set moves the text in";
    (header.*family.add)("y");
    EXPECT_EQ((header.*family.get)(), "x,y") << family.name;
    EXPECT_EQ((header.*family.getList)(), (Strings{"x", "y"})) << family.name;
    for (const auto& other : kListFamilies) {
      if (&other != &family) {
        EXPECT_FALSE((header.*other.has)()) << family.name << " touched " << other.name;
      }
    }
    (header.*family.setList)({"p", "q", "r"});
    EXPECT_EQ((header.*family.get)(), "p,q,r") << family.name;
    EXPECT_TRUE((header.*family.has)()) << family.name;
  }
}

TEST(HttpHeaderDate, TimeIsFormattedOnceOnDemand) {
  HttpHeader header = makeHeader();
  header.setDateTime(784111777);
  EXPECT_TRUE(header.hasDate());
  const HttpHeader& constHeader = header;
  EXPECT_EQ(constHeader.getDate(), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(constHeader.getDateTime(), 784111777);
}

TEST(HttpHeaderDate, TextIsParsedOnDemandAndSettingOneFormClearsTheOther) {
  HttpHeader header = makeHeader();
  header.setDate("Sun, 06 Nov 1994 08:49:37 GMT");
  const HttpHeader& constHeader = header;
  EXPECT_EQ(constHeader.getDateTime(), 784111777);

  header.setDateTime(0);
  EXPECT_FALSE(header.hasDate());
  EXPECT_EQ(header.getDate(), "");

  header.setDateTime(1);
  header.setDate("Thu, 01 Jan 1970 00:00:02 GMT");
  EXPECT_EQ(header.getDateTime(), 2);
}

TEST(HttpHeaderDate, UnusableTextStaysAsItIs) {
  quorvel::testing::LogCapture capture;
  HttpHeader header = makeHeader();
  header.setDate("yesterday");
  EXPECT_TRUE(header.hasDate());
  EXPECT_EQ(header.getDateTime(), 0);
  EXPECT_EQ(header.getDateTime(), 0);
  EXPECT_EQ(header.getDate(), "yesterday");
  // Each read tries again, each failure is only traced.
  EXPECT_EQ(capture.count("Failed to parse HTTP date: yesterday"), 2u);
}

TEST(HttpHeaderCookies, ParsesPairs) {
  struct Case {
    const char* header;
    std::map<std::string, std::string> cookies;
  };
  const Case cases[] = {
      {"a=1", {{"a", "1"}}},
      {"a=1; b=2", {{"a", "1"}, {"b", "2"}}},
      {"a=1 ;b=2", {{"a", "1 "}, {"b", "2"}}},
      {"a=1; a=2", {{"a", "2"}}},
      {" sid = \"q v\" ", {{"sid", "\"q v\" "}}},
      {"a=x=y; b=", {{"a", "x=y"}, {"b", ""}}},
      {"a=;b=2", {{"a", ""}, {"b", "2"}}},
      {"a=1; b", {{"a", "1"}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    HttpHeader header = makeHeader();
    header.setCookieHeader(c.header);
    EXPECT_EQ(header.getCookieHeader(), c.header);
    for (const auto& [name, value] : c.cookies) {
      ASSERT_TRUE(header.hasCookie(name)) << c.header << " / " << name;
      EXPECT_EQ(header.getCookie(name), value) << c.header << " / " << name;
    }
  }
}

TEST(HttpHeaderCookies, TrailingNameWithoutValueIsNoCookie) {
  HttpHeader header = makeHeader();
  header.setCookieHeader("a=1; b");
  EXPECT_FALSE(header.hasCookie("b"));
  EXPECT_FALSE(header.hasCookie(" b"));
}

TEST(HttpHeaderCookies, NamesAreCaseSensitiveAndAbsentOnesThrow) {
  HttpHeader header = makeHeader();
  header.setCookieHeader("Session=abc");
  EXPECT_FALSE(header.hasCookie("session"));
  try {
    header.getCookie("session");
    FAIL() << "no exception";
  } catch (const CookieException& e) {
    EXPECT_EQ(e.getMessage(), "Cookie not found");
    EXPECT_EQ(e.getFunction(), "getCookie");
    EXPECT_EQ(e.getCode(), 0);
    EXPECT_NE(e.getLine(), -1);
  }
}

TEST(HttpHeaderCookies, SecondHeaderAddsToTheMap) {
  HttpHeader header = makeHeader();
  header.setCookieHeader("a=1; b=2");
  header.setCookieHeader("b=3");
  EXPECT_EQ(header.getCookieHeader(), "b=3");
  EXPECT_EQ(header.getCookie("a"), "1");
  EXPECT_EQ(header.getCookie("b"), "3");
}

TEST(HttpHeaderClear, ResetsAllButTheWebSocketAndForwardingFields) {
  auto authInfo = std::make_shared<authentication::AuthInfo>();
  HttpHeader header = makeHeader(authInfo);
  header.setAccept("a");
  header.setUpgrade("websocket");
  header.setSecWebSocketKey("k");
  header.setXForwardedFor("10.0.0.1");
  header.setMethod("GET");
  header.setPath("/p");
  header.setContentLength(5);
  header.setCookieHeader("a=1");
  header.setDateTime(5);
  header.setSendContentLength(false);
  header.setSecFetchUser("?1");

  header.clear();
  EXPECT_FALSE(header.hasAccept());
  EXPECT_TRUE(header.hasUpgrade());
  EXPECT_TRUE(header.hasSecWebSocketKey());
  EXPECT_TRUE(header.hasXForwardedFor());
  EXPECT_EQ(header.getMethod(), "");
  EXPECT_EQ(header.getPath(), "");
  EXPECT_EQ(header.getContentLength(), 0u);
  EXPECT_FALSE(header.hasCookie("a"));
  EXPECT_FALSE(header.hasCookieHeader());
  EXPECT_FALSE(header.hasDate());
  EXPECT_TRUE(header.getSendContentLength());
  EXPECT_EQ(header.getSecFetchUser(), "");
  EXPECT_EQ(header.getHttpVersion(), "1.1");
  EXPECT_EQ(header.getContentType(), "text/plain");
  EXPECT_EQ(header.getAuthInfo(), authInfo);
}

}  // namespace
}  // namespace quorvel::http
