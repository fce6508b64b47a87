#include "common/http/HttpParser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <streambuf>
#include <string_view>
#include <type_traits>

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
// Nearly every byte tested lies above ' ', so that is asked first.
constexpr bool isSpace(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' && (byte == ' ' || (byte >= '\t' && byte <= '\r'));
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

constexpr std::uint64_t loadBytes(const char* p, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return word;
}
// Little-endian words: at run time one load, at compile time byte by byte.
template <typename Word>
constexpr std::uint64_t loadWord(const char* p) {
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }
  return loadBytes(p, sizeof(Word));
}
constexpr std::uint64_t load8(const char* p) { return loadWord<std::uint64_t>(p); }
constexpr std::uint64_t load4(const char* p) { return loadWord<std::uint32_t>(p); }

// The end of the run of non-blank bytes at pos. Targets are long and almost
// all their bytes lie above ' ', so eight at a time are checked for any that
// does not (the usual test for a byte below a bound); only then byte by byte.
std::size_t endOfToken(std::string_view text, std::size_t pos) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  while (pos + 8 <= text.size()) {
    const std::uint64_t word = load8(text.data() + pos);
    if (((word - kOnes * '!') & ~word & kHighBits) != 0) break;
    pos += 8;
  }
  while (pos < text.size() && !isSpace(text[pos])) ++pos;
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
  while (pos < line.size() && !isSpace(line[pos])) ++pos;
  const std::string_view method = line.substr(0, pos);
  if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end()) return false;

  while (pos < line.size() && isSpace(line[pos])) ++pos;
  const std::size_t targetBegin = pos;
  pos = endOfToken(line, pos);
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
};

// Length and three characters tell the known names apart well enough, and
// cost far less than hashing every character. With the 0x20 bit set a letter
// hashes alike in either case, so a name is found without being copied into
// lower case first; the other bytes it merges only cost a comparison.
constexpr std::uint32_t hashName(std::string_view name) {
  const auto size = static_cast<std::uint32_t>(name.size());
  if (size == 0) return 0;
  const auto at = [&](std::size_t i) { return std::uint32_t{static_cast<unsigned char>(name[i])} | 0x20u; };
  std::uint32_t hash =
      size * 0x9E3779B1u + at(0) * 0x85EBCA77u + at(size - 1) * 0xC2B2AE3Du + at(size / 2) * 0x27D4EB2Fu;
  return hash ^ (hash >> 15);
}

// Whole words from the start, the last one ending with the name (overlapping
// the one before); a name shorter than a word is its first and last four bytes.
constexpr std::size_t wordCount(std::size_t size) { return size >= 8 ? (size + 7) / 8 : 1; }
constexpr std::uint64_t wordOf(const char* p, std::size_t size, std::size_t i) {
  if (size >= 8) return load8(p + std::min(8 * i, size - 8));
  if (size >= 4) return load4(p) | load4(p + size - 4) << 32;
  return loadBytes(p, size);
}

// A known (lower-case) name as words, with the 0x20 bit set in the mask
// wherever it has a letter: or-ing that bit into a received byte turns
// exactly the upper-case form of that letter into it.
struct FoldedName {
  std::array<std::uint64_t, (kMaxKnownNameLength + 7) / 8> word{};
  std::array<std::uint64_t, (kMaxKnownNameLength + 7) / 8> mask{};

  constexpr FoldedName() = default;
  constexpr explicit FoldedName(std::string_view name) {
    std::array<char, kMaxKnownNameLength> letters{};
    for (std::size_t i = 0; i < name.size(); ++i) letters[i] = name[i] >= 'a' && name[i] <= 'z' ? 0x20 : 0;
    for (std::size_t i = 0; i < wordCount(name.size()); ++i) {
      word[i] = wordOf(name.data(), name.size(), i);
      mask[i] = wordOf(letters.data(), name.size(), i);
    }
  }

  // The sizes are known to be equal.
  bool matches(std::string_view name) const {
    for (std::size_t i = 0; i < wordCount(name.size()); ++i) {
      if ((wordOf(name.data(), name.size(), i) | mask[i]) != word[i]) return false;
    }
    return true;
  }
};

// Open-addressing table over one header list, built at compile time, so a
// header line costs one hash and usually one comparison.
template <typename Record, std::size_t N>
class HeaderIndex {
 public:
  constexpr explicit HeaderIndex(const HeaderEntry<Record> (&table)[N]) : entries(table) {
    slots.fill(kEmpty);
    for (std::size_t i = 0; i < N; ++i) {
      if (table[i].name.size() > kMaxKnownNameLength) throw "header name longer than kMaxKnownNameLength";
      folded[i] = FoldedName(table[i].name);
      std::size_t slot = hashName(table[i].name) & kMask;
      while (slots[slot] != kEmpty) slot = (slot + 1) & kMask;
      slots[slot] = static_cast<std::uint8_t>(i);
    }
  }

  // For names as they arrive, in any case.
  const HeaderEntry<Record>* findIgnoringCase(std::string_view name, std::uint32_t hash) const {
    for (std::size_t slot = hash & kMask; slots[slot] != kEmpty; slot = (slot + 1) & kMask) {
      const std::uint8_t index = slots[slot];
      if (entries[index].name.size() == name.size() && folded[index].matches(name)) return &entries[index];
    }
    return nullptr;
  }
  // For names the caller has put in lower case already.
  const HeaderEntry<Record>* find(std::string_view name) const {
    for (std::size_t slot = hashName(name) & kMask; slots[slot] != kEmpty; slot = (slot + 1) & kMask) {
      if (entries[slots[slot]].name == name) return &entries[slots[slot]];
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
  std::array<FoldedName, N> folded{};
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
    {"content-length", [](HttpHeader& h, std::string&& v) { h.setContentLength(toContentLength(h, v)); }},
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
                                   &HttpHeader::addTransferEncoding>},
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

// A line of the header block without its "\n"; a text line also loses one
// trailing "\r". A lone "\r" is the empty line that ends the block.
enum class LineKind { Skip, Empty, Text };

LineKind classifyLine(std::string_view& line) {
  if (line.empty()) return LineKind::Skip;
  if (line.size() == 1 && line[0] == '\r') return LineKind::Empty;
  if (line.back() == '\r') line.remove_suffix(1);
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

  // Takes one line without its "\n"; true once the block has ended.
  bool take(std::string_view line) {
    switch (classifyLine(line)) {
      case LineKind::Skip:
        return false;
      case LineKind::Empty:
        if (firstLine) throw HttpParsingException(kEmptyRequest, __FILE__, function, __LINE__, 0);
        return true;
      case LineKind::Text:
        break;
    }
    if (firstLine) {
      parseFirstLine(record, line);
      firstLine = false;
      return false;
    }
    HeaderLine header;
    if (!splitHeaderLine(line, header)) {
      if (tracing && traceLinesWithoutColon) {
        LOG4CPLUS_TRACE(logger, record.getLogPrefix() << "split of line : '" << forLog(line) << "' failed!");
      }
      return false;
    }
    bool handled = false;
    // A name longer than every known one is unknown without a lookup.
    if (header.name.size() <= kMaxKnownNameLength) {
      const std::uint32_t hash = hashName(header.name);
      if (const auto* own = ownHeaders.findIgnoringCase(header.name, hash)) {
        own->store(record, std::string(header.value));
        handled = true;
      } else if (const auto* shared = sharedHeaders.findIgnoringCase(header.name, hash)) {
        shared->store(record, std::string(header.value));
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
  Record& record;
  const char* function;
  void (*parseFirstLine)(Record&, std::string_view);
  const HeaderIndex<Record, N>& ownHeaders;
  bool traceLinesWithoutColon;
  bool tracing;
  bool firstLine = true;
};

// The get area of a stream buffer is protected; naming its members through
// a derived class is the language's own way to reach them from outside.
struct GetArea : std::streambuf {
  static const char* begin(std::streambuf& buffer) { return (buffer.*&GetArea::gptr)(); }
  static const char* end(std::streambuf& buffer) { return (buffer.*&GetArea::egptr)(); }
  static void consume(std::streambuf& buffer, std::size_t count) {
    constexpr std::size_t kStep = std::numeric_limits<int>::max();
    for (; count > kStep; count -= kStep) (buffer.*&GetArea::gbump)(static_cast<int>(kStep));
    (buffer.*&GetArea::gbump)(static_cast<int>(count));
  }
};

// Reads lines as getline would, leaving the stream just past the block. The
// lines already in the stream buffer are parsed where they lie; only a line
// that is not complete there goes through getline, which can refill it.
template <typename Parser>
void parseLines(Parser& parser, std::istream& input) {
  std::streambuf* buffer = input.rdbuf();
  // With a tied stream getline would flush it first; keep that to getline.
  if (buffer != nullptr && input.good() && input.tie() == nullptr) {
    for (;;) {
      const char* begin = GetArea::begin(*buffer);
      const char* end = GetArea::end(*buffer);
      if (begin == end) break;
      const void* newline = std::memchr(begin, '\n', static_cast<std::size_t>(end - begin));
      if (newline == nullptr) break;
      const auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - begin);
      // Consumed before it is parsed, so a refusal leaves the stream where getline would.
      GetArea::consume(*buffer, length + 1);
      if (parser.take({begin, length})) return;
    }
  }
  LineBuffer lineBuffer;
  std::string& line = lineBuffer.get();
  while (std::getline(input, line)) {
    if (parser.take(line)) return;
  }
}

// The same lines from bytes in memory; a last line without "\n" counts, as
// it does at the end of a stream. Returns how many bytes the block took.
template <typename Parser>
std::size_t parseLines(Parser& parser, std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    const void* newline = std::memchr(bytes.data() + position, '\n', bytes.size() - position);
    const std::size_t end =
        newline == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const char*>(newline) - bytes.data());
    const std::string_view line = bytes.substr(position, end - position);
    position = newline == nullptr ? end : end + 1;
    if (parser.take(line)) break;
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
