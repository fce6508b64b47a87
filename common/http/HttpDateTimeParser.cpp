#include "common/http/HttpDateTimeParser.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

namespace quorvel::http {

namespace {

log4cplus::Logger logger = log4cplus::Logger::getInstance("DateTime");

constexpr std::array<std::string_view, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Longest text an IMF-fixdate can format to here (a five-digit year), plus the NUL.
constexpr std::size_t kDateBufferSize = 32;

constexpr std::int64_t kMinYear = 1970;
constexpr std::int64_t kMaxYear = 9999;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A number read from the date; `overflow` keeps the digits when they do not
// fit, so the log can still show what the client sent.
struct Field {
  std::int64_t value = 0;
  bool overflow = false;
  std::string_view text;
};

std::string describe(const Field& field) {
  return field.overflow ? std::string(field.text) : std::to_string(field.value);
}

// Reads the text with the rules of the conversion "%3s, %d %3s %d %d:%d:%d":
// white space before a conversion is skipped, literal characters must match,
// a blank matches any run of white space (or none). Numbers are read into a
// wide type and never overflow.
class Scanner {
 public:
  explicit Scanner(std::string_view input) : input(input) {}

  void skipSpace() {
    while (pos < input.size() && isSpace(input[pos])) ++pos;
  }

  bool literal(char c) {
    if (pos < input.size() && input[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }

  std::optional<std::string_view> word(std::size_t maxLength) {
    skipSpace();
    std::size_t start = pos;
    while (pos < input.size() && pos - start < maxLength && !isSpace(input[pos])) ++pos;
    if (pos == start) return std::nullopt;
    return input.substr(start, pos - start);
  }

  std::optional<Field> number() {
    skipSpace();
    std::size_t start = pos;
    bool negative = false;
    if (pos < input.size() && (input[pos] == '+' || input[pos] == '-')) {
      negative = input[pos] == '-';
      ++pos;
    }
    std::size_t digitsStart = pos;
    while (pos < input.size() && input[pos] >= '0' && input[pos] <= '9') ++pos;
    if (pos == digitsStart) return std::nullopt;

    Field field;
    field.text = input.substr(start, pos - start);
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(input.data() + digitsStart, input.data() + pos, magnitude);
    (void)end;
    if (error == std::errc::result_out_of_range || magnitude > static_cast<std::uint64_t>(INT64_MAX)) {
      field.overflow = true;
      field.value = negative ? INT64_MIN : INT64_MAX;
    } else {
      field.value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    }
    return field;
  }

 private:
  std::string_view input;
  std::size_t pos = 0;
};

struct ParsedDate {
  int fieldsRead = 0;
  std::string_view month;
  Field day, year, hour, minute, second;
};

ParsedDate scanDate(std::string_view text) {
  ParsedDate date;
  Scanner in(text);
  if (!in.word(3)) return date;
  ++date.fieldsRead;
  if (!in.literal(',')) return date;
  auto day = in.number();
  if (!day) return date;
  date.day = *day;
  ++date.fieldsRead;
  auto month = in.word(3);
  if (!month) return date;
  date.month = *month;
  ++date.fieldsRead;
  auto year = in.number();
  if (!year) return date;
  date.year = *year;
  ++date.fieldsRead;
  auto hour = in.number();
  if (!hour) return date;
  date.hour = *hour;
  ++date.fieldsRead;
  if (!in.literal(':')) return date;
  auto minute = in.number();
  if (!minute) return date;
  date.minute = *minute;
  ++date.fieldsRead;
  if (!in.literal(':')) return date;
  auto second = in.number();
  if (!second) return date;
  date.second = *second;
  ++date.fieldsRead;
  return date;
}

bool inRange(const Field& field, std::int64_t low, std::int64_t high) {
  return !field.overflow && field.value >= low && field.value <= high;
}

}  // namespace

time_t HttpDateTimeParser::fromHTTPDate(const std::string& date, const std::string& logPrefix) {
  // A C string ends at the first NUL; so does an HTTP date.
  ParsedDate parsed = scanDate(std::string_view(date.c_str()));
  if (parsed.fieldsRead < 7) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Failed to parse HTTP date: " << date);
    return -1;
  }

  int monthIndex = -1;
  for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
    if (parsed.month == kMonthNames[i]) {
      monthIndex = static_cast<int>(i);
      break;
    }
  }
  if (monthIndex < 0) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP month: " << parsed.month);
    return -1;
  }

  if (!inRange(parsed.day, 1, 31)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP day: " << describe(parsed.day));
    return -1;
  }
  if (!inRange(parsed.hour, 0, 23)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP hour: " << describe(parsed.hour));
    return -1;
  }
  if (!inRange(parsed.minute, 0, 59)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP min: " << describe(parsed.minute));
    return -1;
  }
  // 60 admits a leap second; timegm rolls it into the next minute.
  if (!inRange(parsed.second, 0, 60)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP sec: " << describe(parsed.second));
    return -1;
  }
  if (!inRange(parsed.year, kMinYear, kMaxYear)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "Invalid HTTP year: " << describe(parsed.year));
    return -1;
  }

  struct tm broken {};
  broken.tm_sec = static_cast<int>(parsed.second.value);
  broken.tm_min = static_cast<int>(parsed.minute.value);
  broken.tm_hour = static_cast<int>(parsed.hour.value);
  broken.tm_mday = static_cast<int>(parsed.day.value);
  broken.tm_mon = monthIndex;
  broken.tm_year = static_cast<int>(parsed.year.value - 1900);
  time_t result = timegm(&broken);
  if (result == -1) {
    LOG4CPLUS_TRACE(logger, logPrefix << "_mkgmtime or timegm failed to convert!");
    return -1;
  }
  return result;
}

std::string HttpDateTimeParser::toHTTPDate(time_t time, const std::string& logPrefix) {
  struct tm broken {};
  if (gmtime_r(&time, &broken) == nullptr) {
    LOG4CPLUS_TRACE(logger, logPrefix << "gmtime_r failed for given time_t to convert!");
    return {};
  }
  if (broken.tm_wday < 0 || broken.tm_wday > 6) {
    LOG4CPLUS_TRACE(logger, logPrefix << "weekday out of range!");
    return {};
  }
  if (broken.tm_mon < 0 || broken.tm_mon > 11) {
    LOG4CPLUS_TRACE(logger, logPrefix << "month out of range!");
    return {};
  }
  if (broken.tm_mday < 1 || broken.tm_mday > 31) {
    LOG4CPLUS_TRACE(logger, logPrefix << "day out of range!");
    return {};
  }
  if (broken.tm_hour < 0 || broken.tm_hour > 23) {
    LOG4CPLUS_TRACE(logger, logPrefix << "hour out of range!");
    return {};
  }
  if (broken.tm_min < 0 || broken.tm_min > 59) {
    LOG4CPLUS_TRACE(logger, logPrefix << "minutes out of range!");
    return {};
  }
  if (broken.tm_sec < 0 || broken.tm_sec > 60) {
    LOG4CPLUS_TRACE(logger, logPrefix << "seconds out of range!");
    return {};
  }
  if (broken.tm_year < 0 || broken.tm_year > 10000) {
    LOG4CPLUS_TRACE(logger, logPrefix << "year out of range!");
    return {};
  }

  char buffer[kDateBufferSize];
  int length = std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[broken.tm_wday],
                             broken.tm_mday, kMonthNames[broken.tm_mon].data(), broken.tm_year + 1900,
                             broken.tm_hour, broken.tm_min, broken.tm_sec);
  if (length < 1 || length >= static_cast<int>(sizeof buffer)) {
    LOG4CPLUS_TRACE(logger, logPrefix << "snprintf failed formatting HTTP date");
    return {};
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace quorvel::http
