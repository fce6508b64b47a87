// Ways of handing the same bytes to the request parser, and a text of every
// field a request record holds, so that the ways can be compared.
#pragma once

#include <algorithm>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>

#include "common/http/HttpParser.h"
#include "common/http/HttpParsingException.h"
#include "common/http/HttpRequest.h"

namespace quorvel::testing {

// Hands out its bytes a few at a time, as a socket does, so that lines lie
// across refills of the get area.
class TrickleBuffer : public std::streambuf {
 public:
  TrickleBuffer(const std::string& bytes, std::size_t step) : bytes(bytes), step(std::max<std::size_t>(step, 1)) {
    char* begin = this->bytes.data();
    setg(begin, begin, begin);
  }

 protected:
  int_type underflow() override {
    char* end = bytes.data() + bytes.size();
    if (gptr() == end) return traits_type::eof();
    setg(eback(), gptr(), gptr() + std::min<std::size_t>(step, end - gptr()));
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string bytes;
  std::size_t step;
};

inline std::string snapshot(const http::HttpRequest& r) {
  std::ostringstream out;
  out << r.getMethod() << '|' << r.getPath() << '|' << r.getHttpVersion() << '|' << r.getContentLength() << '|'
      << r.getAccept() << '|' << r.getAcceptEncoding() << '|' << r.getAcceptLanguage() << '|' << r.getConnection()
      << '|' << r.getCacheControl() << '|' << r.getPragma() << '|' << r.getTransferEncoding() << '|'
      << r.getUpgrade() << '|' << r.getSecWebSocketVersion() << '|' << r.getSecWebSocketProtocol() << '|'
      << r.getSecWebSocketKey() << '|' << r.getContentType() << '|' << r.getDate() << '|' << r.getXForwardedFor()
      << '|' << r.getAuthorization() << '|' << r.getCookieHeader() << '|' << r.getRdgConnectionId() << '|'
      << r.getRdgCorrelationId() << '|' << r.getRdgUserId() << '|' << r.getSecFetchDest() << '|'
      << r.getSecFetchMode() << '|' << r.getSecFetchSite() << '|' << r.getSecFetchUser() << '|' << r.getUserAgent()
      << '|' << r.getHost() << '|' << r.getAccessControlRequestMethod() << '|'
      << r.getAccessControlRequestHeaders() << '|' << r.getOrigin() << '|' << r.getReferer() << '|'
      << r.getSecChUa() << '|' << r.getSecChUaMobile() << '|' << r.getSecChUaPlatform() << '|'
      << r.getSecChUaPlatformVersion() << '|' << r.getSecChUaArch() << '|' << r.getSecChUaBitness() << '|'
      << r.getSecChUaModel() << '|' << r.getSecChUaFullVersion() << '|' << r.getIfModifiedSince() << '|'
      << r.getIfNoneMatch();
  return out.str();
}

// What one way of parsing left behind: the record, the refusal if any, and
// the bytes after what the parser took.
struct ParseOutcome {
  std::string fields;
  std::string refusal;
  std::string rest;

  bool operator==(const ParseOutcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const ParseOutcome& o) {
  return out << "{fields: " << o.fields << ", refusal: " << o.refusal << ", rest: " << o.rest << "}";
}

// From a stream over the bytes; step 0 means one buffer holding them all.
inline ParseOutcome parseFromStream(const std::string& bytes, std::size_t step,
                                    const authentication::AuthInfoPtr& identity) {
  std::istringstream whole(bytes);
  TrickleBuffer trickle(bytes, step);
  std::istream trickling(&trickle);
  std::istream& input = step == 0 ? static_cast<std::istream&>(whole) : trickling;
  http::HttpRequest request(identity);
  ParseOutcome outcome;
  try {
    http::HttpParser::parseRequestHeaders(request, input);
  } catch (const http::HttpParsingException& e) {
    outcome.refusal = e.getMessage();
  }
  outcome.fields = snapshot(request);
  input.clear();
  outcome.rest.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
  return outcome;
}

// From the bytes in memory; a refusal leaves no count, so no rest either.
inline ParseOutcome parseFromMemory(const std::string& bytes, const authentication::AuthInfoPtr& identity) {
  http::HttpRequest request(identity);
  ParseOutcome outcome;
  try {
    outcome.rest = bytes.substr(http::HttpParser::parseRequestHeaders(request, std::string_view(bytes)));
  } catch (const http::HttpParsingException& e) {
    outcome.refusal = e.getMessage();
  }
  outcome.fields = snapshot(request);
  return outcome;
}

}  // namespace quorvel::testing
