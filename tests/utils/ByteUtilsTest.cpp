#include "common/utils/ByteUtils.h"

#include <boost/archive/iterators/dataflow_exception.hpp>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quorvel::utils;
using boost::archive::iterators::dataflow_exception;
using namespace std::string_literals;

// RFC 4648 test vectors plus bytes that exercise the two alphabet differences.
TEST(Base64, EncodeAndDecodeBothAlphabets) {
  const struct {
    std::string plain, standard, url;
  } vectors[] = {{"", "", ""},
                 {"f", "Zg==", "Zg"},
                 {"fo", "Zm8=", "Zm8"},
                 {"foo", "Zm9v", "Zm9v"},
                 {"foob", "Zm9vYg==", "Zm9vYg"},
                 {"\xFB\xFF\xBF", "+/+/", "-_-_"},
                 {"\x00\x00\x00"s, "AAAA", "AAAA"},
                 {"AA:BB:CC:DD:EE:FF", "QUE6QkI6Q0M6REQ6RUU6RkY=", "QUE6QkI6Q0M6REQ6RUU6RkY"}};
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.standard);
    EXPECT_EQ(base64Encode(v.plain), v.standard);
    EXPECT_EQ(base64UrlEncode(v.plain), v.url);
    EXPECT_EQ(base64Decode(v.standard), v.plain);
    EXPECT_EQ(base64UrlDecode(v.url), v.plain);
    // The fill is optional on input, and the url decoder takes both alphabets.
    EXPECT_EQ(base64UrlDecode(v.standard), v.plain);
    EXPECT_EQ(base64Decode(v.standard.substr(0, v.standard.find('='))), v.plain);
  }
  EXPECT_EQ(base64Decode("YQ="), "a");  // a partial fill is completed
}

TEST(Base64Decode, RejectsMalformedTextWithAlphabetError) {
  const std::pair<bool, std::string> cases[] = {
      {false, "-_-_"},  {false, "YWJj\nYWJj"}, {false, "YW\0j"s},   {false, "Y"},
      {false, "YWJjY"}, {false, "="},          {false, "YQ==YWJj"}, {false, "YWJj="},
      {false, "YQ==="}, {true, "YQ.a"},        {true, "Y"},         {true, "QUE6QkI6Q0M6REQ6RUU6RkY%3D"}};
  for (const auto& [url, text] : cases) {
    try {
      url ? base64UrlDecode(text) : base64Decode(text);
      ADD_FAILURE() << "decoded '" << text << "'";
    } catch (const dataflow_exception& e) {
      EXPECT_STREQ(e.what(), "attempt to decode a value not in base64 char set") << text;
    }
  }
}


TEST(FindBytes, FirstOccurrence) {
  const struct {
    std::string buffer;
    std::string needle;
    long expected;  // offset, -1 for not found
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\nbody", "\r\n\r\n", 23},
      {"GET / HTTP/1.1\r\nHost: h\r\n\r", "\r\n\r\n", -1},
      {"a\0ya\0x"s, "a\0x"s, 3},  // a NUL in the needle must not end the comparison
      {"a\0y"s, "a\0x"s, -1},
      {"ab\0\0\0c"s, "\0\0c"s, 3},
      {"abc", "abcd", -1},  // longer than the buffer
      {"abc", "abc", 0},
      {"aaab", "aab", 1},
      {"abc", "", 0},
      {"", "", -1},
  };
  for (const auto& c : cases) {
    const char* found = findBytes(c.buffer.data(), c.buffer.size(), c.needle.data(), c.needle.size());
    EXPECT_EQ(found, c.expected < 0 ? nullptr : c.buffer.data() + c.expected) << c.needle;
  }
}

}  // namespace
