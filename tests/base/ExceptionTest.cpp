#include "common/base/BaseException.h"
#include "common/base/QuorvelException.h"
#include "common/http/CookieException.h"
#include "common/http/HttpParsingException.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

using quorvel::QuorvelException;
using quorvel::common::BaseException;

template <typename T>
std::unique_ptr<BaseException> make(std::int64_t line) {
  return std::make_unique<T>("boom", "a/File.cpp", "run", line, 0);
}

// Overrides the name only, as a class of another module would.
class OwnNameException : public QuorvelException {
 public:
  using QuorvelException::QuorvelException;
  std::string getExceptionName() const override { return "OwnNameException"; }
};

// The text is composed once, so it may be read from several threads at once.
TEST(ExceptionFamily, WhatNamesClassAndThrowSiteOnEveryCallAndThread) {
  const std::pair<std::function<std::unique_ptr<BaseException>(std::int64_t)>, std::string> cases[] = {
      {make<BaseException>, "Exception"},
      {make<QuorvelException>, "QuorvelException"},
      {make<quorvel::http::HttpParsingException>, "HttpParsingException"},
      {make<quorvel::http::CookieException>, "CookieException"},
      {make<OwnNameException>, "OwnNameException"},
  };
  for (const auto& [maker, name] : cases) {
    EXPECT_STREQ(maker(-1)->what(), ("\n" + name + "\n thrown.\nMessage was: boom").c_str());
    const auto e = maker(42);
    const char* first = e->what();
    EXPECT_STREQ(first, ("\n" + name + "\n thrown at a/File.cpp/run/42.\nMessage was: boom").c_str());
    std::thread reader([&] {
      for (int i = 0; i < 1000; ++i) ASSERT_EQ(e->what(), first);
    });
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(e->what(), first);
    reader.join();
  }
}

}  // namespace
