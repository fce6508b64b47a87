#pragma once

#include "wolproxy/include/http/HttpHandler.h"

namespace quorvel::http {

// "/status": the program version as plain text.
class HttpHandlerStatus : public HttpHandler {
 public:
  ~HttpHandlerStatus() override = default;

  bool canHandle(const HttpRequest& request) override;
  bool generateResponse(const HttpRequest& request, HttpResponse& response, std::istream& body,
                        std::shared_ptr<transport::HttpConnection>& connection) override;

  static HttpHandler* create();
};

}  // namespace quorvel::http
