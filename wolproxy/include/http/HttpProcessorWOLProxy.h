#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/http/HttpProcessor.h"
#include "wolproxy/include/http/HttpHandler.h"

namespace quorvel::http {

// Routes each request of one connection to the first registered handler
// that claims it; 404 when none does.
class HttpProcessorWOLProxy : public HttpProcessor {
 public:
  HttpProcessorWOLProxy() = default;
  ~HttpProcessorWOLProxy() override;

  bool processRequest(const HttpRequest& request, HttpResponse& response, std::istream& body,
                      std::shared_ptr<transport::HttpConnection>& connection) override;

  static std::vector<std::shared_ptr<HttpHandler>> createHandlers(
      const std::map<std::string, HttpHandlerCreator>& registry);

 private:
  bool handlersCreated = false;
  std::vector<std::shared_ptr<HttpHandler>> handlers;
};

}  // namespace quorvel::http
