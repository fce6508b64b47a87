// The parser reads lines in place while the stream's buffer holds them and
// through getline otherwise; bytes in memory take a third way. All must
// agree on the record, the refusal and where the input is left.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ParseSupport.h"
#include "RequestSnapshot.h"

namespace quorvel::http {
namespace {

using testing::ParseOutcome;
using testing::parseFromMemory;
using testing::parseFromStream;

const std::string kBrowser =
    "GET /v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY?source=bookmark&ts=1 HTTP/1.1\r\n"
    "Host: wake.example.net:1444\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"124\", \"Not-A.Brand\";v=\"99\"\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0.0.0\r\n"
    "Accept: text/html,application/xhtml+xml;q=0.9\r\n"
    "Accept: */*;q=0.8\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Cookie: session=abc; theme=dark\r\n"
    "Content-Length: 4\r\n"
    "\r\n"
    "body";

struct InputCase {
  const char* what;
  std::string bytes;
};

class EveryInputWay : public ::testing::TestWithParam<InputCase> {};

TEST_P(EveryInputWay, Agrees) {
  const std::string& bytes = GetParam().bytes;
  const auto identity = testing::connectionIdentity();
  const ParseOutcome whole = parseFromStream(bytes, 0, identity);
  for (std::size_t step : {1, 2, 3, 7, 64}) {
    EXPECT_EQ(parseFromStream(bytes, step, identity), whole) << "step " << step;
  }
  ParseOutcome memory = parseFromMemory(bytes, identity);
  if (!whole.refusal.empty()) memory.rest = whole.rest;
  EXPECT_EQ(memory, whole);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, EveryInputWay,
    ::testing::Values(
        InputCase{"browser", kBrowser},
        InputCase{"bare line feeds", "GET /a HTTP/1.1\nHost: h\n\nrest"},
        InputCase{"blank lines first", "\n\nGET /a HTTP/1.1\r\nHost: h\r\n\r\n"},
        InputCase{"no end of block", "GET /a HTTP/1.1\r\nHost: h\r\nUser-Agent: last"},
        InputCase{"line ending in two CRs", "GET /a HTTP/1.1\r\nHost: h\r\r\n\r\nrest"},
        InputCase{"empty input", ""},
        InputCase{"only a CR", "\r"},
        InputCase{"empty first line", "\r\nGET / HTTP/1.1\r\n\r\n"},
        InputCase{"refused request line", "get / HTTP/1.1\r\nHost: h\r\n\r\n"},
        InputCase{"refused length", "PUT /a HTTP/1.1\r\nHost: h\r\nContent-Length: x\r\nUser-Agent: u\r\n\r\n"},
        InputCase{"long line", "GET /" + std::string(5000, 'p') + " HTTP/1.1\r\nHost: " + std::string(300, 'h') +
                                   "\r\n\r\n"}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (c == ' ') c = '_';
      }
      return name;
    });

TEST(ParserInput, LeavesTheStreamAfterTheBlockOrTheRefusedLine) {
  const auto identity = testing::connectionIdentity();
  EXPECT_EQ(parseFromStream(kBrowser, 0, identity).rest, "body");
  const ParseOutcome refused =
      parseFromStream("PUT /a HTTP/1.1\r\nContent-Length: x\r\nUser-Agent: u\r\n\r\n", 0, identity);
  EXPECT_EQ(refused.refusal, "Invalid HTTP request");
  EXPECT_EQ(refused.rest, "User-Agent: u\r\n\r\n");

  HttpRequest request(identity);
  EXPECT_EQ(HttpParser::parseRequestHeaders(request, std::string_view(kBrowser)), kBrowser.size() - 4);
  EXPECT_EQ(request.getCookie("theme"), "dark");
  EXPECT_EQ(request.getAccept(), "text/html,application/xhtml+xml;q=0.9,*/*;q=0.8");
}

TEST(ParserInput, AStreamThatIsNotGoodIsNotRead) {
  HttpRequest request(testing::connectionIdentity());
  std::istringstream input("GET /a HTTP/1.1\r\nHost: h\r\n\r\n");
  input.setstate(std::ios::failbit);
  HttpParser::parseRequestHeaders(request, input);
  EXPECT_EQ(request.getMethod(), "");
  input.clear();
  EXPECT_EQ(input.get(), 'G');
}

struct NameCase {
  std::string line;
  bool reachesContentLength;
};

// Known names are matched in any case, but only letters fold: a byte that
// differs from the name's own in any other way is another name.
TEST(ParserInput, NamesMatchInAnyCaseAndNothingElse) {
  const NameCase cases[] = {
      {"Content-Length: 5", true},     {"CONTENT-LENGTH: 5", true},     {"cOnTeNt-lEnGtH: 5", true},
      {"  Content-Length  : 5", true}, {"Content\rLength: 5", false},   {"Content-Lengt: 5", false},
      {"Content-Lengthh: 5", false},   {"Content_Length: 5", false},    {"Content-Length\x01: 5", false},
      {"Content\x0dLength: 5", false}, {"Content-Lengt\xc8: 5", false}, {"xContent-Length: 5", false},
  };
  for (const NameCase& c : cases) {
    auto request = testing::parseRequest("GET / HTTP/1.1\r\n" + c.line + "\r\n\r\n");
    EXPECT_EQ(request->getContentLength() == 5, c.reachesContentLength) << c.line;
  }
  // Short names are compared as two overlapping halves.
  EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\nhOST: h\r\n\r\n")->getHost(), "h");
  EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\nHosT: h\r\n\r\n")->getHost(), "h");
  EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\nHoS\x14: h\r\n\r\n")->getHost(), "");
  EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\nHots: h\r\n\r\n")->getHost(), "");
  EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\nUPGRADE: websocket\r\n\r\n")->getUpgrade(), "websocket");
}

}  // namespace
}  // namespace quorvel::http
