#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ParseSupport.h"
#include "httpio/ReferenceRequestLine.h"

namespace quorvel::http {
namespace {

using testing::parseFailure;
using testing::parseRequest;

TEST(RequestLine, EveryMethodIsTaken) {
  for (const std::string method : {"OPTIONS", "POST", "GET", "HEAD", "PUT", "DELETE", "RPC_OUT_DATA", "RPC_IN_DATA",
                                   "RDG_OUT_DATA", "RDG_IN_DATA"}) {
    auto request = parseRequest(method + " /v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/ HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(request->getMethod(), method);
    EXPECT_EQ(request->getPath(), "/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY");
    EXPECT_EQ(request->getHttpVersion(), "1.1");
    EXPECT_EQ(request->getHost(), "h");
  }
}

struct AcceptedLine {
  std::string line;
  std::string path;
  std::string version;
  std::vector<std::pair<std::string, std::string>> parameters;
};

TEST(RequestLine, TargetsAndQueriesReachTheRecord) {
  const AcceptedLine cases[] = {
      {"GET / HTTP/1.0", "", "1.0", {}},
      {"OPTIONS * HTTP/1.1", "", "1.1", {}},
      {"GET http://example.com:8443/p HTTP/1.1", "/p", "1.1", {}},
      {"GET https://user@example.com/a/b/ HTTP/1.1", "/a/b", "1.1", {}},
      {"GET http://example.com HTTP/1.1", "", "1.1", {}},
      {"GET /a/b/?x=1&y=2 HTTP/1.1", "/a/b", "1.1", {{"x", "1"}, {"y", "2"}}},
      {"GET /?a=1&b&c=1=2 HTTP/1.1", "", "1.1", {{"a", "1"}, {"b", ""}, {"c", ""}}},
      {"GET /q?a=1&a=2 HTTP/1.1", "/q", "1.1", {{"a", "2"}}},
      {"GET /q?n%20x=a+b HTTP/1.1", "/q", "1.1", {{"n%20x", "a+b"}}},
      {"GET /q?=v HTTP/1.1", "/q", "1.1", {{"", "v"}}},
      {"GET https://example.com/a?x=1 HTTP/1.1", "/a", "1.1", {{"x", "1"}}},
      // A "?" inside a part stays in the part; only "&" separates.
      {"GET /q?a=1?&b=2 HTTP/1.1", "/q", "1.1", {{"a", "1?"}, {"b", "2"}}},
      {"GET\t/x \t HTTP/2 extra", "/x", "2 extra", {}},
  };
  for (const AcceptedLine& c : cases) {
    auto request = parseRequest(c.line + "\r\n\r\n");
    EXPECT_EQ(request->getPath(), c.path) << c.line;
    EXPECT_EQ(request->getHttpVersion(), c.version) << c.line;
    for (const auto& [name, value] : c.parameters) EXPECT_EQ(request->getQueryParameter(name), value) << c.line;
  }
}

std::string repeated(std::string head, const std::string& part, int times, const std::string& tail) {
  for (int i = 0; i < times; ++i) head += part;
  return head + tail;
}

TEST(RequestLine, MalformedLinesAreInvalidRequests) {
  const std::string cases[] = {
      "get / HTTP/1.1", "PATCH / HTTP/1.1", " GET / HTTP/1.1", "GET / HTTX/1.1", "GET /HTTP/1.1", "GET /", "GET",
      "GET ?a=1 HTTP/1.1", "GET /x?&a=1 HTTP/1.1", "GET /x?a=1&&b=2 HTTP/1.1", "GET /x? HTTP/1.1",
      // Lines that made the old expression backtrack for seconds, then throw.
      repeated("GET /x", "?a", 2000, " HTTX/1.1"), repeated("GET /x", "&a", 4000, "?&&b HTTP/1.1")};
  for (const std::string& line : cases) {
    const auto failure = parseFailure(line + "\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(failure.has_value()) << line;
    EXPECT_EQ(failure->message, "Invalid HTTP request");
    EXPECT_EQ(failure->function, "parseRequestHeaders");
    EXPECT_EQ(failure->code, 0);
  }
  EXPECT_EQ(parseRequest(repeated("GET /long?a=1", "&b=2", 6000, " HTTP/1.1\r\n\r\n"))->getQueryParameter("b"), "2");
}

using quorvel::testing::ReferenceRequestLine;
using quorvel::testing::referenceRequestLine;

// Compares the parser with the old expression on every line it can answer.
void expectSameAsReference(const std::string& line) {
  std::optional<ReferenceRequestLine> expected;
  try {
    expected = referenceRequestLine(line);
  } catch (const std::runtime_error&) {
    return;  // the expression gave up, as it does on long hostile lines
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

TEST(RequestLine, SplitsLikeTheOldExpression) {
  const std::string alphabet = "GETPUHADOS_ \t\r\v/?&=a:@.*#1HTP";
  const std::vector<std::string> starts = {"", "GET ", "GET /", "PUT a", "HEAD http://", "OPTIONS "};
  const std::vector<std::string> ends = {"", " HTTP/1.1", "\tHTTP/", " HTTP/1.1 x"};
  std::mt19937 random(20240611);
  for (int i = 0; i < 20000; ++i) {
    std::string line = starts[random() % starts.size()];
    for (std::size_t j = random() % 16; j > 0; --j) line += alphabet[random() % alphabet.size()];
    line += ends[random() % ends.size()];
    // A line of blanks alone, or one ending in CR, reads differently from the wire.
    if (line.empty() || line.back() == '\r') continue;
    expectSameAsReference(line);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quorvel::http
