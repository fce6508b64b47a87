// Feeds arbitrary bytes to the request parser (and, for short inputs, the
// response parser), writes a response from what was parsed, and checks:
// no exception other than the parser's own, the request line taken apart as
// the old expression did (unless a control byte refuses it), no line break
// of a value on the wire, and the same outcome whether the bytes sit in one
// buffer, trickle in, or come as memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "common/authentication/AuthInfo.h"
#include "common/http/HttpGenerator.h"
#include "common/http/HttpParser.h"
#include "common/http/HttpParsingException.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "ReferenceRequestLine.h"
#include "RequestSnapshot.h"

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

namespace {

using namespace quorvel::http;

// The old expression backtracks without bound on long lines.
constexpr std::size_t kReferenceLineLimit = 48;
// The status-line expression is quadratic; the response side is dormant.
constexpr std::size_t kResponseInputLimit = 512;

void fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "%s: '%s'\n", what, line.c_str());
  std::abort();
}

quorvel::authentication::AuthInfoPtr identity() {
  static const auto info = std::make_shared<quorvel::authentication::AuthInfo>();
  return info;
}

// The first line the parser would look at, or nothing when there is none
// or the parser refuses it for its line end or its control bytes.
bool firstLine(const std::string& bytes, std::string& line) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = bytes.size();
    line = bytes.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (terminated) {
      if (line.back() != '\r') return false;
      line.pop_back();
    }
    const auto control = [](unsigned char c) { return (c < ' ' && c != '\t') || c == 0x7f; };
    return !line.empty() && std::none_of(line.begin(), line.end(), control);
  }
  return false;
}

void checkRequestLine(const std::string& bytes) {
  std::string line;
  if (!firstLine(bytes, line) || line.size() > kReferenceLineLimit) return;
  std::optional<quorvel::testing::ReferenceRequestLine> expected;
  try {
    expected = quorvel::testing::referenceRequestLine(line);
  } catch (const std::runtime_error&) {
    return;
  }
  HttpRequest request(identity());
  std::istringstream input(line + "\r\n\r\n");
  try {
    HttpParser::parseRequestHeaders(request, input);
  } catch (const HttpParsingException&) {
    // A tab is no longer let pass in the version.
    if (expected && expected->version.find('\t') == std::string::npos) {
      fail("refused a line the expression accepts", line);
    }
    return;
  }
  if (!expected) fail("accepted a line the expression refuses", line);
  if (request.getMethod() != expected->method || request.getPath() != expected->path ||
      request.getHttpVersion() != expected->version) {
    fail("took a line apart differently", line);
  }
}

void checkInputWays(const std::string& bytes) {
  using namespace quorvel::testing;
  const ParseOutcome whole = parseFromStream(bytes, 0, identity());
  // The first byte picks how many bytes each refill brings.
  const std::size_t step = 1 + (bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) % 13);
  if (parseFromStream(bytes, step, identity()) != whole) fail("a trickling stream parsed differently", bytes);
  ParseOutcome memory = parseFromMemory(bytes, identity());
  if (!whole.refusal.empty()) memory.rest = whole.rest;
  if (memory != whole) fail("bytes in memory parsed differently", bytes);
}

void checkResponse(const HttpRequest& request, const std::string& bytes) {
  HttpResponse response(identity(), StatusCode::OK, "text/plain", "utf-8");
  response.setServer(std::string(request.getUserAgent()));
  response.setLocation(std::string(request.getPath()));
  response.setCookieHeader(std::string(request.getCookieHeader()));
  response.addWWWAuthenticate(request.getAuthorization());
  response.setBody(bytes.substr(0, 64), true, false);
  std::ostringstream out;
  HttpGenerator::generateResponse(request, response, out);
  const std::string wire = out.str();
  const std::size_t headEnd = wire.find("\r\n\r\n");
  if (headEnd == std::string::npos) fail("no end of the header block", wire);
  for (std::size_t i = 0; i < headEnd; ++i) {
    if (wire[i] == '\r' && wire[i + 1] != '\n') fail("a bare CR in the header block", wire);
    if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) fail("a bare LF in the header block", wire);
    if (wire[i] == '\n' && wire[i + 1] == '\r') fail("an empty line inside the header block", wire);
  }
}

}  // namespace

// Every log line is built, so the paths that only run when tracing are
// covered, and then dropped.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  root.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
  root.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  HttpRequest request(identity());
  std::istringstream input(bytes);
  try {
    HttpParser::parseRequestHeaders(request, input);
  } catch (const HttpParsingException&) {
  }
  checkResponse(request, bytes);
  checkRequestLine(bytes);
  checkInputWays(bytes);

  if (size <= kResponseInputLimit) {
    HttpResponse response(identity(), StatusCode::OK, "", "");
    std::istringstream responseInput(bytes);
    try {
      HttpParser::parseResponseHeaders(response, responseInput);
    } catch (const HttpParsingException&) {
    }
  }
  return 0;
}
