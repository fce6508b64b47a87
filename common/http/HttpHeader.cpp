#include "common/http/HttpHeader.h"

#include <limits>
#include <stdexcept>
#include <string_view>

#include "common/http/CookieException.h"
#include "common/http/HeaderText.h"
#include "common/http/HttpDateTimeParser.h"

namespace quorvel::http {

namespace {

using headertext::kSpace;
using headertext::trim;

const std::string kDefaultContentType = "text/plain";
const std::string kDefaultHttpVersion = "1.1";

void stripTrailingSlash(std::string& path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
}

}  // namespace

// ---- date pair

const std::string& HttpHeader::DatePair::getText() const {
  if (text.empty() && time != 0) text = HttpDateTimeParser::toHTTPDate(time, std::string());
  return text;
}

time_t HttpHeader::DatePair::getTime() const {
  if (time == 0 && !text.empty()) {
    time_t parsed = HttpDateTimeParser::fromHTTPDate(text, std::string());
    // -1 is the parser's failure value: keep trying on later reads.
    if (parsed != -1) time = parsed;
  }
  return time;
}

void HttpHeader::DatePair::setText(std::string&& value) {
  text = std::move(value);
  time = 0;
}

void HttpHeader::DatePair::setTime(time_t value) {
  time = value;
  text.clear();
}

void HttpHeader::DatePair::clear() {
  text.clear();
  time = 0;
}

// ---- list helpers

std::vector<std::string> HttpHeader::splitList(const std::string& value) {
  std::vector<std::string> elements;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = value.find(',', start);
    if (end == std::string::npos) {
      elements.emplace_back(value, start);
      return elements;
    }
    elements.emplace_back(value, start, end - start);
    start = end + 1;
  }
}

void HttpHeader::addToList(std::string& field, const std::string& value) {
  if (!field.empty()) field += ',';
  field += value;
}

void HttpHeader::setList(std::string& field, const std::vector<std::string>& values) {
  field.clear();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) field += ',';
    field += values[i];
  }
}

std::uint32_t HttpHeader::bodyContentLength(std::size_t size) {
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("Body of " + std::to_string(size) + " bytes exceeds the 32-bit Content-Length");
  }
  return static_cast<std::uint32_t>(size);
}

// ---- construction

HttpHeader::HttpHeader(AuthInfoPtr&& authInfo, std::string&& contentType, std::string&& httpVersion)
    : contentType(std::move(contentType)), authInfo(std::move(authInfo)), httpVersion(std::move(httpVersion)) {}

HttpHeader::HttpHeader(AuthInfoPtr&& authInfo, std::string&& method, std::string&& path, std::string&& httpVersion)
    : authInfo(std::move(authInfo)), method(std::move(method)), path(std::move(path)),
      httpVersion(std::move(httpVersion)) {
  stripTrailingSlash(this->path);
}

HttpHeader::~HttpHeader() = default;

// ---- list families

#define QUORVEL_HTTP_LIST_FAMILY(Stem, field)                                                              \
  const std::string& HttpHeader::get##Stem() const { return field; }                                    \
  std::vector<std::string> HttpHeader::get##Stem##List() const { return splitList(field); }             \
  bool HttpHeader::has##Stem() const { return !field.empty(); }                                         \
  void HttpHeader::set##Stem(std::string&& value) { field = std::move(value); }                         \
  void HttpHeader::add##Stem(const std::string& value) { addToList(field, value); }                     \
  void HttpHeader::set##Stem##List(const std::vector<std::string>& values) { setList(field, values); }

QUORVEL_HTTP_LIST_FAMILY(Accept, accept)
QUORVEL_HTTP_LIST_FAMILY(AcceptEncoding, acceptEncoding)
QUORVEL_HTTP_LIST_FAMILY(AcceptLanguage, acceptLanguage)
QUORVEL_HTTP_LIST_FAMILY(Connection, connection)
QUORVEL_HTTP_LIST_FAMILY(CacheControl, cacheControl)
QUORVEL_HTTP_LIST_FAMILY(Pragma, pragma)
QUORVEL_HTTP_LIST_FAMILY(TransferEncoding, transferEncoding)
QUORVEL_HTTP_LIST_FAMILY(Upgrade, upgrade)
QUORVEL_HTTP_LIST_FAMILY(SecWebSocketVersion, secWebSocketVersion)
QUORVEL_HTTP_LIST_FAMILY(SecWebSocketProtocol, secWebSocketProtocol)
QUORVEL_HTTP_LIST_FAMILY(SecWebSocketExtensions, secWebSocketExtensions)
QUORVEL_HTTP_LIST_FAMILY(SecWebSocketKey, secWebSocketKey)
QUORVEL_HTTP_LIST_FAMILY(XForwardedFor, xForwardedFor)

#undef QUORVEL_HTTP_LIST_FAMILY

const std::string& HttpHeader::getContentType() const { return contentType; }
bool HttpHeader::hasContentType() const { return !contentType.empty(); }
void HttpHeader::setContentType(std::string&& value) { contentType = std::move(value); }

const std::string& HttpHeader::getDate() const { return date.getText(); }
time_t HttpHeader::getDateTime() const { return date.getTime(); }
bool HttpHeader::hasDate() const { return date.has(); }
void HttpHeader::setDate(std::string&& value) { date.setText(std::move(value)); }
void HttpHeader::setDateTime(time_t value) { date.setTime(value); }

std::string HttpHeader::getLogPrefix() const { return authInfo ? authInfo->toString() : fallbackLogPrefix; }
const AuthInfoPtr& HttpHeader::getAuthInfo() const { return authInfo; }

// ---- single fields

const std::string& HttpHeader::getPath() const { return path; }
const std::string& HttpHeader::getHttpVersion() const { return httpVersion; }
std::uint32_t HttpHeader::getContentLength() const { return contentLength; }
const std::string& HttpHeader::getAuthorization() const { return authorization; }
const std::string& HttpHeader::getCookieHeader() const { return cookieHeader; }
const std::string& HttpHeader::getMethod() const { return method; }
const std::string& HttpHeader::getRdgConnectionId() const { return rdgConnectionId; }
const std::string& HttpHeader::getRdgCorrelationId() const { return rdgCorrelationId; }
const std::string& HttpHeader::getRdgUserId() const { return rdgUserId; }
const std::string& HttpHeader::getSecFetchDest() const { return secFetchDest; }
const std::string& HttpHeader::getSecFetchMode() const { return secFetchMode; }
const std::string& HttpHeader::getSecFetchSite() const { return secFetchSite; }
const std::string& HttpHeader::getSecFetchUser() const { return secFetchUser; }

void HttpHeader::setMethod(std::string&& value) { method = std::move(value); }
void HttpHeader::setPath(std::string&& value) {
  path = std::move(value);
  stripTrailingSlash(path);
}
void HttpHeader::setHttpVersion(std::string&& value) { httpVersion = std::move(value); }
void HttpHeader::setContentLength(std::uint32_t value) { contentLength = value; }
void HttpHeader::setAuthorization(std::string&& value) { authorization = std::move(value); }
void HttpHeader::setRdgConnectionId(std::string&& value) { rdgConnectionId = std::move(value); }
void HttpHeader::setRdgCorrelationId(std::string&& value) { rdgCorrelationId = std::move(value); }
void HttpHeader::setRdgUserId(std::string&& value) { rdgUserId = std::move(value); }
void HttpHeader::setSecFetchDest(std::string&& value) { secFetchDest = std::move(value); }
void HttpHeader::setSecFetchMode(std::string&& value) { secFetchMode = std::move(value); }
void HttpHeader::setSecFetchSite(std::string&& value) { secFetchSite = std::move(value); }
void HttpHeader::setSecFetchUser(std::string&& value) { secFetchUser = std::move(value); }

void HttpHeader::setSendContentLength(bool value) { sendContentLength = value; }
bool HttpHeader::getSendContentLength() const { return sendContentLength; }

// ---- cookies

const std::string& HttpHeader::getCookie(const std::string& name) const {
  auto found = cookies.find(name);
  if (found == cookies.end()) throw CookieException("Cookie not found", __FILE__, "getCookie", __LINE__, 0);
  return found->second;
}

bool HttpHeader::hasCookie(const std::string& name) const { return cookies.find(name) != cookies.end(); }
bool HttpHeader::hasCookieHeader() const { return !cookieHeader.empty(); }

void HttpHeader::setCookieHeader(std::string&& value) {
  parseCookies(value);
  cookieHeader = std::move(value);
}

// name=value pairs separated by ";". The name is trimmed; the value only loses
// leading white space, so "a=1 ;" keeps "1 ". A trailing part without "=" is
// no cookie; a trailing "name=" is a cookie with an empty value.
void HttpHeader::parseCookies(const std::string& text) {
  std::string_view input(text);
  std::size_t pos = 0;
  while (pos < input.size()) {
    std::size_t equals = input.find('=', pos);
    if (equals == std::string_view::npos) break;
    std::string_view name = trim(input.substr(pos, equals - pos));
    pos = input.find_first_not_of(kSpace, equals + 1);
    if (pos == std::string_view::npos) pos = input.size();
    std::size_t semicolon = input.find(';', pos);
    std::string_view value = input.substr(pos, semicolon == std::string_view::npos ? semicolon : semicolon - pos);
    pos = semicolon == std::string_view::npos ? input.size() : semicolon + 1;
    cookies.insert_or_assign(std::string(name), std::string(value));
  }
}

// ---- reset

void HttpHeader::clear() {
  accept.clear();
  acceptEncoding.clear();
  acceptLanguage.clear();
  connection.clear();
  cacheControl.clear();
  pragma.clear();
  transferEncoding.clear();
  method.clear();
  path.clear();
  authorization.clear();
  cookieHeader.clear();
  rdgConnectionId.clear();
  rdgCorrelationId.clear();
  rdgUserId.clear();
  secFetchDest.clear();
  secFetchMode.clear();
  secFetchSite.clear();
  secFetchUser.clear();
  date.clear();
  httpVersion = kDefaultHttpVersion;
  contentType = kDefaultContentType;
  contentLength = 0;
  cookies.clear();
  sendContentLength = true;
}

}  // namespace quorvel::http
