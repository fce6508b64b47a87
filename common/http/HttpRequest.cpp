#include "common/http/HttpRequest.h"

#include <string_view>

namespace quorvel::http {

namespace {

const std::string kNoParameter;

}  // namespace

HttpRequest::HttpRequest(AuthInfoPtr authInfo) : HttpHeader(std::move(authInfo), "text/plain", "1.1") {}

HttpRequest::HttpRequest(AuthInfoPtr&& authInfo, std::string&& method, std::string&& path, std::string&& query,
                         std::string&& httpVersion)
    : HttpHeader(std::move(authInfo), std::move(method), std::move(path), std::move(httpVersion)) {
  parseQueryString(std::move(query));
}

void HttpRequest::clear() {
  // Swapping with a temporary frees the storage; clear() alone would keep it.
  std::string().swap(body);
  setContentLength(0);
  HttpHeader::clear();
  userAgent.clear();
  host.clear();
  accessControlRequestMethod.clear();
  accessControlRequestHeaders.clear();
  origin.clear();
  referer.clear();
  ifModifiedSince.clear();
  ifNoneMatch.clear();
}

#define QUORVEL_HTTP_SINGLE_FIELD(Stem, field)                                   \
  const std::string& HttpRequest::get##Stem() const { return field; }          \
  bool HttpRequest::has##Stem() const { return !field.empty(); }               \
  void HttpRequest::set##Stem(std::string&& value) { field = std::move(value); }

QUORVEL_HTTP_SINGLE_FIELD(UserAgent, userAgent)
QUORVEL_HTTP_SINGLE_FIELD(Host, host)
QUORVEL_HTTP_SINGLE_FIELD(Origin, origin)
QUORVEL_HTTP_SINGLE_FIELD(Referer, referer)
QUORVEL_HTTP_SINGLE_FIELD(SecChUa, secChUa)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaMobile, secChUaMobile)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaPlatform, secChUaPlatform)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaPlatformVersion, secChUaPlatformVersion)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaArch, secChUaArch)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaBitness, secChUaBitness)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaModel, secChUaModel)
QUORVEL_HTTP_SINGLE_FIELD(SecChUaFullVersion, secChUaFullVersion)
QUORVEL_HTTP_SINGLE_FIELD(IfNoneMatch, ifNoneMatch)

#undef QUORVEL_HTTP_SINGLE_FIELD

#define QUORVEL_HTTP_LIST_FAMILY(Stem, field)                                                              \
  const std::string& HttpRequest::get##Stem() const { return field; }                                   \
  std::vector<std::string> HttpRequest::get##Stem##List() const { return splitList(field); }            \
  bool HttpRequest::has##Stem() const { return !field.empty(); }                                        \
  void HttpRequest::set##Stem(std::string&& value) { field = std::move(value); }                        \
  void HttpRequest::add##Stem(const std::string& value) { addToList(field, value); }                    \
  void HttpRequest::set##Stem##List(const std::vector<std::string>& values) { setList(field, values); }

QUORVEL_HTTP_LIST_FAMILY(AccessControlRequestMethod, accessControlRequestMethod)
QUORVEL_HTTP_LIST_FAMILY(AccessControlRequestHeaders, accessControlRequestHeaders)

#undef QUORVEL_HTTP_LIST_FAMILY

const std::string& HttpRequest::getIfModifiedSince() const { return ifModifiedSince.getText(); }
time_t HttpRequest::getIfModifiedSinceTime() const { return ifModifiedSince.getTime(); }
bool HttpRequest::hasIfModifiedSince() const { return ifModifiedSince.has(); }
void HttpRequest::setIfModifiedSince(std::string&& value) { ifModifiedSince.setText(std::move(value)); }
void HttpRequest::setIfModifiedSinceTime(time_t value) { ifModifiedSince.setTime(value); }

bool HttpRequest::isCorsPreflight() const {
  return !accessControlRequestMethod.empty() && !accessControlRequestHeaders.empty();
}

const std::string& HttpRequest::getBody() const { return body; }

std::string HttpRequest::takeBody() {
  setContentLength(0);
  std::string taken = std::move(body);
  body.clear();
  return taken;
}

void HttpRequest::setBody(std::string&& newBody) {
  std::uint32_t length = bodyContentLength(newBody.size());
  body = std::move(newBody);
  setContentLength(length);
}

const std::string& HttpRequest::getQueryParameter(const std::string& name) const {
  auto found = queryParameters.find(name);
  return found == queryParameters.end() ? kNoParameter : found->second;
}

void HttpRequest::parseQueryString(std::string&& query) {
  if (query.empty()) return;
  std::string_view rest(query);
  rest.remove_prefix(1);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = rest.find('&', start);
    std::string_view part = rest.substr(start, end == std::string_view::npos ? end : end - start);
    std::size_t equals = part.find('=');
    // Exactly one "=": anything else is not a name=value pair.
    if (equals != std::string_view::npos && part.find('=', equals + 1) == std::string_view::npos) {
      queryParameters.insert_or_assign(std::string(part.substr(0, equals)), std::string(part.substr(equals + 1)));
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

}  // namespace quorvel::http
