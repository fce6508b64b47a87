// gcc 12 sees out-of-bounds copies in Boost's gzip trailer writer that cannot
// happen (one byte at a time into a growing string). The warning is raised
// after inlining at the standard library's lines, so it is silenced for the
// whole file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include "common/http/HttpGenerator.h"

#include <charconv>
#include <cstdint>
#include <string_view>

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_streambuf.hpp>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {

namespace {

// Buffer of the compression streams; the bodies of this service are small.
constexpr std::streamsize kGzipBufferSize = 4096;
constexpr int kGzipWindowBits = 15;
// Room for an ordinary header block, so it is gathered without regrowing.
constexpr std::size_t kHeadCapacity = 512;

constexpr std::string_view kCrLf = "\r\n";

// The header block is gathered first and handed to the stream in one write:
// every write to a stream costs a sentry and a virtual call.
void writeText(std::string& out, std::string_view text) { out.append(text); }

void writeText(std::ostream& out, std::string_view text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// A CR or LF inside a value would end the line early and let the value forge
// further headers or a body, so they never reach the wire.
void writeValue(std::string& out, std::string_view value) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' || value[i] == '\n') {
      out.append(value.substr(start, i - start));
      start = i + 1;
    }
  }
  out.append(value.substr(start));
}

// The name comes with its ": ".
void writeHeader(std::string& out, std::string_view name, std::string_view value) {
  writeText(out, name);
  writeValue(out, value);
  writeText(out, kCrLf);
}

void writeNumberHeader(std::string& out, std::string_view name, std::uint32_t value) {
  char digits[16];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  writeHeader(out, name, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// "0", "0." or "0.000": the client refuses the coding.
bool isZeroQuality(std::string_view value) {
  if (value.empty() || value.front() != '0') return false;
  value.remove_prefix(1);
  if (value.empty()) return true;
  if (value.front() != '.') return false;
  value.remove_prefix(1);
  return value.find_first_not_of('0') == std::string_view::npos;
}

// The parameters of one Accept-Encoding element (after its coding) hold q=0.
bool refusedByQuality(std::string_view parameters) {
  while (!parameters.empty()) {
    const std::size_t semicolon = parameters.find(';');
    const std::string_view parameter = parameters.substr(0, semicolon);
    parameters = semicolon == std::string_view::npos ? std::string_view() : parameters.substr(semicolon + 1);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = trim(parameter.substr(0, equals));
    if ((name == "q" || name == "Q") && isZeroQuality(trim(parameter.substr(equals + 1)))) return true;
  }
  return false;
}

// The client accepts gzip when one of its codings names gzip ("gzip",
// "x-gzip", written in lower case) with a quality above zero, and the
// "gzip" coding itself is not refused with quality zero.
bool acceptsGzip(const std::string& acceptEncoding) {
  bool accepted = false;
  std::string_view rest = acceptEncoding;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view element = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const std::size_t semicolon = element.find(';');
    const std::string_view coding = trim(element.substr(0, semicolon));
    if (coding.find("gzip") == std::string_view::npos) continue;
    const bool refused = semicolon != std::string_view::npos && refusedByQuality(element.substr(semicolon + 1));
    if (refused && coding == "gzip") return false;
    accepted = accepted || !refused;
  }
  return accepted;
}

// Collects the output of the compression streams.
class StringSink {
 public:
  using char_type = char;
  using category = boost::iostreams::sink_tag;
  explicit StringSink(std::string& target) : target(&target) {}
  std::streamsize write(const char* data, std::streamsize size) {
    target->append(data, static_cast<std::size_t>(size));
    return size;
  }

 private:
  std::string* target;
};

// Such responses end at the empty line; body bytes after it would be read as
// the start of the next response on a kept-alive connection.
bool carriesNoBody(const HttpRequest& request, const HttpResponse& response) {
  const auto code = static_cast<std::uint16_t>(response.getStatusCode());
  return request.getMethod() == "HEAD" || (code >= 100 && code < 200) ||
         response.getStatusCode() == StatusCode::NoContent || response.getStatusCode() == StatusCode::NotModified;
}

}  // namespace

HttpGenerator::~HttpGenerator() = default;

namespace {

std::string responseHeaderText(const HttpResponse& response, bool gzipEncoded) {
  std::string head;
  head.reserve(kHeadCapacity);
  writeText(head, "HTTP/");
  writeValue(head, response.getHttpVersion());
  writeText(head, " ");
  writeText(head, response.getStatusText());
  writeText(head, kCrLf);

  if (response.hasServer()) writeHeader(head, "Server: ", response.getServer());
  if (!response.getContentType().empty()) {
    writeText(head, "Content-Type: ");
    writeValue(head, response.getContentType());
    if (!response.getCharset().empty()) {
      writeText(head, ";charset=");
      writeValue(head, response.getCharset());
    }
    writeText(head, kCrLf);
  }
  if (response.hasTransferEncoding()) writeHeader(head, "Transfer-Encoding: ", response.getTransferEncoding());
  if (response.getSendContentLength() && !response.isChunked()) {
    writeNumberHeader(head, "Content-Length: ", response.getContentLength());
  }
  for (const std::string& entry : response.getWWWAuthenticateList()) {
    writeHeader(head, "WWW-Authenticate: ", entry);
  }
  if (response.hasLocation()) writeHeader(head, "Location: ", response.getLocation());
  if (response.hasPersistentAuth()) {
    writeHeader(head, "Persistent-Auth: ", response.getPersistentAuth() ? "true" : "false");
  }
  if (response.hasCacheControl()) writeHeader(head, "Cache-Control: ", response.getCacheControl());
  if (response.hasVary()) writeHeader(head, "Vary: ", response.getVary());
  if (response.hasContentDisposition()) {
    writeHeader(head, "Content-Disposition: ", response.getContentDisposition());
  }
  if (gzipEncoded) writeText(head, "Content-Encoding: gzip\r\n");
  if (response.hasUpgrade()) writeHeader(head, "Upgrade: ", response.getUpgrade());
  if (response.hasConnection()) writeHeader(head, "Connection: ", response.getConnection());
  if (response.hasSecWebSocketAccept()) {
    writeHeader(head, "Sec-WebSocket-Accept: ", response.getSecWebSocketAccept());
  }
  if (response.hasSecWebSocketExtensions()) {
    writeHeader(head, "Sec-WebSocket-Extensions: ", response.getSecWebSocketExtensions());
  }
  if (response.hasSecWebSocketProtocol()) {
    writeHeader(head, "Sec-WebSocket-Protocol: ", response.getSecWebSocketProtocol());
  }
  if (response.hasSecWebSocketVersion()) {
    writeHeader(head, "Sec-WebSocket-Version: ", response.getSecWebSocketVersion());
  }
  if (response.hasAcceptCH()) writeHeader(head, "Accept-CH: ", response.getAcceptCH());
  if (response.hasCookieHeader()) writeHeader(head, "Set-Cookie: ", response.getCookieHeader());
  if (response.hasAllow()) writeHeader(head, "Allow: ", response.getAllow());
  if (response.hasAccessControlAllowOrigin()) {
    writeHeader(head, "Access-Control-Allow-Origin: ", response.getAccessControlAllowOrigin());
  }
  if (response.hasAccessControlAllowCredentials()) {
    writeHeader(head, "Access-Control-Allow-Credentials: ", response.getAccessControlAllowCredentials());
  }
  if (response.hasAccessControlAllowMethods()) {
    writeHeader(head, "Access-Control-Allow-Methods: ", response.getAccessControlAllowMethods());
  }
  if (response.hasAccessControlAllowHeaders()) {
    writeHeader(head, "Access-Control-Allow-Headers: ", response.getAccessControlAllowHeaders());
  }
  if (response.hasAccessControlMaxAge()) {
    writeHeader(head, "Access-Control-Max-Age: ", response.getAccessControlMaxAge());
  }
  if (response.hasAccessControlExposeHeaders()) {
    writeHeader(head, "Access-Control-Expose-Headers: ", response.getAccessControlExposeHeaders());
  }
  if (response.hasDate()) writeHeader(head, "Date: ", response.getDate());
  if (response.hasExpires()) writeHeader(head, "Expires: ", response.getExpires());
  if (response.hasLastModified()) writeHeader(head, "Last-Modified: ", response.getLastModified());
  if (response.hasAcceptRanges()) writeHeader(head, "Accept-Ranges: ", response.getAcceptRanges());
  if (response.hasETag()) writeHeader(head, "ETag: ", response.getETag());
  if (response.hasLink()) writeHeader(head, "Link: ", response.getLink());
  if (response.hasReplayNonce()) writeHeader(head, "Replay-Nonce: ", response.getReplayNonce());
  if (response.hasStrictTransportSecurity()) {
    writeHeader(head, "Strict-Transport-Security: ", response.getStrictTransportSecurity());
  }
  if (response.hasXFrameOptions()) writeHeader(head, "X-Frame-Options: ", response.getXFrameOptions());
  if (response.hasXForwardedFor()) writeHeader(head, "X-Forwarded-For: ", response.getXForwardedFor());
  writeText(head, kCrLf);
  return head;
}

}  // namespace

bool HttpGenerator::generateResponse(const HttpRequest& request, HttpResponse& response, std::ostream& output) {
  bool withBody = false;
  writeText(output, generateResponseHead(request, response, withBody));
  if (withBody) writeText(output, response.getBody());
  return true;
}

std::string HttpGenerator::generateResponseHead(const HttpRequest& request, HttpResponse& response, bool& withBody) {
  bool gzipEncoded = false;
  if (response.getBody().empty()) {
    // Nothing to compress, and an empty body is no gzip data to inflate.
    if (response.isBodyCompressed()) response.setBody(std::string(), false, false);
  } else if (response.isCompressionAllowed() && acceptsGzip(request.getAcceptEncoding())) {
    // Flagged as what it now is, so that writing it again cannot send gzip
    // bytes as plain text.
    if (!response.isBodyCompressed()) response.setBody(gzipCompress(response.getBody()), true, true);
    gzipEncoded = true;
  } else if (response.isBodyCompressed()) {
    response.setBody(gzipDecompress(response.getBody()), false, false);
  }
  withBody = !carriesNoBody(request, response);
  return responseHeaderText(response, gzipEncoded);
}

bool HttpGenerator::generateResponseHeader(const HttpResponse& response, bool gzipEncoded, std::ostream& output) {
  writeText(output, responseHeaderText(response, gzipEncoded));
  return true;
}

bool HttpGenerator::generateRequestHeader(const HttpRequest& request, std::ostream& output) {
  std::string head;
  head.reserve(kHeadCapacity);
  writeValue(head, request.getMethod());
  writeText(head, " ");
  writeValue(head, request.getPath());
  writeText(head, " HTTP/");
  writeValue(head, request.getHttpVersion());
  writeText(head, kCrLf);

  if (request.hasTransferEncoding()) writeHeader(head, "Transfer-Encoding: ", request.getTransferEncoding());
  if (request.hasHost()) writeHeader(head, "Host: ", request.getHost());
  if (request.hasUserAgent()) writeHeader(head, "User-Agent: ", request.getUserAgent());
  if (request.hasContentType()) writeHeader(head, "Content-Type: ", request.getContentType());
  if (request.hasAccept()) writeHeader(head, "Accept: ", request.getAccept());
  if (request.hasPragma()) writeHeader(head, "Pragma: ", request.getPragma());
  if (request.hasCacheControl()) writeHeader(head, "Cache-Control: ", request.getCacheControl());
  if (!request.getAuthorization().empty()) writeHeader(head, "Authorization: ", request.getAuthorization());
  if (request.hasDate()) writeHeader(head, "Date: ", request.getDate());
  if (request.hasCookieHeader()) writeHeader(head, "Cookie: ", request.getCookieHeader());
  if (request.getSendContentLength()) writeNumberHeader(head, "Content-Length: ", request.getContentLength());
  writeText(head, kCrLf);
  writeText(output, head);

  if (request.getContentLength() != 0) writeText(output, request.getBody());
  return true;
}

std::string HttpGenerator::gzipCompress(const std::string& data) {
  namespace io = boost::iostreams;
  std::string compressed;
  io::filtering_streambuf<io::input> input;
  input.push(io::gzip_compressor(io::gzip_params(), kGzipBufferSize), kGzipBufferSize);
  input.push(io::array_source(data.data(), data.size()), kGzipBufferSize);
  io::copy(input, StringSink(compressed), kGzipBufferSize);
  return compressed;
}

std::string HttpGenerator::gzipDecompress(const std::string& data) {
  namespace io = boost::iostreams;
  std::string plain;
  io::filtering_streambuf<io::input> input;
  input.push(io::gzip_decompressor(kGzipWindowBits, kGzipBufferSize), kGzipBufferSize);
  input.push(io::array_source(data.data(), data.size()), kGzipBufferSize);
  io::copy(input, StringSink(plain), kGzipBufferSize);
  return plain;
}

}  // namespace quorvel::http
