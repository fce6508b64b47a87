#pragma once

#include <ostream>
#include <string>

namespace quorvel::http {

class HttpRequest;
class HttpResponse;

// Writes HTTP/1.x messages in wire form: start line, the headers that are
// set in one fixed order, the empty line, then the body.
class HttpGenerator {
 public:
  virtual ~HttpGenerator();

  // Settles the body's compression against the request's Accept-Encoding,
  // then writes the whole response. Responses that carry no body (to HEAD,
  // 1xx, 204, 304) get their headers only. Throws the compression library's
  // error, before writing anything, when a body marked compressed is no gzip.
  static bool generateResponse(const HttpRequest& request, HttpResponse& response, std::ostream& output);
  // The same settling, but only the header block is written; the body, when
  // withBody says it goes on the wire, stays in the response to be sent as is.
  static std::string generateResponseHead(const HttpRequest& request, HttpResponse& response, bool& withBody);
  static bool generateResponseHeader(const HttpResponse& response, bool gzipEncoded, std::ostream& output);
  static bool generateRequestHeader(const HttpRequest& request, std::ostream& output);

  // One gzip member holding the whole input, modification time 0.
  static std::string gzipCompress(const std::string& data);
  static std::string gzipDecompress(const std::string& data);
};

}  // namespace quorvel::http
