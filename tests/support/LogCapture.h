// Captures what the program logs, for tests that assert on log lines.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "common/utils/LogText.h"

namespace quorvel::testing {

// Ends every window of folded log lines, so that the next line of each kind
// is written in full instead of being folded into an earlier test's.
inline void freshLogWindows() {
  utils::LogRepeatFolder::process().flush(utils::LogRepeatFolder::Clock::now(), true);
}

struct CapturedLine {
  int level = 0;  // log4cplus level number: 0 trace ... 50000 fatal
  std::string message;
  std::string logger;
};

// Attaches itself to the root logger for its lifetime and lowers its level so
// that every line at or above `level` reaches it. It starts fresh windows of
// folded lines, so what it captures does not depend on earlier tests.
class LogCapture {
 public:
  explicit LogCapture(int level = log4cplus::TRACE_LOG_LEVEL) : previousLevel(root.getLogLevel()) {
    freshLogWindows();
    root.addAppender(sink);
    root.setLogLevel(level);
  }
  ~LogCapture() {
    root.removeAppender(sink);
    root.setLogLevel(previousLevel);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedLine> lines() const {
    std::lock_guard<std::mutex> lock(sinkRef().mutex);
    return sinkRef().captured;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(sinkRef().mutex);
    sinkRef().captured.clear();
  }
  // Number of captured lines of the given level (any when -1) containing the text.
  std::size_t count(const std::string& text, int level = -1) const {
    std::size_t n = 0;
    for (const auto& line : lines()) {
      n += (level < 0 || line.level == level) && line.message.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  bool contains(const std::string& text, int level = -1) const { return count(text, level) > 0; }
  // Events a folded line stands for, counted from the lines at `level` that
  // contain the text: one per line written in full plus its
  // " (N more like it not logged)", and N for "N more like it not logged: ".
  std::size_t foldedEvents(const std::string& text, int level) const {
    static const std::regex held(R"(^(\d+) more like it not logged: )");
    static const std::regex note(R"( \((\d+) more like it not logged\)$)");
    std::size_t events = 0;
    for (const auto& line : lines()) {
      std::smatch match;
      if (line.level != level || line.message.find(text) == std::string::npos) {
        continue;
      }
      if (std::regex_search(line.message, match, held)) {
        events += std::stoul(match[1]);
      } else {
        events += 1 + (std::regex_search(line.message, match, note) ? std::stoul(match[1]) : 0);
      }
    }
    return events;
  }

 private:
  struct Sink : log4cplus::Appender {
    ~Sink() override { destructorImpl(); }
    void close() override {}
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
      std::lock_guard<std::mutex> lock(mutex);
      captured.push_back({event.getLogLevel(), event.getMessage(), event.getLoggerName()});
    }
    std::mutex mutex;
    std::vector<CapturedLine> captured;
  };
  Sink& sinkRef() const { return static_cast<Sink&>(*sink); }

  log4cplus::SharedAppenderPtr sink{new Sink};
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  int previousLevel;
};

}  // namespace quorvel::testing
