#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ParseSupport.h"
#include "ReferenceRequestLine.h"

namespace quorvel::http {
namespace {

using testing::parseFailure;
using testing::parseRequest;

struct AcceptedLine {
  std::string line;
  std::string method;
  std::string path;
  std::string version;
  std::vector<std::pair<std::string, std::string>> parameters;
};

class AcceptedRequestLine : public ::testing::TestWithParam<AcceptedLine> {};

TEST_P(AcceptedRequestLine, FillsMethodPathQueryAndVersion) {
  const AcceptedLine& c = GetParam();
  auto request = parseRequest(c.line + "\r\nHost: h\r\n\r\n");
  EXPECT_EQ(request->getMethod(), c.method);
  EXPECT_EQ(request->getPath(), c.path);
  EXPECT_EQ(request->getHttpVersion(), c.version);
  for (const auto& [name, value] : c.parameters) EXPECT_EQ(request->getQueryParameter(name), value) << name;
  EXPECT_EQ(request->getHost(), "h");
}

const std::string kWolTarget = "/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY";

INSTANTIATE_TEST_SUITE_P(
    EveryMethod, AcceptedRequestLine,
    ::testing::Values(AcceptedLine{"OPTIONS " + kWolTarget + " HTTP/1.1", "OPTIONS", kWolTarget, "1.1", {}},
                      AcceptedLine{"POST " + kWolTarget + " HTTP/1.1", "POST", kWolTarget, "1.1", {}},
                      AcceptedLine{"GET " + kWolTarget + " HTTP/1.1", "GET", kWolTarget, "1.1", {}},
                      AcceptedLine{"HEAD " + kWolTarget + " HTTP/1.1", "HEAD", kWolTarget, "1.1", {}},
                      AcceptedLine{"PUT " + kWolTarget + " HTTP/1.1", "PUT", kWolTarget, "1.1", {}},
                      AcceptedLine{"DELETE " + kWolTarget + " HTTP/1.1", "DELETE", kWolTarget, "1.1", {}},
                      AcceptedLine{"RPC_OUT_DATA /rpc HTTP/1.1", "RPC_OUT_DATA", "/rpc", "1.1", {}},
                      AcceptedLine{"RPC_IN_DATA /rpc HTTP/1.1", "RPC_IN_DATA", "/rpc", "1.1", {}},
                      AcceptedLine{"RDG_OUT_DATA /remoteDesktopGateway/ HTTP/1.1", "RDG_OUT_DATA",
                                   "/remoteDesktopGateway", "1.1", {}},
                      AcceptedLine{"RDG_IN_DATA /remoteDesktopGateway/ HTTP/1.1", "RDG_IN_DATA",
                                   "/remoteDesktopGateway", "1.1", {}}));

INSTANTIATE_TEST_SUITE_P(
    TargetForms, AcceptedRequestLine,
    ::testing::Values(
        AcceptedLine{"GET /status HTTP/1.1", "GET", "/status", "1.1", {}},
        AcceptedLine{"GET / HTTP/1.0", "GET", "", "1.0", {}},
        AcceptedLine{"GET // HTTP/1.1", "GET", "/", "1.1", {}},
        AcceptedLine{"OPTIONS * HTTP/1.1", "OPTIONS", "", "1.1", {}},
        AcceptedLine{"GET http://example.com:8443/p HTTP/1.1", "GET", "/p", "1.1", {}},
        AcceptedLine{"GET https://user@example.com/a/b/ HTTP/1.1", "GET", "/a/b", "1.1", {}},
        AcceptedLine{"GET example.com/a/b HTTP/1.1", "GET", "/a/b", "1.1", {}},
        AcceptedLine{"GET http://example.com HTTP/1.1", "GET", "", "1.1", {}},
        // Not a URL the expression knows: the whole target is the path.
        AcceptedLine{"GET ftp://example.com/p HTTP/1.1", "GET", "ftp://example.com/p", "1.1", {}},
        AcceptedLine{"GET /a&b HTTP/1.1", "GET", "/a&b", "1.1", {}}));

INSTANTIATE_TEST_SUITE_P(
    QueriesAndVersions, AcceptedRequestLine,
    ::testing::Values(
        AcceptedLine{"GET /a/b/?x=1&y=2 HTTP/1.1", "GET", "/a/b", "1.1", {{"x", "1"}, {"y", "2"}}},
        AcceptedLine{"GET /?a=1&b&c=1=2 HTTP/1.1", "GET", "", "1.1", {{"a", "1"}, {"b", ""}, {"c", ""}}},
        AcceptedLine{"GET /q?a=1&a=2 HTTP/1.1", "GET", "/q", "1.1", {{"a", "2"}}},
        AcceptedLine{"GET /q?n%20x=a+b HTTP/1.1", "GET", "/q", "1.1", {{"n%20x", "a+b"}}},
        AcceptedLine{"GET /q?=v HTTP/1.1", "GET", "/q", "1.1", {{"", "v"}}},
        AcceptedLine{"GET https://example.com/a?x=1 HTTP/1.1", "GET", "/a", "1.1", {{"x", "1"}}},
        // A "?" inside a part stays in the part; only "&" separates.
        AcceptedLine{"GET /q?a=1?&b=2 HTTP/1.1", "GET", "/q", "1.1", {{"a", "1?"}, {"b", "2"}}},
        AcceptedLine{"GET /q?a=1?b=2 HTTP/1.1", "GET", "/q", "1.1", {{"a", ""}}},
        // With nothing after it, a "?" is taken by the "&" part before it.
        AcceptedLine{"GET /a&? HTTP/1.1", "GET", "/a", "1.1", {}},
        AcceptedLine{"GET / HTTP/1.1 extra", "GET", "", "1.1 extra", {}},
        AcceptedLine{"GET\t/x \t HTTP/2", "GET", "/x", "2", {}},
        AcceptedLine{"GET /x HTTP/", "GET", "/x", "", {}}));

class RefusedRequestLine : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedRequestLine, IsAnInvalidRequest) {
  const auto failure = parseFailure(GetParam() + "\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->message, "Invalid HTTP request");
  EXPECT_EQ(failure->function, "parseRequestHeaders");
  EXPECT_EQ(failure->code, 0);
}

std::string backtrackingLine() {
  std::string line = "GET /x";
  for (int i = 0; i < 2000; ++i) line += "?a";
  return line + " HTTX/1.1";
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RefusedRequestLine,
    ::testing::Values("get / HTTP/1.1", "GETX / HTTP/1.1", "PATCH / HTTP/1.1", " GET / HTTP/1.1",
                      "GET / HTTX/1.1", "GET / http/1.1", "GET /HTTP/1.1", "GET  HTTP/1.1", "GET /", "GET",
                      "GET ?a=1 HTTP/1.1", "GET /x?&a=1 HTTP/1.1", "GET /x?a=1&&b=2 HTTP/1.1",
                      "GET /x?a=1& HTTP/1.1", "GET /x? HTTP/1.1", backtrackingLine()));

TEST(RequestLineLimits, LongLinesAreTakenApartInOnePass) {
  std::string query = "?a=1";
  for (int i = 0; i < 6000; ++i) query += "&b=2";
  auto request = parseRequest("GET /long" + query + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request->getPath(), "/long");
  EXPECT_EQ(request->getQueryParameter("b"), "2");

  const std::string host(40000, 'h');
  request = parseRequest("GET http://" + host + ":80/p HTTP/1.1\r\n\r\n");
  EXPECT_EQ(request->getPath(), "/p");

  // Thousands of "&"-led candidates before the "?" that none can rescue.
  std::string ampersands = "/x";
  for (int i = 0; i < 4000; ++i) ampersands += "&a";
  EXPECT_TRUE(parseFailure("GET " + ampersands + "?&&b HTTP/1.1\r\n\r\n").has_value());
}

// Compares the parser with the old expression on every line it can answer.
void expectSameAsReference(const std::string& line) {
  std::optional<testing::ReferenceRequestLine> expected;
  try {
    expected = testing::referenceRequestLine(line);
  } catch (const std::runtime_error&) {
    return;
  }
  std::unique_ptr<HttpRequest> request;
  try {
    request = parseRequest(line + "\r\n\r\n");
  } catch (const HttpParsingException&) {
  }
  ASSERT_EQ(request != nullptr, expected.has_value()) << "line: '" << line << "'";
  if (!expected) return;
  EXPECT_EQ(request->getMethod(), expected->method) << line;
  EXPECT_EQ(request->getPath(), expected->path) << line;
  EXPECT_EQ(request->getHttpVersion(), expected->version) << line;
}

TEST(RequestLineReference, EveryShortTargetSplitsLikeTheExpression) {
  const std::string alphabet = "a?&/";
  std::vector<std::string> tails{""};
  for (int length = 1; length <= 6; ++length) {
    std::vector<std::string> longer;
    for (const auto& tail : tails) {
      if (tail.size() + 1 != static_cast<std::size_t>(length)) continue;
      for (char c : alphabet) longer.push_back(tail + c);
    }
    tails.insert(tails.end(), longer.begin(), longer.end());
  }
  for (const auto& tail : tails) {
    expectSameAsReference("GET /" + tail + " HTTP/1.1");
    expectSameAsReference("PUT a" + tail + " HTTP/1.1");
    if (HasFailure()) return;
  }
}

TEST(RequestLineReference, RandomLinesMatchTheExpression) {
  const std::string alphabet = "GETPUHADOS_ \t\r\v/?&=a:@.*#1HTP";
  const std::vector<std::string> starts = {"", "GET ", "GET /", "HEAD http://", "OPTIONS "};
  const std::vector<std::string> ends = {"", " HTTP/1.1", "\tHTTP/", " HTTP/1.1 x"};
  std::mt19937 random(20240611);
  for (int i = 0; i < 20000; ++i) {
    std::string line = starts[random() % starts.size()];
    const std::size_t length = random() % 16;
    for (std::size_t j = 0; j < length; ++j) line += alphabet[random() % alphabet.size()];
    line += ends[random() % ends.size()];
    // A line of blanks alone, or one ending in CR, reads differently from the wire.
    if (line.empty() || line.back() == '\r') continue;
    expectSameAsReference(line);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quorvel::http
