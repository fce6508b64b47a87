#pragma once

#include <string>

#include <boost/regex.hpp>

#include "wolproxy/include/http/HttpHandler.h"

namespace quorvel::http::wol {

// "/v1/sendWOL/<mac>[/<password>]", both base64url: sends the magic packet.
class HttpHandlerWOL : public virtual HttpHandler {
 public:
  HttpHandlerWOL();
  ~HttpHandlerWOL() override;

  void prepare() override;
  bool canHandle(const HttpRequest& request) override;
  bool generateResponse(const HttpRequest& request, HttpResponse& response, std::istream& body,
                        std::shared_ptr<transport::HttpConnection>& connection) override;

  static HttpHandler* create();

 private:
  boost::regex routePattern;
  // Segments of the last matched path, still encoded.
  std::string mac;
  std::string secureOnPassword;
};

}  // namespace quorvel::http::wol
