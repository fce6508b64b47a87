#include "wolproxy/include/http/HttpHandlerWOL.h"

#include <exception>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "common/utils/ByteUtils.h"
#include "common/utils/LogText.h"
#include "wolproxy/include/appcontext/AppContextNimbrel.h"
#include "wolproxy/include/wolmanager/WolManager.h"

namespace quorvel::http::wol {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("WOLHandler");

namespace {
const HttpHandlerRegistration registration("HttpHandlerWOL", &HttpHandlerWOL::create);

// Compiled once: every connection builds its own handler, and a copy of a
// compiled expression shares its machine instead of compiling it again.
const boost::regex& compiledRoute() {
  static const boost::regex route("/v1/sendWOL/(.*)/(.*)|/v1/sendWOL/(.*)", boost::regex::perl | boost::regex::icase);
  return route;
}
}  // namespace

// Any client can send these with every request: folded by kind, so the
// decoder's texts do not open a window each.
#define LOG_REQUEST_ERROR(text) NIMBREL_LOG_FOLDED(logger, log4cplus::ERROR_LOG_LEVEL, "", text)
#define LOG_REQUEST_ERROR_AS(kind, text) NIMBREL_LOG_FOLDED_AS(logger, log4cplus::ERROR_LOG_LEVEL, "", kind, text)

HttpHandlerWOL::HttpHandlerWOL() : routePattern(compiledRoute()) {}

HttpHandlerWOL::~HttpHandlerWOL() = default;

HttpHandler* HttpHandlerWOL::create() {
  return new HttpHandlerWOL();
}

void HttpHandlerWOL::prepare() {}

bool HttpHandlerWOL::canHandle(const HttpRequest& request) {
  if (disabled) {
    return false;
  }
  boost::smatch match;
  try {
    if (!boost::regex_match(request.getPath(), match, routePattern)) {
      return false;
    }
  } catch (const std::exception& e) {
    // The matcher gives up on pathological input rather than run away.
    LOG_REQUEST_ERROR_AS("Cannot match request path!", std::string("Cannot match request path! Error: ") + e.what());
    return false;
  }
  mac = match[1].str();
  secureOnPassword = match[2].str();
  if (mac.empty()) {
    mac = match[3].str();
  }
  return true;
}

bool HttpHandlerWOL::generateResponse(const HttpRequest&, HttpResponse& response, std::istream&,
                                      std::shared_ptr<transport::HttpConnection>&) {
  std::string macText;
  try {
    macText = utils::base64UrlDecode(mac);
  } catch (const std::exception& e) {
    LOG_REQUEST_ERROR_AS("Cannot decode mac address!", std::string("Cannot decode mac address! Error: ") + e.what());
    response.setStatusCode(StatusCode::InternalServerError);
    return true;
  } catch (...) {
    LOG_REQUEST_ERROR("Cannot decode mac address!");
    response.setStatusCode(StatusCode::InternalServerError);
    return true;
  }

  std::string passwordText;
  if (!secureOnPassword.empty()) {
    try {
      passwordText = utils::base64UrlDecode(secureOnPassword);
    } catch (const std::exception& e) {
      LOG_REQUEST_ERROR_AS("Cannot decode secureON password!",
                           std::string("Cannot decode secureON password! Error: ") + e.what());
      response.setStatusCode(StatusCode::InternalServerError);
      return true;
    } catch (...) {
      LOG_REQUEST_ERROR("Cannot decode secureON password!");
      response.setStatusCode(StatusCode::InternalServerError);
      return true;
    }
  }

  try {
    if (calvexa::AppContextNimbrel::getInstance().getWolManager().sendWOLPacket(macText, passwordText)) {
      response.setStatusCode(StatusCode::OK);
      return true;
    }
    LOG_REQUEST_ERROR("Sending Wake On Lan packet failed!");
  } catch (const std::exception& e) {
    LOG_REQUEST_ERROR_AS("Sending Wake On Lan packet failed!",
                         std::string("Sending Wake On Lan packet failed! Error: ") + e.what());
  } catch (...) {
    LOG_REQUEST_ERROR("Sending Wake On Lan packet failed!");
  }
  response.setStatusCode(StatusCode::InternalServerError);
  return true;
}

}  // namespace quorvel::http::wol
