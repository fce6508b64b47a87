#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

namespace quorvel::http {

class HttpHeader;
class HttpRequest;
class HttpResponse;

// Turns an HTTP/1.x header block into the fields of a request (or response)
// record. Only known headers are kept; each goes to its own field. Malformed
// input is reported by throwing HttpParsingException.
class HttpParser {
 public:
  virtual ~HttpParser();

  // Reads up to and including the empty line that ends the header block.
  static void parseRequestHeaders(HttpRequest& request, std::istream& input);
  // The same from bytes in memory, without a stream around them; returns how
  // many bytes the block took, so the caller can drop them from its buffer.
  static std::size_t parseRequestHeaders(HttpRequest& request, std::string_view bytes);
  static void parseResponseHeaders(HttpResponse& response, std::istream& input);

  // The name is expected in lower case. Each returns false for a name that
  // is not one of its own.
  static bool parseHeader(HttpHeader& header, const std::string& name, std::string value);
  static bool parseRequestOnlyHeader(HttpRequest& request, const std::string& name, std::string value);
  static bool parseResponseOnlyHeader(HttpResponse& response, const std::string& name, std::string value);
};

}  // namespace quorvel::http
