#pragma once

#include <istream>
#include <memory>

namespace quorvel::transport {
class HttpConnection;
}

namespace quorvel::http {

class HttpRequest;
class HttpResponse;

// Turns one parsed request into a response. The connection writes the
// response only when processRequest returns true; false leaves the
// connection to the processor (nothing is written or read afterwards).
class HttpProcessor : public std::enable_shared_from_this<HttpProcessor> {
 public:
  virtual ~HttpProcessor() = default;

  virtual bool processRequest(const HttpRequest& request, HttpResponse& response, std::istream& body,
                              std::shared_ptr<transport::HttpConnection>& connection) = 0;
};

using HttpProcessorPtr = std::shared_ptr<HttpProcessor>;

}  // namespace quorvel::http
