#pragma once

#include <ctime>
#include <string>

namespace quorvel::http {

// Converts between IMF-fixdate texts ("Sun, 06 Nov 1994 08:49:37 GMT", always
// UTC) and time_t. Never throws: failures are logged at TRACE and reported as
// -1 or the empty text.
class HttpDateTimeParser {
 public:
  static time_t fromHTTPDate(const std::string& date, const std::string& logPrefix);
  static std::string toHTTPDate(time_t time, const std::string& logPrefix);
};

}  // namespace quorvel::http
