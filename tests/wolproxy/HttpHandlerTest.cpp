#include <gtest/gtest.h>

#include <sstream>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"
#include "support/TestNetwork.h"
#include "wolproxy/include/http/HttpHandlerStatus.h"
#include "wolproxy/include/http/HttpHandlerWOL.h"
#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

namespace quorvel::http {
namespace {

HttpRequest requestFor(const std::string& path) {
  HttpRequest request{authentication::AuthInfoPtr()};
  request.setMethod("GET");
  request.setPath(std::string(path));
  return request;
}

// Which requests each handler claims.
struct PathCase {
  const char* path;
  bool status;
  bool wol;
};

const PathCase kPaths[] = {
    {"/status", true, false},
    {"/STATUS", true, false},
    {"/Status/", true, false},
    {"/status2", false, false},
    {"/status/x", false, false},
    {"status", false, false},
    {"/", false, false},
    {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", false, true},
    {"/V1/SENDWOL/QUE6QkI6Q0M6REQ6RUU6RkY", false, true},
    {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/", false, true},
    {"/v1/sendWOL/a/b", false, true},
    {"/v1/sendWOL//b", false, true},
    {"/v1/sendWOL/a/b/c", false, true},
    {"/v1/sendWOL", false, false},
    {"/v1/sendWOL/", false, false},
    {"/v2/sendWOL/a", false, false},
    {"x/v1/sendWOL/a", false, false},
};

TEST(HttpHandlerPathTest, EachHandlerClaimsOnlyItsPaths) {
  HttpHandlerStatus status;
  wol::HttpHandlerWOL wol;
  for (const auto& c : kPaths) {
    EXPECT_EQ(status.canHandle(requestFor(c.path)), c.status) << c.path;
    EXPECT_EQ(wol.canHandle(requestFor(c.path)), c.wol) << c.path;
  }
}

// Which step of a Wake-on-LAN request gave up, told apart by its log line.
// No sender is running in these tests, so a well-formed request fails at the
// send; that it gets there shows both segments decoded. One handler serves
// all rows in turn, so a password left from an earlier row would show.
struct WolOutcome {
  const char* path;
  const char* logLine;
};

const WolOutcome kWolOutcomes[] = {
    {"/v1/sendWOL/not*base64", "Cannot decode mac address! Error: "},
    {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/bad*pw", "Cannot decode secureON password! Error: "},
    {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", "Sending Wake On Lan packet failed!"},
    {"/v1/sendWOL/a*b/QUE6QkI6Q0M6REQ6RUU6RkY", "Cannot decode mac address! Error: "},
    {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/MTE6MjI6MzM6NDQ6NTU6NjY", "Sending Wake On Lan packet failed!"},
    {"/v1/sendWOL//MTE6MjI6MzM6NDQ6NTU6NjY", "Sending Wake On Lan packet failed!"},
};

TEST(HttpHandlerWOLTest, FailuresAnswer500WithTheirLogLine) {
  REQUIRE_PRIVATE_NETWORK();
  wol::HttpHandlerWOL handler;
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;
  for (const auto& c : kWolOutcomes) {
    testing::LogCapture log;
    HttpRequest request = requestFor(c.path);
    ASSERT_TRUE(handler.canHandle(request)) << c.path;
    HttpResponse response(authentication::AuthInfoPtr(), StatusCode::OK, "text/plain", "");
    EXPECT_TRUE(handler.generateResponse(request, response, body, connection));
    EXPECT_EQ(response.getStatusCode(), StatusCode::InternalServerError) << c.path;
    EXPECT_EQ(response.getBody(), "") << c.path;
    EXPECT_TRUE(log.contains(c.logLine, log4cplus::ERROR_LOG_LEVEL)) << c.path;
  }
}

// Registered by static objects in their own sources: this fails when the
// linker drops those sources.
TEST(HandlerRegistryTest, BothServiceHandlersAreRegistered) {
  std::vector<std::string> names;
  for (const auto& entry : handlerRegistry()) {
    names.push_back(entry.first);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"HttpHandlerStatus", "HttpHandlerWOL"}));
  for (const auto& handler : HttpProcessorWOLProxy::createHandlers(handlerRegistry())) {
    EXPECT_EQ(handler->shared_from_this(), handler);
  }
}

}  // namespace
}  // namespace quorvel::http
