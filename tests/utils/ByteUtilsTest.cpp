#include "common/utils/ByteUtils.h"

#include <boost/archive/iterators/dataflow_exception.hpp>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quorvel::utils;
using namespace std::string_literals;

// RFC 4648 vectors plus bytes that exercise the two alphabet differences.
TEST(Base64Test, BothAlphabetsRoundTrip) {
  const std::tuple<std::string, std::string, std::string> vectors[] = {
      {"", "", ""},        {"f", "Zg==", "Zg"},           {"fo", "Zm8=", "Zm8"},         {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},                     {"\xFB\xFF\xBF", "+/+/", "-_-_"}, {"\0\0\0"s, "AAAA", "AAAA"},
      {"AA:BB:CC:DD:EE:FF", "QUE6QkI6Q0M6REQ6RUU6RkY=", "QUE6QkI6Q0M6REQ6RUU6RkY"}};
  for (const auto& [plain, standard, url] : vectors) {
    EXPECT_EQ(base64Encode(plain), standard);
    EXPECT_EQ(base64UrlEncode(plain), url);
    EXPECT_EQ(base64Decode(standard), plain);
    // The fill is optional on input, and the url decoder takes both alphabets.
    EXPECT_EQ(base64UrlDecode(url), plain);
    EXPECT_EQ(base64UrlDecode(standard), plain);
  }
}

TEST(Base64Test, MalformedTextIsRefused) {
  const std::pair<bool, std::string> cases[] = {
      {false, "-_-_"},  {false, "YWJj\nYWJj"}, {false, "YW\0j"s},   {false, "Y"},
      {false, "YWJjY"}, {false, "="},          {false, "YQ==YWJj"}, {false, "YWJj="},
      {false, "YQ==="}, {true, "YQ.a"},        {true, "Y"},         {true, "QUE6QkI6Q0M6REQ6RUU6RkY%3D"}};
  for (const auto& [url, text] : cases) {
    EXPECT_THROW(url ? base64UrlDecode(text) : base64Decode(text), boost::archive::iterators::dataflow_exception)
        << text;
  }
}

TEST(FindBytesTest, FirstOccurrence) {
  const std::tuple<std::string, std::string, long> cases[] = {  // offset, -1 for not found
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\nbody", "\r\n\r\n", 23},
      {"GET / HTTP/1.1\r\nHost: h\r\n\r", "\r\n\r\n", -1},
      {"a\0ya\0x"s, "a\0x"s, 3},  // a NUL in the needle must not end the comparison
      {"a\0y"s, "a\0x"s, -1},       {"ab\0\0\0c"s, "\0\0c"s, 3}, {"abc", "abcd", -1}, {"abc", "abc", 0},
      {"aaab", "aab", 1},           {"abc", "", 0},              {"", "", -1}};
  for (const auto& [buffer, needle, offset] : cases) {
    const char* found = findBytes(buffer.data(), buffer.size(), needle.data(), needle.size());
    EXPECT_EQ(found, offset < 0 ? nullptr : buffer.data() + offset) << needle;
  }
}

}  // namespace
