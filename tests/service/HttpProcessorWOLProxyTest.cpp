#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

TEST(HandlerRegistryTest, BothServiceHandlersAreRegisteredInNameOrder) {
  // Registered by static objects in their own sources: this fails when the
  // linker drops those sources.
  std::vector<std::string> names;
  for (const auto& entry : handlerRegistry()) {
    names.push_back(entry.first);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"HttpHandlerStatus", "HttpHandlerWOL"}));

  auto handlers = HttpProcessorWOLProxy::createHandlers(handlerRegistry());
  ASSERT_EQ(handlers.size(), 2u);
  for (const auto& handler : handlers) {
    // The shared pointer the processor holds is the handler's own.
    EXPECT_EQ(handler->shared_from_this(), handler);
  }
}

// Records the order in which a processor consults its handlers.
class SpyHandler : public HttpHandler {
 public:
  bool prepared = false;
  int generated = 0;
  std::string claims;

  void prepare() override {
    prepared = true;
    calls().push_back(name() + ".prepare");
  }
  bool canHandle(const HttpRequest& request) override {
    calls().push_back(name() + ".canHandle");
    return request.getPath() == claims;
  }
  bool generateResponse(const HttpRequest&, HttpResponse& response, std::istream&,
                        std::shared_ptr<transport::HttpConnection>&) override {
    ++generated;
    response.setBody(name(), false, false);
    return true;
  }

  virtual std::string name() const = 0;

  static std::vector<std::string>& calls() {
    static std::vector<std::string> list;
    return list;
  }
};

class SpyA : public SpyHandler {
 public:
  SpyA() { claims = "/a"; }
  std::string name() const override { return "A"; }
};

class SpyB : public SpyHandler {
 public:
  SpyB() { claims = "/b"; }
  std::string name() const override { return "B"; }
};

// Swaps the process-wide registry for spies while a test runs.
class HttpProcessorWOLProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = handlerRegistry();
    handlerRegistry().clear();
    handlerRegistry()["2-second"] = [] { return static_cast<HttpHandler*>(new SpyB()); };
    handlerRegistry()["1-first"] = [] { return static_cast<HttpHandler*>(new SpyA()); };
    handlerRegistry()["3-none"] = []() -> HttpHandler* { return nullptr; };
    SpyHandler::calls().clear();
  }
  void TearDown() override { handlerRegistry() = saved; }

  HttpResponse process(const std::string& method, const std::string& path) {
    HttpRequest request{authentication::AuthInfoPtr()};
    request.setMethod(std::string(method));
    request.setPath(std::string(path));
    HttpResponse response(authentication::AuthInfoPtr(), StatusCode::OK, "text/plain", "");
    response.setBody("left over", false, false);
    std::istringstream body;
    std::shared_ptr<transport::HttpConnection> connection;
    EXPECT_TRUE(processor.processRequest(request, response, body, connection));
    return response;
  }

  std::map<std::string, HttpHandlerCreator> saved;
  HttpProcessorWOLProxy processor;
};

TEST_F(HttpProcessorWOLProxyTest, FirstClaimingHandlerAnswersAndLaterOnesAreNotAsked) {
  EXPECT_EQ(process("GET", "/a").getBody(), "A");
  EXPECT_EQ(SpyHandler::calls(), (std::vector<std::string>{"A.prepare", "A.canHandle"}));

  SpyHandler::calls().clear();
  EXPECT_EQ(process("GET", "/b").getBody(), "B");
  EXPECT_EQ(SpyHandler::calls(), (std::vector<std::string>{"A.prepare", "A.canHandle", "B.prepare", "B.canHandle"}));
}

TEST_F(HttpProcessorWOLProxyTest, HandlersAreMadeOnceAndKeptForTheConnection) {
  process("GET", "/a");
  handlerRegistry().clear();
  EXPECT_EQ(process("GET", "/b").getBody(), "B");
}

TEST_F(HttpProcessorWOLProxyTest, UnclaimedPathIsAFreshNotFound) {
  for (const char* method : {"GET", "POST", "OPTIONS"}) {
    HttpResponse response = process(method, "/elsewhere");
    EXPECT_EQ(response.getStatusCode(), StatusCode::NotFound) << method;
    EXPECT_EQ(response.getBody(), "") << method;
  }
}

TEST_F(HttpProcessorWOLProxyTest, OptionsOnAClaimedPathIsAnsweredByTheBase) {
  HttpResponse response = process("OPTIONS", "/a");
  EXPECT_EQ(response.getStatusCode(), StatusCode::NoContent);
  EXPECT_EQ(response.getContentType(), "");

  // Method names are case-sensitive: "options" is an ordinary method.
  EXPECT_EQ(process("options", "/a").getBody(), "A");
}

}  // namespace
}  // namespace quorvel::http
