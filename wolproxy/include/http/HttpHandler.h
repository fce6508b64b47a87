#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>

namespace quorvel::transport {
class HttpConnection;
}

namespace quorvel::http {

class HttpRequest;
class HttpResponse;

// One kind of request the service answers. A processor asks each handler in
// turn whether it takes a request; the first that does answers it.
class HttpHandler : public std::enable_shared_from_this<HttpHandler> {
 public:
  virtual ~HttpHandler() = default;

  virtual void prepare();
  virtual bool canHandle(const HttpRequest& request) = 0;
  virtual int extensionHook1();
  virtual bool extensionHook2();
  virtual int extensionHook3();
  virtual std::int64_t extensionHook4();
  virtual std::string extensionHook5();
  virtual bool extensionHook6();
  virtual bool generateResponse(const HttpRequest& request, HttpResponse& response, std::istream& body,
                                std::shared_ptr<transport::HttpConnection>& connection) = 0;
  // "OPTIONS" on a handled path: 204 without content.
  virtual bool handleOptions(const HttpRequest& request, HttpResponse& response, std::istream& body,
                             std::shared_ptr<transport::HttpConnection>& connection);

 protected:
  bool disabled = false;
};

// Makes a new handler; the caller owns it.
using HttpHandlerCreator = HttpHandler* (*)();

// Every handler kind by name, filled by static registrations before main runs
// and read in name order afterwards.
std::map<std::string, HttpHandlerCreator>& handlerRegistry();

// A static object of this type in a handler's source registers that handler.
struct HttpHandlerRegistration {
  HttpHandlerRegistration(const std::string& name, HttpHandlerCreator creator);
};

}  // namespace quorvel::http
