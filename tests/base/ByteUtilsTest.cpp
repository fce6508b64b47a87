#include "common/utils/ByteUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

namespace {

using namespace quorvel::utils;
using namespace std::string_literals;

struct SearchCase {
  const char* label;
  std::string buffer;
  std::string needle;
  long expected;  // offset, -1 for not found
};

const SearchCase kSearchCases[] = {
    {"header end", "GET / HTTP/1.1\r\nHost: h\r\n\r\nbody", "\r\n\r\n", 23},
    {"incomplete header end", "GET / HTTP/1.1\r\nHost: h\r\n\r", "\r\n\r\n", -1},
    {"nul in needle must not end the comparison", "a\0ya\0x"s, "a\0x"s, 3},
    {"nul in both, mismatch after it", "a\0y"s, "a\0x"s, -1},
    {"needle of nuls", "ab\0\0\0c"s, "\0\0c"s, 3},
    {"needle longer than buffer", "abc", "abcd", -1},
    {"needle as long as buffer", "abc", "abc", 0},
    {"match at the very end", "xxxxab", "ab", 4},
    {"overlapping prefix", "aaab", "aab", 1},
    {"empty needle", "abc", "", 0},
    {"empty buffer", "", "", -1},
    {"empty buffer, needle", "", "a", -1},
};

TEST(FindBytes, FirstOccurrence) {
  for (const SearchCase& c : kSearchCases) {
    SCOPED_TRACE(c.label);
    const char* found = findBytes(c.buffer.data(), c.buffer.size(), c.needle.data(), c.needle.size());
    EXPECT_EQ(found, c.expected < 0 ? nullptr : c.buffer.data() + c.expected);
  }
}

TEST(FindBytes, AgreesWithStdSearchOnSmallAlphabet) {
  std::mt19937 random(99);
  std::uniform_int_distribution<int> symbol(0, 2);  // '\0', 'a', 'b'
  const char alphabet[] = {'\0', 'a', 'b'};
  for (int round = 0; round < 5000; ++round) {
    std::string buffer(random() % 12, '\0');
    std::string needle(random() % 5, '\0');
    for (char& c : buffer) c = alphabet[symbol(random)];
    for (char& c : needle) c = alphabet[symbol(random)];
    const char* found = findBytes(buffer.data(), buffer.size(), needle.data(), needle.size());
    auto reference = std::search(buffer.begin(), buffer.end(), needle.begin(), needle.end());
    if (buffer.empty() || reference == buffer.end()) {
      ASSERT_EQ(found, nullptr) << round;
    } else {
      ASSERT_EQ(found, buffer.data() + (reference - buffer.begin())) << round;
    }
  }
}

TEST(HexConversion, BothDirections) {
  EXPECT_EQ(hexToBytes("0aff"), "\x0A\xFF");
  EXPECT_EQ(hexToBytes("0AfF"), "\x0A\xFF");
  EXPECT_EQ(hexToBytes(""), "");
  // A pair that is not hexadecimal keeps what the stream could read.
  EXPECT_EQ(hexToBytes("1g"), "\x01");
  EXPECT_EQ(hexToBytes("zz"), "\0"s);
  try {
    hexToBytes("abc");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "String is not valid length ...");
  }
  const unsigned char bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(bytesToHex(bytes, 3), "000fa0");
  EXPECT_EQ(bytesToHex(bytes, 0), "");
  EXPECT_EQ(hexToBytes(bytesToHex(bytes, 4)), std::string(reinterpret_cast<const char*>(bytes), 4));
}

TEST(Join, Separators) {
  EXPECT_EQ(join({}, ", "), "");
  EXPECT_EQ(join({"a"}, ", "), "a");
  EXPECT_EQ(join({"a", "", "c"}, ","), "a,,c");
}

}  // namespace
