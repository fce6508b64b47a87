#include "common/http/HttpResponse.h"

#include <string_view>

#include "common/http/HeaderText.h"

namespace quorvel::http {

namespace {

using headertext::equalsIgnoreCase;

std::string_view knownStatusText(StatusCode code) {
  switch (code) {
    case StatusCode::SwitchingProtocols: return "101 Switching Protocols";
    case StatusCode::OK: return "200 OK";
    case StatusCode::Created: return "201 Created";
    case StatusCode::NoContent: return "204 No Content";
    case StatusCode::MovedPermanently: return "301 Moved Permanently";
    case StatusCode::Found: return "302 Found";
    case StatusCode::NotModified: return "304 Not Modified";
    case StatusCode::BadRequest: return "400 Bad Request";
    case StatusCode::Unauthorized: return "401 Unauthorized";
    case StatusCode::Forbidden: return "403 Forbidden";
    case StatusCode::NotFound: return "404 Not Found";
    case StatusCode::MethodNotAllowed: return "405 Method Not Allowed";
    case StatusCode::PayloadTooLarge: return "413 Payload Too Large";
    case StatusCode::UnsupportedMediaType: return "415 Unsupported Media Type";
    case StatusCode::ImATeapot: return "418 I'm a teapot";
    case StatusCode::TooManyRequests: return "429 Too Many Requests";
    case StatusCode::RequestHeaderFieldsTooLarge: return "431 Request Header Fields Too Large";
    case StatusCode::InternalServerError: return "500 Internal Server Error";
    case StatusCode::ServiceUnavailable: return "503 Service Unavailable";
  }
  return {};
}

}  // namespace

HttpResponse::HttpResponse(AuthInfoPtr&& authInfo, StatusCode code, std::string&& contentType, std::string&& charset)
    : HttpHeader(std::move(authInfo), std::move(contentType), "1.1"), statusCode(code), charset(std::move(charset)) {}

void HttpResponse::clear() {
  HttpHeader::clear();
  statusCode = StatusCode::OK;
  charset.clear();
  // Swapping with a temporary frees a large body's storage; clear() would keep it.
  std::string().swap(body);
  vary.clear();
  contentDisposition.clear();
  secWebSocketAccept.clear();
  server.clear();
  acceptRanges.clear();
  etag.clear();
  allow.clear();
  accessControlAllowOrigin.clear();
  accessControlAllowCredentials.clear();
  accessControlAllowMethods.clear();
  accessControlAllowHeaders.clear();
  accessControlMaxAge.clear();
  accessControlExposeHeaders.clear();
  acceptCH.clear();
  link.clear();
  location.clear();
  strictTransportSecurity.clear();
  xFrameOptions.clear();
  expires.clear();
  lastModified.clear();
  clearWWWAuthenticate();
  compressionAllowed = false;
  bodyCompressed = false;
  persistentAuthSet = false;
  persistentAuth = false;
  parsedContentDisposition.clear();
  writeCompletion.clear();
}

StatusCode HttpResponse::getStatusCode() const { return statusCode; }
void HttpResponse::setStatusCode(StatusCode code) { statusCode = code; }

const std::string& HttpResponse::getStatusText() const {
  updateStatusText();
  return statusText;
}

void HttpResponse::updateStatusText() const {
  std::string_view known = knownStatusText(statusCode);
  if (!known.empty()) {
    statusText.assign(known);
  } else {
    statusText = std::to_string(static_cast<unsigned>(statusCode));
    statusText += " Unknown Code";
  }
}

const std::string& HttpResponse::getCharset() const { return charset; }
void HttpResponse::setCharset(std::string&& value) { charset = std::move(value); }

const std::string& HttpResponse::getBody() const { return body; }

void HttpResponse::setBody(std::string&& newBody, bool allowCompression, bool compressed) {
  std::uint32_t length = bodyContentLength(newBody.size());
  body = std::move(newBody);
  setContentLength(length);
  compressionAllowed = allowCompression;
  bodyCompressed = compressed;
}

bool HttpResponse::isCompressionAllowed() const { return compressionAllowed; }
bool HttpResponse::isBodyCompressed() const { return bodyCompressed; }

void HttpResponse::clearWWWAuthenticate() { wwwAuthenticate.clear(); }
void HttpResponse::addWWWAuthenticate(const std::string& value) { wwwAuthenticate.push_back(value); }
void HttpResponse::setWWWAuthenticateList(const std::vector<std::string>& values) { wwwAuthenticate = values; }
const std::vector<std::string>& HttpResponse::getWWWAuthenticateList() const { return wwwAuthenticate; }

bool HttpResponse::hasPersistentAuth() const { return persistentAuthSet; }
bool HttpResponse::getPersistentAuth() const { return persistentAuth; }
void HttpResponse::setPersistentAuth(bool value) {
  persistentAuthSet = true;
  persistentAuth = value;
}

bool HttpResponse::hasVary() const { return !vary.empty(); }
const std::string& HttpResponse::getVary() const { return vary; }
void HttpResponse::setVary(std::string&& value) { vary = std::move(value); }

bool HttpResponse::hasContentDisposition() const { return !contentDisposition.empty(); }
const std::string& HttpResponse::getContentDisposition() const { return contentDisposition; }
void HttpResponse::setContentDisposition(std::string&& value, bool parse) {
  if (parse) parsedContentDisposition.parseContentDisposition(value, getLogPrefix());
  contentDisposition = std::move(value);
}
const ContentDisposition& HttpResponse::getParsedContentDisposition() const { return parsedContentDisposition; }

bool HttpResponse::isChunked() const {
  std::string_view encodings = getTransferEncoding();
  if (encodings.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = encodings.find(',', start);
    std::string_view element = encodings.substr(start, end == std::string_view::npos ? end : end - start);
    if (equalsIgnoreCase(element, "chunked")) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

void HttpResponse::setWriteCompletion(transport::IoCallback&& callback) { writeCompletion = std::move(callback); }
transport::IoCallback HttpResponse::getWriteCompletion() const { return writeCompletion; }

const std::string& HttpResponse::getExpires() const { return expires.getText(); }
time_t HttpResponse::getExpiresTime() const { return expires.getTime(); }
bool HttpResponse::hasExpires() const { return expires.has(); }
void HttpResponse::setExpires(std::string&& value) { expires.setText(std::move(value)); }
void HttpResponse::setExpiresTime(time_t value) { expires.setTime(value); }

const std::string& HttpResponse::getLastModified() const { return lastModified.getText(); }
time_t HttpResponse::getLastModifiedTime() const { return lastModified.getTime(); }
bool HttpResponse::hasLastModified() const { return lastModified.has(); }
void HttpResponse::setLastModified(std::string&& value) { lastModified.setText(std::move(value)); }
void HttpResponse::setLastModifiedTime(time_t value) { lastModified.setTime(value); }

#define QUORVEL_HTTP_LIST_FAMILY(Stem, field)                                                               \
  const std::string& HttpResponse::get##Stem() const { return field; }                                   \
  void HttpResponse::set##Stem(std::string&& value) { field = std::move(value); }                        \
  void HttpResponse::add##Stem(const std::string& value) { addToList(field, value); }                    \
  void HttpResponse::set##Stem##List(const std::vector<std::string>& values) { setList(field, values); } \
  bool HttpResponse::has##Stem() const { return !field.empty(); }                                        \
  std::vector<std::string> HttpResponse::get##Stem##List() const { return splitList(field); }

QUORVEL_HTTP_LIST_FAMILY(Allow, allow)
QUORVEL_HTTP_LIST_FAMILY(AccessControlAllowOrigin, accessControlAllowOrigin)
QUORVEL_HTTP_LIST_FAMILY(AccessControlAllowMethods, accessControlAllowMethods)
QUORVEL_HTTP_LIST_FAMILY(AccessControlAllowHeaders, accessControlAllowHeaders)
QUORVEL_HTTP_LIST_FAMILY(AccessControlMaxAge, accessControlMaxAge)
QUORVEL_HTTP_LIST_FAMILY(AccessControlExposeHeaders, accessControlExposeHeaders)
QUORVEL_HTTP_LIST_FAMILY(AcceptCH, acceptCH)
QUORVEL_HTTP_LIST_FAMILY(Link, link)

#undef QUORVEL_HTTP_LIST_FAMILY

#define QUORVEL_HTTP_SINGLE_FIELD(Stem, field)                                    \
  const std::string& HttpResponse::get##Stem() const { return field; }          \
  void HttpResponse::set##Stem(std::string&& value) { field = std::move(value); } \
  bool HttpResponse::has##Stem() const { return !field.empty(); }

QUORVEL_HTTP_SINGLE_FIELD(AccessControlAllowCredentials, accessControlAllowCredentials)
QUORVEL_HTTP_SINGLE_FIELD(SecWebSocketAccept, secWebSocketAccept)
QUORVEL_HTTP_SINGLE_FIELD(Server, server)
QUORVEL_HTTP_SINGLE_FIELD(AcceptRanges, acceptRanges)
QUORVEL_HTTP_SINGLE_FIELD(ETag, etag)
QUORVEL_HTTP_SINGLE_FIELD(ReplayNonce, replayNonce)
QUORVEL_HTTP_SINGLE_FIELD(Location, location)
QUORVEL_HTTP_SINGLE_FIELD(StrictTransportSecurity, strictTransportSecurity)
QUORVEL_HTTP_SINGLE_FIELD(XFrameOptions, xFrameOptions)

#undef QUORVEL_HTTP_SINGLE_FIELD

}  // namespace quorvel::http
