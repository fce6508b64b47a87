#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {

HttpProcessorWOLProxy::~HttpProcessorWOLProxy() = default;

std::vector<std::shared_ptr<HttpHandler>> HttpProcessorWOLProxy::createHandlers(
    const std::map<std::string, HttpHandlerCreator>& registry) {
  std::vector<std::shared_ptr<HttpHandler>> created;
  for (const auto& entry : registry) {
    auto found = registry.find(entry.first);
    if (found == registry.end() || found->second == nullptr) {
      continue;
    }
    if (HttpHandler* handler = found->second()) {
      created.emplace_back(handler);
    }
  }
  return created;
}

bool HttpProcessorWOLProxy::processRequest(const HttpRequest& request, HttpResponse& response, std::istream& body,
                                           std::shared_ptr<transport::HttpConnection>& connection) {
  if (!handlersCreated) {
    handlers = createHandlers(handlerRegistry());
    handlersCreated = true;
  }
  for (const auto& handler : handlers) {
    handler->prepare();
    if (!handler->canHandle(request)) {
      continue;
    }
    if (request.getMethod() == "OPTIONS") {
      return handler->handleOptions(request, response, body, connection);
    }
    return handler->generateResponse(request, response, body, connection);
  }
  response.clear();
  response.setStatusCode(StatusCode::NotFound);
  return true;
}

}  // namespace quorvel::http
