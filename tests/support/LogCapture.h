// Captures what the program logs, for tests that assert on log lines.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

namespace quorvel::testing {

struct CapturedLine {
  std::string logger;
  int level = 0;  // log4cplus level number: 0 trace ... 50000 fatal
  std::string message;
};

// Attaches itself to the root logger (or the named one) for its lifetime and
// lowers that logger's level so that every line reaches it.
class LogCapture {
 public:
  explicit LogCapture(int level = log4cplus::TRACE_LOG_LEVEL, const std::string& loggerName = "");
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedLine> lines() const;
  // True when some captured line of the given level (any when -1) contains the text.
  bool contains(const std::string& text, int level = -1) const;
  // Number of captured lines containing the text.
  std::size_t count(const std::string& text, int level = -1) const;
  void clear();

 private:
  class Sink;
  log4cplus::SharedAppenderPtr sink;
  log4cplus::Logger logger;
  int previousLevel;
};

}  // namespace quorvel::testing
