#include "common/base/BaseException.h"
#include "common/base/QuorvelException.h"
#include "common/http/CookieException.h"
#include "common/http/HttpParsingException.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using quorvel::QuorvelException;
using quorvel::common::BaseException;
using quorvel::http::CookieException;
using quorvel::http::HttpParsingException;

template <typename T>
std::unique_ptr<BaseException> make(std::int64_t line) {
  return std::make_unique<T>("boom", "a/File.cpp", "run", line, 0);
}

struct WhatCase {
  std::function<std::unique_ptr<BaseException>(std::int64_t)> make;
  std::string name;       // getExceptionName()
  std::string shownName;  // second line of what()
};

// Overrides the name only, as a class of another module would.
class OwnNameException : public QuorvelException {
 public:
  using QuorvelException::QuorvelException;
  std::string getExceptionName() const override { return "OwnNameException"; }
};

const WhatCase kWhatCases[] = {
    {make<BaseException>, "", "Exception"},
    {make<QuorvelException>, "QuorvelException", "QuorvelException"},
    {make<HttpParsingException>, "HttpParsingException", "HttpParsingException"},
    {make<CookieException>, "CookieException", "CookieException"},
    {make<OwnNameException>, "OwnNameException", "OwnNameException"},
};

class WhatText : public ::testing::TestWithParam<WhatCase> {};

TEST_P(WhatText, NamesClassAndThrowSite) {
  const WhatCase& c = GetParam();
  EXPECT_EQ(c.make(42)->getExceptionName(), c.name);
  EXPECT_STREQ(c.make(42)->what(), ("\n" + c.shownName + "\n thrown at a/File.cpp/run/42.\nMessage was: boom").c_str());
  EXPECT_STREQ(c.make(-1)->what(), ("\n" + c.shownName + "\n thrown.\nMessage was: boom").c_str());
}

TEST_P(WhatText, SamePointerOnEveryCallAndThread) {
  auto e = GetParam().make(7);
  const char* first = e->what();
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) ASSERT_EQ(e->what(), first);
    });
  }
  for (auto& r : readers) r.join();
}

INSTANTIATE_TEST_SUITE_P(AllClasses, WhatText, ::testing::ValuesIn(kWhatCases));

TEST(ExceptionFamily, ThrownCopyKeepsTheText) {
  try {
    CookieException original("Cookie not found", "HttpHeader.cpp", "getCookie", 9, 0);
    throw original;  // the thrown object is a copy that outlives the original
  } catch (const QuorvelException& e) {
    EXPECT_STREQ(e.what(), "\nCookieException\n thrown at HttpHeader.cpp/getCookie/9.\nMessage was: Cookie not found");
    EXPECT_EQ(e.getMessage(), "Cookie not found");
  }
}

}  // namespace
