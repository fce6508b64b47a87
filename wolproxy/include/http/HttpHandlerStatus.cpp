#include "wolproxy/include/http/HttpHandlerStatus.h"

#include <boost/algorithm/string/predicate.hpp>

#include "NimbrelVersion.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {

namespace {
const HttpHandlerRegistration registration("HttpHandlerStatus", &HttpHandlerStatus::create);
}

HttpHandler* HttpHandlerStatus::create() {
  return new HttpHandlerStatus();
}

bool HttpHandlerStatus::canHandle(const HttpRequest& request) {
  return boost::algorithm::iequals(request.getPath(), "/status");
}

bool HttpHandlerStatus::generateResponse(const HttpRequest&, HttpResponse& response, std::istream&,
                                         std::shared_ptr<transport::HttpConnection>&) {
  response.setStatusCode(StatusCode::OK);
  response.setContentType("text/plain");
  response.setBody(std::string(calvexa::kVersion), false, false);
  return true;
}

}  // namespace quorvel::http
