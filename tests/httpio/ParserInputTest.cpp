// The parser reads lines in place while the stream's buffer holds them and
// through getline otherwise; bytes in memory take a third way. All must
// agree on the record, the refusal and where the input is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <streambuf>
#include <string>

#include "ParseSupport.h"
#include "httpio/RequestSnapshot.h"

namespace quorvel::http {
namespace {

using testing::ParseOutcome;

// From a stream (step 0: one buffer holding all bytes), or from memory.
ParseOutcome parse(const std::string& bytes, std::size_t step, bool fromMemory = false) {
  return fromMemory ? testing::parseFromMemory(bytes, testing::connectionIdentity())
                    : testing::parseFromStream(bytes, step, testing::connectionIdentity());
}

const std::string kBrowser =
    "GET /v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY?source=bookmark&ts=1 HTTP/1.1\r\n"
    "Host: wake.example.net:1444\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"124\", \"Not-A.Brand\";v=\"99\"\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0.0.0\r\n"
    "Accept: text/html,application/xhtml+xml;q=0.9\r\n"
    "Accept: */*;q=0.8\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Cookie: session=abc; theme=dark\r\n"
    "Content-Length: 4\r\n"
    "\r\n"
    "body";

TEST(ParserInput, EveryWayAgrees) {
  const std::string refused = "PUT /a HTTP/1.1\r\nHost: h\r\nContent-Length: x\r\nUser-Agent: u\r\n\r\n";
  const std::string cases[] = {
      kBrowser,
      "GET /a HTTP/1.1\nHost: h\n\nrest",
      "\n\nGET /a HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /a HTTP/1.1\r\nHost: h\r\nUser-Agent: last",
      "GET /a HTTP/1.1\r\nHost: h\r\r\n\r\nrest",
      "\r\nGET / HTTP/1.1\r\n\r\n",
      refused,
      "GET /" + std::string(5000, 'p') + " HTTP/1.1\r\nHost: " + std::string(300, 'h') + "\r\n\r\n",
  };
  for (const std::string& bytes : cases) {
    const ParseOutcome whole = parse(bytes, 0);
    for (std::size_t step : {1, 3, 64}) EXPECT_EQ(parse(bytes, step), whole) << "step " << step;
    ParseOutcome memory = parse(bytes, 0, true);
    if (!whole.refusal.empty()) memory.rest = whole.rest;
    EXPECT_EQ(memory, whole);
  }
  EXPECT_EQ(parse(kBrowser, 0).rest, "body");
  // A refusal leaves the stream right after the refused line.
  EXPECT_EQ(parse(refused, 0).rest, "User-Agent: u\r\n\r\n");
}

// Known names are matched in any case, but only letters fold: a byte that
// differs from the name's own in any other way is another name.
TEST(ParserInput, NamesMatchInAnyCaseAndNothingElse) {
  const std::pair<std::string, bool> cases[] = {
      {"Content-Length: 5", true},      {"cOnTeNt-lEnGtH: 5", true},   {"  Content-Length  : 5", true},
      {"Content\rLength: 5", false},    {"Content-Lengt: 5", false},   {"Content-Lengthh: 5", false},
      {"Content_Length: 5", false},     {"Content-Length\x01: 5", false}, {"Content-Lengt\xc8: 5", false},
      {"xContent-Length: 5", false},
  };
  for (const auto& [line, taken] : cases) {
    EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\n" + line + "\r\n\r\n")->getContentLength() == 5, taken)
        << line;
  }
  // Short names are compared as two overlapping halves.
  const std::pair<std::string, bool> shortNames[] = {
      {"hOST", true}, {"HosT", true}, {"HoS\x14", false}, {"Hots", false}};
  for (const auto& [name, taken] : shortNames) {
    EXPECT_EQ(testing::parseRequest("GET / HTTP/1.1\r\n" + name + ": h\r\n\r\n")->getHost() == "h", taken) << name;
  }
}

}  // namespace
}  // namespace quorvel::http
