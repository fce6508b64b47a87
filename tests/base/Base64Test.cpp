#include "common/utils/ByteUtils.h"

#include <boost/archive/iterators/dataflow_exception.hpp>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace quorvel::utils;
using boost::archive::iterators::dataflow_exception;
using namespace std::string_literals;

const std::string kNotBase64 = "attempt to decode a value not in base64 char set";

struct Vector {
  std::string plain;
  std::string standard;
  std::string url;
};

// RFC 4648 test vectors plus bytes that exercise the two alphabet differences.
const Vector kVectors[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xFB\xFF\xBF", "+/+/", "-_-_"},
    {"\x00\x00\x00"s, "AAAA", "AAAA"},
    {"\xFF", "/w==", "_w"},
    {"AA:BB:CC:DD:EE:FF", "QUE6QkI6Q0M6REQ6RUU6RkY=", "QUE6QkI6Q0M6REQ6RUU6RkY"},
};

class Base64Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64Vectors, EncodeAndDecodeBothAlphabets) {
  const Vector& v = GetParam();
  EXPECT_EQ(base64Encode(v.plain), v.standard);
  EXPECT_EQ(base64UrlEncode(v.plain), v.url);
  EXPECT_EQ(base64Decode(v.standard), v.plain);
  EXPECT_EQ(base64UrlDecode(v.url), v.plain);
  // The fill is optional on input.
  EXPECT_EQ(base64UrlDecode(v.standard), v.plain);
  EXPECT_EQ(base64Decode(v.standard.substr(0, v.standard.find('='))), v.plain);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors, ::testing::ValuesIn(kVectors));

TEST(Base64Decode, PartialFillIsCompleted) {
  EXPECT_EQ(base64Decode("YQ="), "a");
  EXPECT_EQ(base64Decode("YWJjYWI"), "abcab");
}

struct BadText {
  const char* label;
  std::string text;
};

const BadText kBadTexts[] = {
    {"url alphabet", "-_-_"},
    {"line break", "YWJj\nYWJj"},
    {"high byte", "YWJ\xC3"},
    {"nul byte", "YW\0j"s},
    {"lone character", "Y"},
    {"lone character after a group", "YWJjY"},
    {"fill only", "===="},
    {"single fill", "="},
    {"fill inside the data", "YQ==YWJj"},
    {"fill after a full group", "YWJj="},
    {"too much fill", "YQ==="},
};

TEST(Base64Decode, RejectsMalformedTextWithAlphabetError) {
  for (const BadText& bad : kBadTexts) {
    SCOPED_TRACE(bad.label);
    try {
      base64Decode(bad.text);
      ADD_FAILURE() << "decoded";
    } catch (const dataflow_exception& e) {
      EXPECT_EQ(std::string(e.what()), kNotBase64);
    }
  }
}

TEST(Base64Decode, EmptyGivesEmpty) {
  EXPECT_EQ(base64Decode(""), "");
  EXPECT_EQ(base64UrlDecode(""), "");
}

TEST(Base64UrlDecode, AcceptsBothAlphabetsAndRejectsTheRest) {
  EXPECT_EQ(base64UrlDecode("-_-_"), "\xFB\xFF\xBF");
  EXPECT_EQ(base64UrlDecode("+/+/"), "\xFB\xFF\xBF");
  EXPECT_EQ(base64UrlDecode("YQ"), "a");
  EXPECT_THROW(base64UrlDecode("YQ.a"), dataflow_exception);
  EXPECT_THROW(base64UrlDecode("Y"), dataflow_exception);
  EXPECT_THROW(base64UrlDecode("QUE6QkI6Q0M6REQ6RUU6RkY%3D"), dataflow_exception);
}

TEST(Base64RoundTrip, EveryLengthAndByteValue) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t length = 0; length < 200; ++length) {
    std::string data(length, '\0');
    for (char& c : data) {
      c = static_cast<char>(byte(random));
    }
    const std::string standard = base64Encode(data);
    ASSERT_EQ(standard.size() % 4, 0u);
    ASSERT_EQ(base64Decode(standard), data) << length;
    const std::string url = base64UrlEncode(data);
    ASSERT_EQ(url.find_first_of("+/="), std::string::npos);
    ASSERT_EQ(url.size(), (length * 8 + 5) / 6);
    ASSERT_EQ(base64UrlDecode(url), data) << length;
  }
}

}  // namespace
