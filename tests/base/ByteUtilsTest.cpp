#include "common/utils/ByteUtils.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using namespace quorvel::utils;
using namespace std::string_literals;

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

TEST(HexConversion, BothDirections) {
  EXPECT_EQ(hexToBytes("0AfF"), "\x0A\xFF");
  // A pair that is not hexadecimal keeps what the stream could read.
  EXPECT_EQ(hexToBytes("1g"), "\x01");
  try {
    hexToBytes("abc");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "String is not valid length ...");
  }
  const unsigned char bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(bytesToHex(bytes, 4), "000fa0ff");
}

}  // namespace
