#include "common/http/HttpParser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <boost/regex.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/http/HttpParsingException.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance("HttpParser");

// Header lines are logged only this far, so one huge line cannot flood the log.
constexpr std::size_t kLoggedLineLength = 100;
// Longer than every known header name; a longer name is unknown without a lookup.
constexpr std::size_t kMaxKnownNameLength = 40;

const char* const kInvalidRequest = "Invalid HTTP request";
const char* const kEmptyRequest = "Invalid (empty) HTTP request";

// Absolute-form targets are taken apart by this expression; only the path is kept.
const char* const kUrlBegin = "^";
const char* const kUrlScheme = "((http[s]?)://)?";
const char* const kUrlUserInfo = "(([^@/:\\s]+)@)?";
const char* const kUrlHost = "([^@/:\\s]+)";
const char* const kUrlPort = "(:([0-9]{1,5}))?";
const char* const kUrlPath = "(/[^:#?\\s]*)?";
const char* const kUrlQuery = "(\\?(([^?;&#=]+=[^?;&#=]+)([;|&]([^?;&#=]+=[^?;&#=]+))*))?";
const char* const kUrlFragment = "(#([^#\\s]*))?";
const char* const kUrlEnd = "$";
constexpr int kUrlPathGroup = 8;

const boost::regex urlExpression(std::string(kUrlBegin) + kUrlScheme + kUrlUserInfo + kUrlHost + kUrlPort +
                                 kUrlPath + kUrlQuery + kUrlFragment + kUrlEnd);
const boost::regex statusLineExpression("HTTP\\/([^ ]*)\\s([^ ]*)\\s(.*)");

constexpr std::array<std::string_view, 10> kMethods = {
    "OPTIONS",      "POST",        "GET",          "HEAD",       "PUT", "DELETE",
    "RPC_OUT_DATA", "RPC_IN_DATA", "RDG_OUT_DATA", "RDG_IN_DATA"};

// White space as the C locale and the regular expressions see it.
constexpr bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view forLog(std::string_view line) { return line.substr(0, kLoggedLineLength); }

struct RequestLine {
  std::string_view method;
  std::string_view target;  // without the query
  std::string_view query;   // empty or starting with "?" (or "&")
  std::string_view version;
};

// The query of a target is the longest tail that is a run of "?"- or
// "&"-led parts, each with at least one character and no "&" of its own,
// while the part before it keeps at least one character and no "?".
// Found right to left in one pass, so a hostile line costs linear time.
bool splitTarget(std::string_view token, RequestLine& out) {
  const std::size_t size = token.size();
  std::size_t firstQuestion = token.find('?');
  if (firstQuestion == std::string_view::npos) {
    out.target = token;
    out.query = {};
    return true;
  }
  if (firstQuestion == 0 || token.back() == '&') return false;

  bool doubleAmpersand = false;
  for (std::size_t i = firstQuestion + 1; i < size; ++i) {
    if (token[i] == '&' && token[i - 1] == '&') {
      doubleAmpersand = true;
      break;
    }
  }
  for (std::size_t k = firstQuestion; k >= 1; --k) {
    if (k + 1 < size && token[k] == '&' && token[k + 1] == '&') doubleAmpersand = true;
    // Every earlier split point would contain the same "&&" or trailing "&".
    if (doubleAmpersand) return false;
    if ((token[k] == '?' || token[k] == '&') && k + 1 < size && token[k + 1] != '&') {
      out.target = token.substr(0, k);
      out.query = token.substr(k);
      return true;
    }
  }
  return false;
}

// Method, blanks, target, blanks, "HTTP/" and whatever follows as the version.
bool splitRequestLine(std::string_view line, RequestLine& out) {
  std::size_t pos = 0;
  while (pos < line.size() && !isSpace(line[pos])) ++pos;
  const std::string_view method = line.substr(0, pos);
  if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end()) return false;

  while (pos < line.size() && isSpace(line[pos])) ++pos;
  const std::size_t targetBegin = pos;
  while (pos < line.size() && !isSpace(line[pos])) ++pos;
  const std::string_view token = line.substr(targetBegin, pos - targetBegin);
  if (token.empty()) return false;

  const std::size_t blanksBegin = pos;
  while (pos < line.size() && isSpace(line[pos])) ++pos;
  constexpr std::string_view kVersionPrefix = "HTTP/";
  if (pos == blanksBegin || line.substr(pos, kVersionPrefix.size()) != kVersionPrefix) return false;

  if (!splitTarget(token, out)) return false;
  out.method = method;
  out.version = line.substr(pos + kVersionPrefix.size());
  return true;
}

std::string pathOfTarget(std::string_view target) {
  // The expression needs a host before any "/", so an origin-form target
  // never matches it and is the path as it stands.
  if (target.empty() || target.front() == '/') return std::string(target);
  boost::cmatch match;
  if (boost::regex_match(target.data(), target.data() + target.size(), match, urlExpression)) {
    return match[kUrlPathGroup].matched ? match[kUrlPathGroup].str() : std::string();
  }
  return std::string(target);
}

std::uint32_t toContentLength(const HttpHeader& header, const std::string& value) {
  // Read the way strtoul reads base 10, but refuse what does not fit 32 bits.
  const char* p = value.c_str();
  while (isSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  bool valid = *p >= '0' && *p <= '9';
  std::uint64_t number = 0;
  for (; valid && *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<std::uint64_t>(*p - '0');
    if (number > UINT32_MAX) valid = false;
  }
  if (!valid || (negative && number != 0)) {
    LOG4CPLUS_ERROR(logger, header.getLogPrefix() << "cannot convert content length to an uint32_t!");
    throw HttpParsingException(kInvalidRequest, __FILE__, "parseHeader", __LINE__, 0);
  }
  return static_cast<std::uint32_t>(number);
}

template <typename Record>
struct HeaderEntry {
  std::string_view name;
  void (*store)(Record&, std::string&&);
};

// Length and three characters tell the known names apart well enough, and
// cost far less than hashing every character.
constexpr std::uint32_t hashName(std::string_view name) {
  const auto size = static_cast<std::uint32_t>(name.size());
  if (size == 0) return 0;
  const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])); };
  std::uint32_t hash =
      size * 0x9E3779B1u + at(0) * 0x85EBCA77u + at(size - 1) * 0xC2B2AE3Du + at(size / 2) * 0x27D4EB2Fu;
  return hash ^ (hash >> 15);
}

// Open-addressing table over one header list, built at compile time, so a
// header line costs one hash and usually one comparison.
template <typename Record, std::size_t N>
class HeaderIndex {
 public:
  constexpr explicit HeaderIndex(const HeaderEntry<Record> (&table)[N]) : entries(table) {
    slots.fill(kEmpty);
    for (std::size_t i = 0; i < N; ++i) {
      std::size_t slot = hashName(table[i].name) & kMask;
      while (slots[slot] != kEmpty) slot = (slot + 1) & kMask;
      slots[slot] = static_cast<std::uint8_t>(i);
    }
  }

  const HeaderEntry<Record>* find(std::string_view name, std::uint32_t hash) const {
    for (std::size_t slot = hash & kMask; slots[slot] != kEmpty; slot = (slot + 1) & kMask) {
      if (entries[slots[slot]].name == name) return &entries[slots[slot]];
    }
    return nullptr;
  }
  const HeaderEntry<Record>* find(std::string_view name) const { return find(name, hashName(name)); }

 private:
  // At most a third full, so a miss ends at an empty slot quickly.
  static constexpr std::size_t kSlots = std::bit_ceil(3 * N);
  static constexpr std::size_t kMask = kSlots - 1;
  static constexpr std::uint8_t kEmpty = 0xff;
  static_assert(N < kEmpty);

  const HeaderEntry<Record>* entries;
  std::array<std::uint8_t, kSlots> slots{};
};

constexpr HeaderEntry<HttpRequest> kRequestOnlyHeaders[] = {
    {"access-control-request-headers",
     [](HttpRequest& r, std::string&& v) { r.setAccessControlRequestHeaders(std::move(v)); }},
    {"access-control-request-method",
     [](HttpRequest& r, std::string&& v) { r.setAccessControlRequestMethod(std::move(v)); }},
    {"host", [](HttpRequest& r, std::string&& v) { r.setHost(std::move(v)); }},
    {"if-modified-since", [](HttpRequest& r, std::string&& v) { r.setIfModifiedSince(std::move(v)); }},
    {"if-none-match", [](HttpRequest& r, std::string&& v) { r.setIfNoneMatch(std::move(v)); }},
    {"origin", [](HttpRequest& r, std::string&& v) { r.setOrigin(std::move(v)); }},
    {"referer", [](HttpRequest& r, std::string&& v) { r.setReferer(std::move(v)); }},
    {"sec-ch-ua", [](HttpRequest& r, std::string&& v) { r.setSecChUa(std::move(v)); }},
    {"sec-ch-ua-arch", [](HttpRequest& r, std::string&& v) { r.setSecChUaArch(std::move(v)); }},
    {"sec-ch-ua-bitness", [](HttpRequest& r, std::string&& v) { r.setSecChUaBitness(std::move(v)); }},
    {"sec-ch-ua-full-version", [](HttpRequest& r, std::string&& v) { r.setSecChUaFullVersion(std::move(v)); }},
    {"sec-ch-ua-mobile", [](HttpRequest& r, std::string&& v) { r.setSecChUaMobile(std::move(v)); }},
    {"sec-ch-ua-model", [](HttpRequest& r, std::string&& v) { r.setSecChUaModel(std::move(v)); }},
    {"sec-ch-ua-platform", [](HttpRequest& r, std::string&& v) { r.setSecChUaPlatform(std::move(v)); }},
    {"sec-ch-ua-platform-version",
     [](HttpRequest& r, std::string&& v) { r.setSecChUaPlatformVersion(std::move(v)); }},
    {"user-agent", [](HttpRequest& r, std::string&& v) { r.setUserAgent(std::move(v)); }},
};
constexpr HeaderIndex requestOnlyHeaders(kRequestOnlyHeaders);

constexpr HeaderEntry<HttpHeader> kSharedHeaders[] = {
    {"accept", [](HttpHeader& h, std::string&& v) { h.addAccept(v); }},
    {"accept-encoding", [](HttpHeader& h, std::string&& v) { h.addAcceptEncoding(v); }},
    {"accept-language", [](HttpHeader& h, std::string&& v) { h.addAcceptLanguage(v); }},
    {"authorization", [](HttpHeader& h, std::string&& v) { h.setAuthorization(std::move(v)); }},
    {"cache-control", [](HttpHeader& h, std::string&& v) { h.addCacheControl(v); }},
    {"connection", [](HttpHeader& h, std::string&& v) { h.addConnection(v); }},
    {"content-length", [](HttpHeader& h, std::string&& v) { h.setContentLength(toContentLength(h, v)); }},
    {"content-type", [](HttpHeader& h, std::string&& v) { h.setContentType(std::move(v)); }},
    {"cookie", [](HttpHeader& h, std::string&& v) { h.setCookieHeader(std::move(v)); }},
    {"date", [](HttpHeader& h, std::string&& v) { h.setDate(std::move(v)); }},
    {"pragma", [](HttpHeader& h, std::string&& v) { h.addPragma(v); }},
    {"rdg-connection-id", [](HttpHeader& h, std::string&& v) { h.setRdgConnectionId(std::move(v)); }},
    {"rdg-correlation-id", [](HttpHeader& h, std::string&& v) { h.setRdgCorrelationId(std::move(v)); }},
    {"rdg-user-id", [](HttpHeader& h, std::string&& v) { h.setRdgUserId(std::move(v)); }},
    {"sec-fetch-dest", [](HttpHeader& h, std::string&& v) { h.setSecFetchDest(std::move(v)); }},
    {"sec-fetch-mode", [](HttpHeader& h, std::string&& v) { h.setSecFetchMode(std::move(v)); }},
    {"sec-fetch-site", [](HttpHeader& h, std::string&& v) { h.setSecFetchSite(std::move(v)); }},
    {"sec-fetch-user", [](HttpHeader& h, std::string&& v) { h.setSecFetchUser(std::move(v)); }},
    {"sec-websocket-key", [](HttpHeader& h, std::string&& v) { h.setSecWebSocketKey(std::move(v)); }},
    {"sec-websocket-protocol", [](HttpHeader& h, std::string&& v) { h.setSecWebSocketProtocol(std::move(v)); }},
    {"sec-websocket-version", [](HttpHeader& h, std::string&& v) { h.setSecWebSocketVersion(std::move(v)); }},
    {"transfer-encoding", [](HttpHeader& h, std::string&& v) { h.addTransferEncoding(v); }},
    {"upgrade", [](HttpHeader& h, std::string&& v) { h.setUpgrade(std::move(v)); }},
    {"x-forwarded-for", [](HttpHeader& h, std::string&& v) { h.setXForwardedFor(std::move(v)); }},
};
constexpr HeaderIndex sharedHeaders(kSharedHeaders);

constexpr HeaderEntry<HttpResponse> kResponseOnlyHeaders[] = {
    {"accept-ranges", [](HttpResponse& r, std::string&& v) { r.setAcceptRanges(std::move(v)); }},
    {"access-control-allow-credentials",
     [](HttpResponse& r, std::string&& v) { r.setAccessControlAllowCredentials(std::move(v)); }},
    {"access-control-allow-headers",
     [](HttpResponse& r, std::string&& v) { r.setAccessControlAllowHeaders(std::move(v)); }},
    {"access-control-allow-methods",
     [](HttpResponse& r, std::string&& v) { r.setAccessControlAllowMethods(std::move(v)); }},
    {"access-control-allow-origin",
     [](HttpResponse& r, std::string&& v) { r.setAccessControlAllowOrigin(std::move(v)); }},
    {"access-control-expose-headers",
     [](HttpResponse& r, std::string&& v) { r.setAccessControlExposeHeaders(std::move(v)); }},
    {"access-control-max-age", [](HttpResponse& r, std::string&& v) { r.setAccessControlMaxAge(std::move(v)); }},
    {"content-disposition", [](HttpResponse& r, std::string&& v) { r.setContentDisposition(std::move(v), true); }},
    {"etag", [](HttpResponse& r, std::string&& v) { r.setETag(std::move(v)); }},
    {"expires", [](HttpResponse& r, std::string&& v) { r.setExpires(std::move(v)); }},
    {"last-modified", [](HttpResponse& r, std::string&& v) { r.setLastModified(std::move(v)); }},
    {"link", [](HttpResponse& r, std::string&& v) { r.setLink(std::move(v)); }},
    {"location", [](HttpResponse& r, std::string&& v) { r.setLocation(std::move(v)); }},
    {"replay-nonce", [](HttpResponse& r, std::string&& v) { r.setReplayNonce(std::move(v)); }},
    {"sec-websocket-accept", [](HttpResponse& r, std::string&& v) { r.setSecWebSocketAccept(std::move(v)); }},
    {"server", [](HttpResponse& r, std::string&& v) { r.setServer(std::move(v)); }},
    {"strict-transport-security",
     [](HttpResponse& r, std::string&& v) { r.setStrictTransportSecurity(std::move(v)); }},
    {"vary", [](HttpResponse& r, std::string&& v) { r.setVary(std::move(v)); }},
    {"x-frame-options", [](HttpResponse& r, std::string&& v) { r.setXFrameOptions(std::move(v)); }},
};
constexpr HeaderIndex responseOnlyHeaders(kResponseOnlyHeaders);

// A header name in lower case with its hash, held without allocating; names
// too long to be known are left empty.
class LowerName {
 public:
  explicit LowerName(std::string_view name) {
    if (name.size() > kMaxKnownNameLength) return;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const char c = name[i];
      buffer[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    length = name.size();
    hash = hashName(view());
  }
  std::string_view view() const { return {buffer.data(), length}; }
  std::uint32_t getHash() const { return hash; }

 private:
  std::array<char, kMaxKnownNameLength> buffer{};
  std::size_t length = 0;
  std::uint32_t hash = 0;
};

// One line of the header block, read without its "\n"; a text line also
// loses one trailing "\r". A lone "\r" is the empty line that ends the block.
enum class LineKind { End, Skip, Empty, Text };

LineKind readLine(std::istream& input, std::string& line) {
  if (!std::getline(input, line)) return LineKind::End;
  if (line.empty()) return LineKind::Skip;
  if (line.size() == 1 && line[0] == '\r') return LineKind::Empty;
  if (line.back() == '\r') line.pop_back();
  return LineKind::Text;
}

// Each I/O thread keeps its line buffer between requests; one that grew for
// an unusually long line is given back afterwards. A nested parse on the
// same thread (none exists today) would get a buffer of its own.
class LineBuffer {
 public:
  LineBuffer() : borrowed(!spareInUse), line(borrowed ? spare() : own) {
    if (borrowed) spareInUse = true;
  }
  ~LineBuffer() {
    if (!borrowed) return;
    if (line.capacity() > kKeptCapacity) {
      line.clear();
      line.shrink_to_fit();
    }
    spareInUse = false;
  }
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  std::string& get() { return line; }

 private:
  // Room for the lines of ordinary requests without reallocation.
  static constexpr std::size_t kKeptCapacity = 4096;
  static std::string& spare() {
    thread_local std::string buffer;
    return buffer;
  }
  static thread_local bool spareInUse;

  bool borrowed;
  std::string own;
  std::string& line;
};

thread_local bool LineBuffer::spareInUse = false;

struct HeaderLine {
  std::string_view name;
  std::string_view value;
};

bool splitHeaderLine(std::string_view line, HeaderLine& out) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  out.name = trim(line.substr(0, colon));
  out.value = trim(line.substr(colon + 1));
  return true;
}

void parseRequestLine(HttpRequest& request, const std::string& line) {
  RequestLine parts;
  std::string path;
  bool valid = false;
  try {
    valid = splitRequestLine(line, parts);
    if (valid) path = pathOfTarget(parts.target);
  } catch (const std::runtime_error&) {
    // boost::regex_error: the expression gave up on this input.
    valid = false;
  }
  if (!valid) {
    LOG4CPLUS_TRACE(logger, request.getLogPrefix() << "Not a valid HTTP request! Request was: " << line);
    throw HttpParsingException(kInvalidRequest, __FILE__, "parseRequestHeaders", __LINE__, 0);
  }
  LOG4CPLUS_TRACE(logger, request.getLogPrefix() << "Requesting URI: " << path);
  request.setMethod(std::string(parts.method));
  request.setPath(std::move(path));
  request.parseQueryString(std::string(parts.query));
  request.setHttpVersion(std::string(parts.version));
}

void parseStatusLine(HttpResponse& response, const std::string& line) {
  boost::smatch match;
  bool valid = false;
  try {
    valid = boost::regex_match(line, match, statusLineExpression);
  } catch (const std::runtime_error&) {
    valid = false;
  }
  if (!valid) {
    LOG4CPLUS_TRACE(logger, response.getLogPrefix() << "Not a valid HTTP request ? Request was: " << line);
    throw HttpParsingException(kInvalidRequest, __FILE__, "parseResponseHeaders", __LINE__, 0);
  }
  response.setHttpVersion("HTTP/" + match[1].str());
  // Unchecked: a text that is no number gives 0, a larger one is cut to 16 bits.
  const long code = std::strtol(match[2].str().c_str(), nullptr, 10);
  response.setStatusCode(static_cast<StatusCode>(static_cast<std::uint16_t>(code)));
  LOG4CPLUS_TRACE(logger, response.getLogPrefix() << "http header: '" << forLog(line) << "'");
}

// The line loop both sides share. The record's own headers are looked up in
// its own table first, then in the shared one.
template <typename Record, std::size_t N>
void parseBlock(Record& record, std::istream& input, const char* function,
                void (*parseFirstLine)(Record&, const std::string&), const HeaderIndex<Record, N>& ownHeaders,
                bool traceLinesWithoutColon) {
  // Asked once per block: the level does not change within one request.
  const bool tracing = logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL);
  LineBuffer buffer;
  std::string& line = buffer.get();
  bool firstLine = true;
  for (;;) {
    switch (readLine(input, line)) {
      case LineKind::End:
        return;
      case LineKind::Skip:
        continue;
      case LineKind::Empty:
        if (firstLine) throw HttpParsingException(kEmptyRequest, __FILE__, function, __LINE__, 0);
        return;
      case LineKind::Text:
        break;
    }
    if (firstLine) {
      parseFirstLine(record, line);
      firstLine = false;
      continue;
    }
    HeaderLine header;
    if (!splitHeaderLine(line, header)) {
      if (tracing && traceLinesWithoutColon) {
        LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "split of line : '" << forLog(line) << "' failed!");
      }
      continue;
    }
    const LowerName name(header.name);
    bool handled = true;
    if (const auto* own = ownHeaders.find(name.view(), name.getHash())) {
      own->store(record, std::string(header.value));
    } else if (const auto* shared = sharedHeaders.find(name.view(), name.getHash())) {
      shared->store(record, std::string(header.value));
    } else {
      handled = false;
    }
    if (!tracing) continue;
    if (handled) {
      LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "http header: '" << forLog(line) << "'");
    } else {
      LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "not handled http header: '" << forLog(line) << "'");
    }
  }
}

}  // namespace

HttpParser::~HttpParser() = default;

void HttpParser::parseRequestHeaders(HttpRequest& request, std::istream& input) {
  parseBlock(request, input, "parseRequestHeaders", parseRequestLine, requestOnlyHeaders, false);
}

void HttpParser::parseResponseHeaders(HttpResponse& response, std::istream& input) {
  parseBlock(response, input, "parseResponseHeaders", parseStatusLine, responseOnlyHeaders, true);
}

bool HttpParser::parseHeader(HttpHeader& header, const std::string& name, std::string value) {
  const auto* entry = sharedHeaders.find(name);
  if (entry == nullptr) return false;
  entry->store(header, std::move(value));
  return true;
}

bool HttpParser::parseRequestOnlyHeader(HttpRequest& request, const std::string& name, std::string value) {
  const auto* entry = requestOnlyHeaders.find(name);
  if (entry == nullptr) return false;
  entry->store(request, std::move(value));
  return true;
}

bool HttpParser::parseResponseOnlyHeader(HttpResponse& response, const std::string& name, std::string value) {
  const auto* entry = responseOnlyHeaders.find(name);
  if (entry == nullptr) return false;
  entry->store(response, std::move(value));
  return true;
}

}  // namespace quorvel::http
