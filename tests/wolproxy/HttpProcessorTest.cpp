#include "wolproxy/include/http/HttpProcessorWOLProxy.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/http/HttpRequest.h"
#include "common/http/HttpResponse.h"

namespace quorvel::http {
namespace {

// Every call the test handlers see, in order.
std::string journal;

// Claims the paths it is given and notes each call in the journal.
class NotingHandler : public HttpHandler {
 public:
  NotingHandler(std::string name, std::set<std::string> paths) : name(std::move(name)), paths(std::move(paths)) {
    note("made");
  }
  void prepare() override { note("prepare"); }
  bool canHandle(const HttpRequest& request) override {
    note("ask");
    return paths.count(request.getPath()) != 0;
  }
  bool generateResponse(const HttpRequest&, HttpResponse& response, std::istream&,
                        std::shared_ptr<transport::HttpConnection>&) override {
    note("answer");
    response.setStatusCode(StatusCode::Created);
    return true;
  }

 private:
  void note(const char* what) { journal += name + "." + what + " "; }

  std::string name;
  std::set<std::string> paths;
};

HttpHandler* makeAlpha() { return new NotingHandler("A", {"/a", "/both"}); }
HttpHandler* makeBeta() { return new NotingHandler("B", {"/b", "/both"}); }
HttpHandler* makeNothing() { return nullptr; }

// Stands in for the registry while it lives.
class RegistryStandIn {
 public:
  explicit RegistryStandIn(std::map<std::string, HttpHandlerCreator> entries)
      : saved(std::exchange(handlerRegistry(), std::move(entries))) {}
  ~RegistryStandIn() { handlerRegistry() = std::move(saved); }

 private:
  std::map<std::string, HttpHandlerCreator> saved;
};

// What the connection hands over: a prepared response with something to reset.
struct Exchange {
  explicit Exchange(std::string method, std::string path) {
    request.setMethod(std::move(method));
    request.setPath(std::move(path));
    response.setBody("left over", false, false);
    response.setLocation("/elsewhere");
  }
  HttpRequest request{authentication::AuthInfoPtr()};
  HttpResponse response{authentication::AuthInfoPtr(), StatusCode::OK, "text/plain", ""};
  std::istringstream body;
  std::shared_ptr<transport::HttpConnection> connection;
};

TEST(HttpProcessorTest, TheFirstHandlerInNameOrderThatClaimsARequestAnswersIt) {
  // Registered out of name order; a creator that makes nothing is passed over.
  const RegistryStandIn registry({{"Beta", &makeBeta}, {"Nothing", &makeNothing}, {"Alpha", &makeAlpha}});
  struct Row {
    const char* method;
    const char* path;
    int status;
    const char* calls;
  };
  // One processor serves the rows in turn: handlers are made on its first request only.
  const Row rows[] = {
      {"GET", "/both", 201, "A.made B.made A.prepare A.ask A.answer "},
      {"GET", "/b", 201, "A.prepare A.ask B.prepare B.ask B.answer "},
      {"POST", "/none", 404, "A.prepare A.ask B.prepare B.ask "},
      // The handler base answers OPTIONS; only the exact method name counts.
      {"OPTIONS", "/a", 204, "A.prepare A.ask "},
      {"options", "/a", 201, "A.prepare A.ask A.answer "},
      {"OPTIONS", "/none", 404, "A.prepare A.ask B.prepare B.ask "},
  };
  HttpProcessorWOLProxy processor;
  for (const Row& row : rows) {
    journal.clear();
    Exchange exchange(row.method, row.path);
    EXPECT_TRUE(processor.processRequest(exchange.request, exchange.response, exchange.body, exchange.connection));
    EXPECT_EQ(journal, row.calls) << row.method << " " << row.path;
    EXPECT_EQ(static_cast<int>(exchange.response.getStatusCode()), row.status) << row.method << " " << row.path;
    if (row.status == 204) {
      EXPECT_EQ(exchange.response.getContentType(), "") << row.path;
    }
    if (row.status == 404) {
      // Reset before the 404, so nothing of the prepared response goes out with it.
      EXPECT_EQ(exchange.response.getBody() + exchange.response.getLocation(), "") << row.path;
    }
  }
}

TEST(HttpProcessorTest, EmptyRegistryAnswers404) {
  const RegistryStandIn registry({});
  Exchange exchange("GET", "/status");
  HttpProcessorWOLProxy processor;
  EXPECT_TRUE(processor.processRequest(exchange.request, exchange.response, exchange.body, exchange.connection));
  EXPECT_EQ(static_cast<int>(exchange.response.getStatusCode()), 404);
}

TEST(HttpProcessorTest, TheServiceRegistersItsTwoHandlers) {
  std::vector<std::string> names;
  for (const auto& entry : handlerRegistry()) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::string>{"HttpHandlerStatus", "HttpHandlerWOL"}));
}

}  // namespace
}  // namespace quorvel::http
