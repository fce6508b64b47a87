#include <gtest/gtest.h>

#include <sstream>

#include "PrivateNetwork.h"
#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"
#include "support/LogCapture.h"
#include "wolproxy/include/http/HttpHandlerStatus.h"
#include "wolproxy/include/http/HttpHandlerWOL.h"

namespace quorvel::http {
namespace {

HttpRequest requestFor(const std::string& path, const std::string& method = "GET") {
  HttpRequest request{authentication::AuthInfoPtr()};
  request.setMethod(std::string(method));
  request.setPath(std::string(path));
  return request;
}

HttpResponse freshResponse() {
  return HttpResponse(authentication::AuthInfoPtr(), StatusCode::OK, "text/plain", "");
}

struct PathCase {
  const char* path;
  bool handled;
};

void PrintTo(const PathCase& c, std::ostream* out) {
  *out << c.path;
}

class StatusPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(StatusPathTest, ClaimsOnlyTheStatusPathInAnyCase) {
  HttpHandlerStatus handler;
  EXPECT_EQ(handler.canHandle(requestFor(GetParam().path)), GetParam().handled) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, StatusPathTest,
                         ::testing::Values(PathCase{"/status", true}, PathCase{"/STATUS", true},
                                           PathCase{"/Status/", true}, PathCase{"/status2", false},
                                           PathCase{"/status/x", false}, PathCase{"status", false},
                                           PathCase{"/", false}));

TEST(HttpHandlerStatusTest, AnswersTheVersionAsPlainText) {
  HttpHandlerStatus handler;
  HttpResponse response = freshResponse();
  response.setContentType("");
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;
  EXPECT_TRUE(handler.generateResponse(requestFor("/status"), response, body, connection));
  EXPECT_EQ(response.getStatusCode(), StatusCode::OK);
  EXPECT_EQ(response.getContentType(), "text/plain");
  EXPECT_EQ(response.getBody(), "1.3.1482.0");
  EXPECT_EQ(response.getContentLength(), 10u);
  EXPECT_FALSE(response.isCompressionAllowed());
}

class WolPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(WolPathTest, ClaimsOneOrTwoSegmentsIgnoringCase) {
  wol::HttpHandlerWOL handler;
  EXPECT_EQ(handler.canHandle(requestFor(GetParam().path)), GetParam().handled) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, WolPathTest,
                         ::testing::Values(PathCase{"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", true},
                                           PathCase{"/V1/SENDWOL/QUE6QkI6Q0M6REQ6RUU6RkY", true},
                                           PathCase{"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/", true},
                                           PathCase{"/v1/sendWOL/a/b", true}, PathCase{"/v1/sendWOL//b", true},
                                           PathCase{"/v1/sendWOL/a/b/c", true}, PathCase{"/v1/sendWOL", false},
                                           PathCase{"/v1/sendWOL/", false}, PathCase{"/v2/sendWOL/a", false},
                                           PathCase{"x/v1/sendWOL/a", false}, PathCase{"/status", false}));

// Which step of a Wake-on-LAN request gave up, told apart by its log line.
struct WolOutcome {
  const char* path;
  const char* logLine;
};

void PrintTo(const WolOutcome& c, std::ostream* out) {
  *out << c.path;
}

class WolResponseTest : public ::testing::TestWithParam<WolOutcome> {
 protected:
  void SetUp() override { REQUIRE_PRIVATE_NETWORK(); }
};

TEST_P(WolResponseTest, FailuresAnswer500AndKeepTheConnection) {
  testing::LogCapture log;
  wol::HttpHandlerWOL handler;
  HttpRequest request = requestFor(GetParam().path);
  ASSERT_TRUE(handler.canHandle(request));
  HttpResponse response = freshResponse();
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;
  EXPECT_TRUE(handler.generateResponse(request, response, body, connection));
  EXPECT_EQ(response.getStatusCode(), StatusCode::InternalServerError);
  EXPECT_EQ(response.getBody(), "");
  EXPECT_TRUE(log.contains(GetParam().logLine, log4cplus::ERROR_LOG_LEVEL)) << GetParam().path;
}

// No sender is running in these tests, so a well-formed request fails at
// the send; that it gets there shows both segments decoded.
INSTANTIATE_TEST_SUITE_P(
    Outcomes, WolResponseTest,
    ::testing::Values(WolOutcome{"/v1/sendWOL/not*base64", "Cannot decode mac address! Error: "},
                      WolOutcome{"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/bad*pw", "Cannot decode secureON password! Error: "},
                      WolOutcome{"/v1/sendWOL/a*b/QUE6QkI6Q0M6REQ6RUU6RkY", "Cannot decode mac address! Error: "},
                      WolOutcome{"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY", "Sending Wake On Lan packet failed!"},
                      WolOutcome{"/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/MTE6MjI6MzM6NDQ6NTU6NjY",
                                 "Sending Wake On Lan packet failed!"},
                      WolOutcome{"/v1/sendWOL//MTE6MjI6MzM6NDQ6NTU6NjY", "Sending Wake On Lan packet failed!"}));

TEST(HttpHandlerWOLTest, EachMatchReplacesBothSegments) {
  REQUIRE_PRIVATE_NETWORK();
  testing::LogCapture log;
  wol::HttpHandlerWOL handler;
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;

  // A password from an earlier request must not be sent with a later one.
  ASSERT_TRUE(handler.canHandle(requestFor("/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY/bad*pw")));
  ASSERT_TRUE(handler.canHandle(requestFor("/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY")));
  HttpResponse response = freshResponse();
  handler.generateResponse(requestFor("/v1/sendWOL/QUE6QkI6Q0M6REQ6RUU6RkY"), response, body, connection);
  EXPECT_FALSE(log.contains("Cannot decode secureON password!"));
}

}  // namespace
}  // namespace quorvel::http
