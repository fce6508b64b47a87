#include "common/http/HttpParser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <streambuf>
#include <string_view>

#include <boost/regex.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/http/HttpParsingException.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "common/utils/LogText.h"

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

// Control bytes are refused before a line is taken apart, so the only
// blanks left are these.
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return {text.data() + begin, end - begin};
}

// Header names are tokens: letters, digits and these marks.
constexpr std::array<bool, 256> kTokenByte = [] {
  std::array<bool, 256> table{};
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
  for (char c = 'a'; c <= 'z'; ++c) {
    table[static_cast<unsigned char>(c)] = true;
    table[static_cast<unsigned char>(c - 'a' + 'A')] = true;
  }
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// The first byte at or after pos that lies below Bound or is DEL. Nearly
// all bytes are neither, so sixteen at a time are compared while that many
// remain (the compiler's vector types, plain SSE2 on x86-64).
template <unsigned char Bound>
std::size_t findBelow(std::string_view text, std::size_t pos) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  static_assert(std::endian::native == std::endian::little, "the first hit is the lowest byte");
  for (; pos + sizeof(Bytes) <= text.size(); pos += sizeof(Bytes)) {
    Bytes bytes;
    std::memcpy(&bytes, text.data() + pos, sizeof bytes);
    const auto hits = (bytes < Bound) | (bytes == 0x7f);
    std::uint64_t halves[2];
    std::memcpy(halves, &hits, sizeof halves);
    if (halves[0] != 0) return pos + static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
    if (halves[1] != 0) return pos + 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
  }
  for (; pos < text.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < Bound || byte == 0x7f) break;
  }
  return pos;
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
  while (pos < line.size() && !isBlank(line[pos])) ++pos;
  const std::string_view method = line.substr(0, pos);
  if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end()) return false;

  while (pos < line.size() && isBlank(line[pos])) ++pos;
  const std::size_t targetBegin = pos;
  pos = findBelow<'!'>(line, pos);
  const std::string_view token = line.substr(targetBegin, pos - targetBegin);
  if (token.empty()) return false;

  const std::size_t blanksBegin = pos;
  while (pos < line.size() && isBlank(line[pos])) ++pos;
  constexpr std::string_view kVersionPrefix = "HTTP/";
  if (pos == blanksBegin || line.substr(pos, kVersionPrefix.size()) != kVersionPrefix) return false;

  out.version = line.substr(pos + kVersionPrefix.size());
  // A tab is let pass in header values only.
  if (out.version.find('\t') != std::string_view::npos || !splitTarget(token, out)) return false;
  out.method = method;
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

// Digits only: a sign, a blank or a trailing letter is a length another
// reader could take differently. What does not fit 32 bits is refused too.
std::uint32_t toContentLength(const HttpHeader& header, std::string_view value) {
  std::uint64_t number = 0;
  bool valid = !value.empty();
  for (std::size_t i = 0; valid && i < value.size(); ++i) {
    valid = value[i] >= '0' && value[i] <= '9';
    number = number * 10 + static_cast<std::uint64_t>(value[i] - '0');
    valid = valid && number <= UINT32_MAX;
  }
  if (!valid) {
    NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, header.getLogPrefix(), "cannot convert content length to an uint32_t!");
    throw HttpParsingException(kInvalidRequest, __FILE__, "parseHeader", __LINE__, 0);
  }
  return static_cast<std::uint32_t>(number);
}

// A list header's first element becomes the field as it is, without the
// copy that appending it would make.
template <bool (HttpHeader::*has)() const, void (HttpHeader::*set)(std::string&&),
          void (HttpHeader::*add)(const std::string&)>
void appendTo(HttpHeader& header, std::string&& value) {
  if ((header.*has)()) {
    (header.*add)(value);
  } else {
    (header.*set)(std::move(value));
  }
}

template <typename Record>
struct HeaderEntry {
  std::string_view name;
  void (*store)(Record&, std::string&&);
  // The two headers that say where a message's body ends.
  enum Framing { None, Length, Encoding } framing = None;
};

// Length and three characters tell the known names apart well enough, and
// cost far less than hashing every character. Known names hold only
// lower-case letters and '-'; in a token, setting the 0x20 bit turns exactly
// the upper-case letters into lower case (no other token byte becomes a
// letter or '-'). So a received name is hashed and compared with that bit
// set, eight bytes at a time, without a lower-case copy.
constexpr std::uint32_t hashName(std::string_view name) {
  const auto size = static_cast<std::uint32_t>(name.size());
  if (size == 0) return 0;
  const auto at = [&](std::size_t i) { return std::uint32_t{static_cast<unsigned char>(name[i])} | 0x20u; };
  std::uint32_t hash =
      size * 0x9E3779B1u + at(0) * 0x85EBCA77u + at(size - 1) * 0xC2B2AE3Du + at(size / 2) * 0x27D4EB2Fu;
  return hash ^ (hash >> 15);
}

std::uint64_t load8(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The sizes are equal; the last word overlaps the one before it.
bool equalsFolded(std::string_view token, std::string_view known) {
  constexpr std::uint64_t kFold = 0x2020202020202020u;
  const std::size_t size = known.size();
  if (size < 8) {
    for (std::size_t i = 0; i < size; ++i) {
      if ((token[i] | 0x20) != known[i]) return false;
    }
    return true;
  }
  for (std::size_t i = 0;; i += 8) {
    const std::size_t at = std::min(i, size - 8);
    if ((load8(token.data() + at) | kFold) != load8(known.data() + at)) return false;
    if (at == size - 8) return true;
  }
}

// Open-addressing table over one header list, built at compile time, so a
// header line costs one hash and usually one comparison.
template <typename Record, std::size_t N>
class HeaderIndex {
 public:
  constexpr explicit HeaderIndex(const HeaderEntry<Record> (&table)[N]) : entries(table) {
    slots.fill(kEmpty);
    for (std::size_t i = 0; i < N; ++i) {
      if (table[i].name.size() > kMaxKnownNameLength) throw "header name longer than kMaxKnownNameLength";
      std::size_t slot = hashName(table[i].name) & kMask;
      while (slots[slot] != kEmpty) slot = (slot + 1) & kMask;
      slots[slot] = static_cast<std::uint8_t>(i);
    }
  }

  // The name in lower case.
  const HeaderEntry<Record>* find(std::string_view name) const {
    for (std::size_t slot = hashName(name) & kMask; slots[slot] != kEmpty; slot = (slot + 1) & kMask) {
      if (entries[slots[slot]].name == name) return &entries[slots[slot]];
    }
    return nullptr;
  }
  // A token as received, in any case.
  const HeaderEntry<Record>* findToken(std::string_view name, std::uint32_t hash) const {
    for (std::size_t slot = hash & kMask; slots[slot] != kEmpty; slot = (slot + 1) & kMask) {
      const auto& entry = entries[slots[slot]];
      if (entry.name.size() == name.size() && equalsFolded(name, entry.name)) return &entry;
    }
    return nullptr;
  }

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
    {"accept", appendTo<&HttpHeader::hasAccept, &HttpHeader::setAccept, &HttpHeader::addAccept>},
    {"accept-encoding", appendTo<&HttpHeader::hasAcceptEncoding, &HttpHeader::setAcceptEncoding,
                                 &HttpHeader::addAcceptEncoding>},
    {"accept-language", appendTo<&HttpHeader::hasAcceptLanguage, &HttpHeader::setAcceptLanguage,
                                 &HttpHeader::addAcceptLanguage>},
    {"authorization", [](HttpHeader& h, std::string&& v) { h.setAuthorization(std::move(v)); }},
    {"cache-control", appendTo<&HttpHeader::hasCacheControl, &HttpHeader::setCacheControl,
                               &HttpHeader::addCacheControl>},
    {"connection", appendTo<&HttpHeader::hasConnection, &HttpHeader::setConnection, &HttpHeader::addConnection>},
    {"content-length", [](HttpHeader& h, std::string&& v) { h.setContentLength(toContentLength(h, v)); },
     HeaderEntry<HttpHeader>::Length},
    {"content-type", [](HttpHeader& h, std::string&& v) { h.setContentType(std::move(v)); }},
    {"cookie", [](HttpHeader& h, std::string&& v) { h.setCookieHeader(std::move(v)); }},
    {"date", [](HttpHeader& h, std::string&& v) { h.setDate(std::move(v)); }},
    {"pragma", appendTo<&HttpHeader::hasPragma, &HttpHeader::setPragma, &HttpHeader::addPragma>},
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
    {"transfer-encoding", appendTo<&HttpHeader::hasTransferEncoding, &HttpHeader::setTransferEncoding,
                                   &HttpHeader::addTransferEncoding>,
     HeaderEntry<HttpHeader>::Encoding},
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

// A line of the header block without its "\n". Lines end in CR LF: with a
// bare LF or CR refused, the block ends exactly where a search for
// CR LF CR LF ends it. Only blank lines before the first line are let pass,
// and the input's last line may lack its line end.
enum class LineKind { Skip, Empty, Text, Malformed };

LineKind classifyLine(std::string_view& line, bool terminated, bool firstLine) {
  if (line.empty()) return firstLine || !terminated ? LineKind::Skip : LineKind::Malformed;
  if (terminated) {
    if (line.back() != '\r') return LineKind::Malformed;
    line.remove_suffix(1);
    if (line.empty()) return LineKind::Empty;
  }
  for (std::size_t pos = findBelow<' '>(line, 0); pos != line.size(); pos = findBelow<' '>(line, pos + 1)) {
    if (line[pos] != '\t') return LineKind::Malformed;
  }
  return LineKind::Text;
}

struct HeaderLine {
  std::string_view name;
  std::string_view value;
};

enum class Split { Header, NoColon, Malformed };

// A name is a whole token right before the colon; a line opening with a
// blank continues the previous one, which is no longer allowed.
Split splitHeaderLine(std::string_view line, HeaderLine& out) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return isBlank(line.front()) ? Split::Malformed : Split::NoColon;
  bool token = colon != 0;
  for (std::size_t i = 0; i < colon; ++i) token &= kTokenByte[static_cast<unsigned char>(line[i])];
  if (!token) return Split::Malformed;
  out.name = std::string_view(line.data(), colon);
  out.value = trimBlanks(std::string_view(line.data() + colon + 1, line.size() - colon - 1));
  return Split::Header;
}

void parseRequestLine(HttpRequest& request, std::string_view line) {
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

void parseStatusLine(HttpResponse& response, std::string_view line) {
  boost::cmatch match;
  bool valid = false;
  try {
    valid = boost::regex_match(line.data(), line.data() + line.size(), match, statusLineExpression);
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

// One header block, fed line by line. The record's own headers are looked
// up in its own table first, then in the shared one.
template <typename Record, std::size_t N>
class BlockParser {
 public:
  BlockParser(Record& record, const char* function, void (*parseFirstLine)(Record&, std::string_view),
              const HeaderIndex<Record, N>& ownHeaders, bool traceLinesWithoutColon)
      : record(record), function(function), parseFirstLine(parseFirstLine), ownHeaders(ownHeaders),
        traceLinesWithoutColon(traceLinesWithoutColon),
        // Asked once per block: the level does not change within one request.
        tracing(logger.isEnabledFor(log4cplus::TRACE_LOG_LEVEL)) {}

  // Takes one line without its "\n" (terminated: it had one); true once
  // the block has ended.
  bool take(std::string_view line, bool terminated) {
    switch (classifyLine(line, terminated, firstLine)) {
      case LineKind::Skip:
        return false;
      case LineKind::Empty:
        return takeEmpty();
      case LineKind::Malformed:
        refuse(line);
      case LineKind::Text:
        break;
    }
    return takeText(line);
  }

  bool takeEmpty() const {
    if (firstLine) throw HttpParsingException(kEmptyRequest, __FILE__, function, __LINE__, 0);
    return true;
  }

  // A line already found free of control bytes (tabs aside), without its CR LF.
  bool takeText(std::string_view line) {
    if (firstLine) {
      parseFirstLine(record, line);
      firstLine = false;
      return false;
    }
    HeaderLine header;
    switch (splitHeaderLine(line, header)) {
      case Split::Malformed:
        refuse(line);
      case Split::NoColon:
        if (tracing && traceLinesWithoutColon) {
          LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "split of line : '" << forLog(line) << "' failed!");
        }
        return false;
      case Split::Header:
        break;
    }
    bool handled = false;
    // A name longer than every known one is unknown without a lookup.
    if (header.name.size() <= kMaxKnownNameLength) {
      const std::uint32_t hash = hashName(header.name);
      if (const auto* own = ownHeaders.findToken(header.name, hash)) {
        own->store(record, std::string(header.value));
        handled = true;
      } else if (const auto* shared = sharedHeaders.findToken(header.name, hash)) {
        if (shared->framing == HeaderEntry<HttpHeader>::Length) {
          takeContentLength(header.value, line);
        } else {
          shared->store(record, std::string(header.value));
        }
        // Framed both ways, a request's end depends on who reads it. A blank
        // coding list counts too: the record could not tell it from none.
        if (shared->framing == HeaderEntry<HttpHeader>::Encoding && header.value.empty()) {
          refuse(line);
        }
        if (shared->framing != HeaderEntry<HttpHeader>::None && contentLength && record.hasTransferEncoding()) {
          refuse(line);
        }
        handled = true;
      }
    }
    if (tracing) {
      if (handled) {
        LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "http header: '" << forLog(line) << "'");
      } else {
        LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "not handled http header: '" << forLog(line) << "'");
      }
    }
    return false;
  }

 private:
  [[noreturn]] void refuse(std::string_view line) const {
    LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "Refused malformed line: '" << forLog(line) << "'");
    throw HttpParsingException(kInvalidRequest, __FILE__, function, __LINE__, 0);
  }

  // Repeated, it must repeat the same number.
  void takeContentLength(std::string_view value, std::string_view line) {
    const std::uint32_t length = toContentLength(record, value);
    if (contentLength && *contentLength != length) refuse(line);
    contentLength = length;
    record.setContentLength(length);
  }

  Record& record;
  const char* function;
  void (*parseFirstLine)(Record&, std::string_view);
  const HeaderIndex<Record, N>& ownHeaders;
  bool traceLinesWithoutColon;
  bool tracing;
  bool firstLine = true;
  std::optional<std::uint32_t> contentLength;
};

// The position of the CR ending a line at pos that holds no control byte
// but tabs; npos for any other line, or one not complete in bytes.
std::size_t endOfPlainLine(std::string_view bytes, std::size_t pos) {
  for (;; ++pos) {
    pos = findBelow<' '>(bytes, pos);
    if (pos + 1 >= bytes.size()) return std::string_view::npos;
    if (bytes[pos] != '\t') return bytes[pos] == '\r' && bytes[pos + 1] == '\n' ? pos : std::string_view::npos;
  }
}

// Takes the lines that lie complete in bytes from position on, moving
// position past each before it is taken; true once the block has ended.
// Plain lines are found in one pass; others are looked at more closely.
template <typename Parser>
bool takeCompleteLines(Parser& parser, std::string_view bytes, std::size_t& position) {
  while (position < bytes.size()) {
    const std::size_t cr = endOfPlainLine(bytes, position);
    const std::size_t begin = position;
    bool ended = false;
    if (cr != std::string_view::npos) {
      position = cr + 2;
      ended = cr == begin ? parser.takeEmpty() : parser.takeText({bytes.data() + begin, cr - begin});
    } else {
      const void* newline = std::memchr(bytes.data() + begin, '\n', bytes.size() - begin);
      if (newline == nullptr) return false;
      const auto end = static_cast<std::size_t>(static_cast<const char*>(newline) - bytes.data());
      position = end + 1;
      ended = parser.take({bytes.data() + begin, end - begin}, true);
    }
    if (ended) return true;
  }
  return false;
}

// The get area of a stream buffer is protected; naming its members through
// a derived class is the language's own way to reach them from outside.
struct GetArea : std::streambuf {
  static std::string_view bytes(std::streambuf& buffer) {
    const char* begin = (buffer.*&GetArea::gptr)();
    return {begin, static_cast<std::size_t>((buffer.*&GetArea::egptr)() - begin)};
  }
  static void consume(std::streambuf& buffer, std::size_t count) {
    constexpr std::size_t kStep = std::numeric_limits<int>::max();
    for (; count > kStep; count -= kStep) (buffer.*&GetArea::gbump)(static_cast<int>(kStep));
    (buffer.*&GetArea::gbump)(static_cast<int>(count));
  }
};

// Reads lines as getline would, leaving the stream just past the block. The
// lines already in the stream buffer are parsed where they lie; the rest
// goes through getline, which can refill it.
template <typename Parser>
void parseLines(Parser& parser, std::istream& input) {
  std::streambuf* buffer = input.rdbuf();
  // With a tied stream getline would flush it first; keep that to getline.
  if (buffer != nullptr && input.good() && input.tie() == nullptr) {
    std::size_t position = 0;
    bool ended = false;
    try {
      ended = takeCompleteLines(parser, GetArea::bytes(*buffer), position);
    } catch (...) {
      // A refusal leaves the stream where getline would.
      GetArea::consume(*buffer, position);
      throw;
    }
    GetArea::consume(*buffer, position);
    if (ended) return;
  }
  std::string line;
  while (std::getline(input, line)) {
    if (parser.take(line, !input.eof())) return;
  }
}

// The same lines from bytes in memory; a last line without "\n" counts, as
// it does at the end of a stream. Returns how many bytes the block took.
template <typename Parser>
std::size_t parseLines(Parser& parser, std::string_view bytes) {
  std::size_t position = 0;
  if (!takeCompleteLines(parser, bytes, position) && position < bytes.size()) {
    parser.take(bytes.substr(position), false);
    position = bytes.size();
  }
  return position;
}

}  // namespace

HttpParser::~HttpParser() = default;

void HttpParser::parseRequestHeaders(HttpRequest& request, std::istream& input) {
  BlockParser parser(request, "parseRequestHeaders", parseRequestLine, requestOnlyHeaders, false);
  parseLines(parser, input);
}

std::size_t HttpParser::parseRequestHeaders(HttpRequest& request, std::string_view bytes) {
  BlockParser parser(request, "parseRequestHeaders", parseRequestLine, requestOnlyHeaders, false);
  return parseLines(parser, bytes);
}

void HttpParser::parseResponseHeaders(HttpResponse& response, std::istream& input) {
  BlockParser parser(response, "parseResponseHeaders", parseStatusLine, responseOnlyHeaders, true);
  parseLines(parser, input);
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
