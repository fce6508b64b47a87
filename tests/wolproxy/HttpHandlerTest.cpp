#include <gtest/gtest.h>

#include <sstream>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"
#include "support/TestNetwork.h"
#include "wolproxy/include/http/HttpHandlerStatus.h"
#include "wolproxy/include/http/HttpHandlerWOL.h"

namespace quorvel::http {
namespace {

HttpRequest requestFor(const std::string& path) {
  HttpRequest request{authentication::AuthInfoPtr()};
  request.setMethod("GET");
  request.setPath(std::string(path));
  return request;
}

TEST(HttpHandlerTest, EachHandlerClaimsOnlyItsPaths) {
  // 's': the status handler, 'w': the Wake-on-LAN handler, '-': neither.
  const std::pair<const char*, char> cases[] = {
      {"/status", 's'},       {"/STATUS", 's'},          {"/Status/", 's'},          {"/status2", '-'},
      {"/status/x", '-'},     {"status", '-'},           {"/", '-'},                 {"/v1/sendWOL/QUE6", 'w'},
      {"/V1/SENDWOL/a", 'w'}, {"/v1/sendWOL/a/", 'w'},   {"/v1/sendWOL/a/b", 'w'},   {"/v1/sendWOL//b", 'w'},
      {"/v1/sendWOL/a/b/c", 'w'}, {"/v1/sendWOL", '-'},  {"/v1/sendWOL/", '-'},      {"/v2/sendWOL/a", '-'},
      {"x/v1/sendWOL/a", '-'}};
  HttpHandlerStatus status;
  wol::HttpHandlerWOL wol;
  for (const auto& [path, handler] : cases) {
    EXPECT_EQ(status.canHandle(requestFor(path)), handler == 's') << path;
    EXPECT_EQ(wol.canHandle(requestFor(path)), handler == 'w') << path;
  }
}

// Which step of a Wake-on-LAN request gave up, told apart by its log line.
// No sender is running here, so a well-formed request fails at the send;
// that it gets there shows both segments decoded. One handler serves all
// rows in turn, so a password left from an earlier row would show.
TEST(HttpHandlerTest, WakeOnLanFailuresAnswer500WithTheirLogLine) {
  REQUIRE_PRIVATE_NETWORK();
  const std::pair<const char*, const char*> cases[] = {
      {"/v1/sendWOL/not*base64", "Cannot decode mac address! Error: "},
      {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/bad*pw", "Cannot decode secureON password! Error: "},
      {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", "Sending Wake On Lan packet failed!"},
      {"/v1/sendWOL/a*b/QUE6QkI6Q0M6REQ6RUU6RkY", "Cannot decode mac address! Error: "},
      {"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/MTE6MjI6MzM6NDQ6NTU6NjY", "Sending Wake On Lan packet failed!"},
      {"/v1/sendWOL//MTE6MjI6MzM6NDQ6NTU6NjY", "Sending Wake On Lan packet failed!"}};
  wol::HttpHandlerWOL handler;
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;
  for (const auto& [path, logLine] : cases) {
    testing::LogCapture log;
    const HttpRequest request = requestFor(path);
    ASSERT_TRUE(handler.canHandle(request)) << path;  // it keeps the path's segments for the reply
    HttpResponse response(authentication::AuthInfoPtr(), StatusCode::OK, "text/plain", "");
    EXPECT_TRUE(handler.generateResponse(request, response, body, connection));
    EXPECT_EQ(response.getStatusCode(), StatusCode::InternalServerError) << path;
    EXPECT_EQ(response.getBody(), "") << path;
    EXPECT_TRUE(log.contains(logLine, log4cplus::ERROR_LOG_LEVEL)) << path;
  }
}

}  // namespace
}  // namespace quorvel::http
