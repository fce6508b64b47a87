#include "common/http/HttpDateTimeParser.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <cstdint>
#include <limits>
#include <string>

#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using quorvel::testing::LogCapture;

const std::string kPrefix = "[cid:3]  ";

struct GoodDate {
  const char* text;
  time_t expected;
};

class HttpDateParsesTest : public ::testing::TestWithParam<GoodDate> {};

TEST_P(HttpDateParsesTest, GivesTheTime) {
  LogCapture capture;
  EXPECT_EQ(HttpDateTimeParser::fromHTTPDate(GetParam().text, kPrefix), GetParam().expected);
  EXPECT_TRUE(capture.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dates, HttpDateParsesTest,
    ::testing::Values(GoodDate{"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
                      GoodDate{"Thu, 01 Jan 1970 00:00:00 GMT", 0},
                      GoodDate{"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
                      // Neither the day name nor the zone is looked at.
                      GoodDate{"Xyz, 06 Nov 1994 08:49:37 UTC", 784111777},
                      GoodDate{"Sun, 06 Nov 1994 08:49:37", 784111777},
                      GoodDate{"Sun,06 Nov 1994 08:49:37 GMT", 784111777},
                      // A leap second rolls into the next minute.
                      GoodDate{"Sun, 06 Nov 1994 08:49:60 GMT", 784111800},
                      // Day 31 of February is not refused; it lands in March.
                      GoodDate{"Thu, 31 Feb 2000 00:00:00 GMT", 951955200}));

struct BadDate {
  std::string text;
  std::string trace;  // expected message after the prefix
};

class HttpDateRefusedTest : public ::testing::TestWithParam<BadDate> {};

TEST_P(HttpDateRefusedTest, GivesMinusOneWithOneTraceLine) {
  LogCapture capture;
  EXPECT_EQ(HttpDateTimeParser::fromHTTPDate(GetParam().text, kPrefix), -1);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].logger, "DateTime");
  EXPECT_EQ(lines[0].level, log4cplus::TRACE_LOG_LEVEL);
  EXPECT_EQ(lines[0].message, kPrefix + GetParam().trace);
}

const std::string kRfc850 = "Sunday, 06-Nov-94 08:49:37 GMT";
const std::string kAsctime = "Sun Nov  6 08:49:37 1994";
const std::string kTruncated = "Sun, 06 Nov 1994 08:49";
const std::string kLongMonth = "Sun, 06 November 1994 08:49:37 GMT";
const std::string kWithNul("Sun, 06 Nov\0 1994 08:49:37 GMT", 30);

INSTANTIATE_TEST_SUITE_P(
    Malformed, HttpDateRefusedTest,
    ::testing::Values(BadDate{kRfc850, "Failed to parse HTTP date: " + kRfc850},
                      BadDate{kAsctime, "Failed to parse HTTP date: " + kAsctime},
                      BadDate{"", "Failed to parse HTTP date: "},
                      BadDate{kTruncated, "Failed to parse HTTP date: " + kTruncated},
                      BadDate{kLongMonth, "Failed to parse HTTP date: " + kLongMonth},
                      BadDate{kWithNul, "Failed to parse HTTP date: " + kWithNul},
                      BadDate{"Sun, 06 nov 1994 08:49:37 GMT", "Invalid HTTP month: nov"},
                      BadDate{"Sun, 06 No 1994 08:49:37 GMT", "Invalid HTTP month: No"}));

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, HttpDateRefusedTest,
    ::testing::Values(BadDate{"Sun, 00 Nov 1994 08:49:37 GMT", "Invalid HTTP day: 0"},
                      BadDate{"Sun, 32 Nov 1994 08:49:37 GMT", "Invalid HTTP day: 32"},
                      BadDate{"Sun, -1 Nov 1994 08:49:37 GMT", "Invalid HTTP day: -1"},
                      BadDate{"Sun, 06 Nov 1994 24:49:37 GMT", "Invalid HTTP hour: 24"},
                      BadDate{"Sun, 06 Nov 1994 08:60:37 GMT", "Invalid HTTP min: 60"},
                      BadDate{"Sun, 06 Nov 1994 08:49:61 GMT", "Invalid HTTP sec: 61"},
                      BadDate{"Sun, 06 Nov 1969 08:49:37 GMT", "Invalid HTTP year: 1969"},
                      BadDate{"Sun, 06 Nov 10000 08:49:37 GMT", "Invalid HTTP year: 10000"},
                      // Checks run in a fixed order; only the first failure is reported.
                      BadDate{"Sun, 00 Nov 1969 25:61:61 GMT", "Invalid HTTP day: 0"},
                      BadDate{"Sun, 00 nov 1994 08:49:37 GMT", "Invalid HTTP month: nov"}));

// Numbers that do not fit an int must be refused, not wrapped into range:
// 4294969290 is 1994 modulo 2^32.
INSTANTIATE_TEST_SUITE_P(
    Overflow, HttpDateRefusedTest,
    ::testing::Values(BadDate{"Sun, 06 Nov 4294969290 08:49:37 GMT", "Invalid HTTP year: 4294969290"},
                      BadDate{"Sun, 4294967302 Nov 1994 08:49:37 GMT", "Invalid HTTP day: 4294967302"},
                      BadDate{"Sun, 06 Nov 1994 08:49:99999999999999999999999 GMT",
                              "Invalid HTTP sec: 99999999999999999999999"},
                      BadDate{"Sun, 06 Nov 1994 -99999999999999999999:49:37 GMT",
                              "Invalid HTTP hour: -99999999999999999999"}));

TEST(HttpDateFormat, KnownTimes) {
  LogCapture capture;
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(784111777, kPrefix), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(0, kPrefix), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(253402300799, kPrefix), "Fri, 31 Dec 9999 23:59:59 GMT");
  EXPECT_TRUE(capture.lines().empty());
}

TEST(HttpDateFormat, RoundTripsAcrossTheRange) {
  constexpr time_t kLast = 253402300799;
  constexpr time_t kStep = 86400 * 365 + 3607;  // walks through every weekday, month and hour
  for (time_t t = 0; t <= kLast; t += kStep) {
    std::string text = HttpDateTimeParser::toHTTPDate(t, "");
    ASSERT_EQ(text.size(), 29u) << t;
    ASSERT_EQ(HttpDateTimeParser::fromHTTPDate(text, ""), t) << text;
  }
}

TEST(HttpDateFormat, UnrepresentableTimesGiveEmptyText) {
  LogCapture capture;
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(std::numeric_limits<time_t>::max(), kPrefix), "");
  EXPECT_TRUE(capture.contains(kPrefix + "gmtime_r failed for given time_t to convert!", log4cplus::TRACE_LOG_LEVEL));

  // Before 1900 and after year 11900 the year check refuses.
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(-2208988801, kPrefix), "");
  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(313392067200, kPrefix), "");
  EXPECT_EQ(capture.count(kPrefix + "year out of range!", log4cplus::TRACE_LOG_LEVEL), 2u);

  EXPECT_EQ(HttpDateTimeParser::toHTTPDate(-2208988800, kPrefix), "Mon, 01 Jan 1900 00:00:00 GMT");
  // The widest year still fits the buffer.
  std::string widest = HttpDateTimeParser::toHTTPDate(313392067199, kPrefix);
  EXPECT_EQ(widest.substr(3), ", 31 Dec 11900 23:59:59 GMT");
}

}  // namespace
}  // namespace quorvel::http
