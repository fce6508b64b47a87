#include "common/http/HttpDateTimeParser.h"

#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>

#include <string>

#include "support/LogCapture.h"

namespace quorvel::http {
namespace {

using quorvel::testing::LogCapture;

const std::string kPrefix = "[cid:3]  ";

// A time and no log line, or -1 and one trace line.
TEST(HttpDate, ParsesOrRefusesWithOneTraceLine) {
  const std::string rfc850 = "Sunday, 06-Nov-94 08:49:37 GMT";
  const std::tuple<std::string, time_t, std::string> cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777, ""},
      // Neither day name nor zone is looked at; a leap second rolls into the next minute.
      {"Xyz,06 Nov 1994 08:49:60", 784111800, ""},
      {"Thu, 31 Feb 2000 00:00:00 GMT", 951955200, ""},  // into March
      {rfc850, -1, "Failed to parse HTTP date: " + rfc850},
      {"Sun, 06 nov 1994 08:49:37 GMT", -1, "Invalid HTTP month: nov"},
      {"Sun, 00 Nov 1994 08:49:37 GMT", -1, "Invalid HTTP day: 0"},
      {"Sun, 06 Nov 1994 24:49:37 GMT", -1, "Invalid HTTP hour: 24"},
      {"Sun, 06 Nov 1994 08:60:37 GMT", -1, "Invalid HTTP min: 60"},
      {"Sun, 06 Nov 1994 08:49:61 GMT", -1, "Invalid HTTP sec: 61"},
      {"Sun, 06 Nov 1969 08:49:37 GMT", -1, "Invalid HTTP year: 1969"},
      // Numbers that do not fit an int are refused, not wrapped into range:
      // 4294969290 is 1994 modulo 2^32.
      {"Sun, 06 Nov 4294969290 08:49:37 GMT", -1, "Invalid HTTP year: 4294969290"},
  };
  for (const auto& [text, expected, trace] : cases) {
    LogCapture capture;
    EXPECT_EQ(HttpDateTimeParser::fromHTTPDate(text, kPrefix), expected) << text;
    EXPECT_EQ(capture.lines().size(), trace.empty() ? 0u : 1u) << text;
    EXPECT_TRUE(trace.empty() || capture.contains(kPrefix + trace, log4cplus::TRACE_LOG_LEVEL)) << text;
  }
}

}  // namespace
}  // namespace quorvel::http
