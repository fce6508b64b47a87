#include "wolproxy/include/http/HttpHandler.h"

#include "common/http/HttpResponse.h"

namespace quorvel::http {

void HttpHandler::prepare() {}

int HttpHandler::extensionHook1() {
  return 0;
}

bool HttpHandler::extensionHook2() {
  return false;
}

int HttpHandler::extensionHook3() {
  return 0;
}

std::int64_t HttpHandler::extensionHook4() {
  return -1;
}

std::string HttpHandler::extensionHook5() {
  return "";
}

bool HttpHandler::extensionHook6() {
  return true;
}

bool HttpHandler::handleOptions(const HttpRequest&, HttpResponse& response, std::istream&,
                                std::shared_ptr<transport::HttpConnection>&) {
  response.setContentType("");
  response.setStatusCode(StatusCode::NoContent);
  return true;
}

std::map<std::string, HttpHandlerCreator>& handlerRegistry() {
  // Function-local so that registrations from other translation units never
  // run before the map exists.
  static std::map<std::string, HttpHandlerCreator> registry;
  return registry;
}

HttpHandlerRegistration::HttpHandlerRegistration(const std::string& name, HttpHandlerCreator creator) {
  handlerRegistry()[name] = creator;
}

}  // namespace quorvel::http
