#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace quorvel::utils {

// Client bytes a log line carries at most: enough to recognise a request,
// too few for one client to flood the log.
inline constexpr std::size_t kLogClientBytes = 256;
// Repeats of a line any client can cause are folded within this window.
inline constexpr std::chrono::seconds kLogRepeatWindow{10};

// Client text made safe for a log line: control bytes, backslashes and bytes
// outside ASCII as "\xHH" (so none can forge a line), and at most `limit`
// input bytes, followed by a note of how many were cut.
std::string escapeForLog(std::string_view text, std::size_t limit = kLogClientBytes);

// Where a folded line was logged from, so its held-back count is written
// with the same origin as the line itself. The texts are literals: the
// folder keeps them for the program's life.
struct LogSite {
  const char* file = nullptr;
  int line = -1;
  const char* function = nullptr;
};

// Folds repeats of a line any client can cause once per connection: the
// first of a text in a window is written, the repeats go to DEBUG and are
// counted, and the count is written when the window has ended, so a flood of
// clients costs a line or two per window and every event is still accounted
// for at the level it was meant for.
//
// Each place that writes such lines (call site, logger and level) keeps its
// own windows, so no variety of lines from one place can keep another
// place's lines from being written or counted.
class LogRepeatFolder {
 public:
  using Clock = std::chrono::steady_clock;
  // Kinds with a window of their own at most, per place; further kinds of
  // the place share one window that is written only as a count.
  static constexpr std::size_t kMaxKinds = 64;

  explicit LogRepeatFolder(Clock::duration window = kLogRepeatWindow) : window(window) {}

  // Writes `logPrefix + text` at `level` when it opens a window for its
  // kind, with " (N more like it not logged)" for repeats not yet accounted
  // for; a repeat within the window goes to DEBUG only. The kind is the
  // text without the parts a client chooses, so varying them folds too.
  // A line whose level is off takes no window and counts nothing.
  void write(const log4cplus::Logger& logger, log4cplus::LogLevel level, const std::string& logPrefix,
             const std::string& kind, const std::string& text, const LogSite& site,
             Clock::time_point now = Clock::now());

  // Writes "N more like it not logged: <kind>" for every window that has
  // ended (every window when `all`, at stop) with repeats held back.
  void flush(Clock::time_point now, bool all = false);

  // Whether a count is still held back, so someone must flush later.
  bool holding();

  // The folder every such line of the process goes through. Never destroyed,
  // so connections still closing at exit can log through it.
  static LogRepeatFolder& process();

 private:
  struct Window {
    Clock::time_point opened;
    std::size_t held = 0;
  };
  // Places are never erased and their first three fields never change, so
  // they may be read outside the lock.
  struct Place {
    log4cplus::Logger logger;
    log4cplus::LogLevel level;
    LogSite site;
    std::unordered_map<std::string, Window> windows;
    std::optional<Window> otherKinds;
  };
  struct PlaceKey {
    std::string_view file;
    int line;
    log4cplus::LogLevel level;
    std::string_view logger;  // the name held by the place's own logger
    bool operator==(const PlaceKey&) const = default;
  };
  struct PlaceKeyHash {
    std::size_t operator()(const PlaceKey& key) const noexcept;
  };
  struct Ended {
    const Place* place;
    std::string kind;
    std::size_t held;
  };

  Place& placeOf(const log4cplus::Logger& logger, log4cplus::LogLevel level, const LogSite& site);
  // Ends the place's windows that are over (all when `all`), handing out
  // those with a count to write.
  void endWindows(Place& place, Clock::time_point now, bool all, std::vector<Ended>& ended);
  static void writeHeld(const Ended& ended);

  const Clock::duration window;
  std::mutex mutex;
  std::unordered_map<PlaceKey, Place, PlaceKeyHash> places;
};

// " (N more like it not logged)", or nothing when none were folded.
std::string foldedNote(std::size_t folded);

}  // namespace quorvel::utils

// Log a line any client can repeat through the process's folder, keeping the
// caller's file, line and function. NIMBREL_LOG_FOLDED folds by the whole
// text, NIMBREL_LOG_FOLDED_AS by a fixed kind when the text carries values a
// client chooses. Nothing is built for a level that is off.
#define NIMBREL_LOG_FOLDED_AS(logger, level, logPrefix, kind, text)     \
  do {                                                                  \
    if ((logger).isEnabledFor(level)) {                                 \
      NIMBREL_LOG_FOLDED_WRITE(logger, level, logPrefix, kind, text);   \
    }                                                                   \
  } while (false)
#define NIMBREL_LOG_FOLDED(logger, level, logPrefix, text)                                    \
  do {                                                                                        \
    if ((logger).isEnabledFor(level)) {                                                       \
      const std::string nimbrelFoldedText(text);                                              \
      NIMBREL_LOG_FOLDED_WRITE(logger, level, logPrefix, nimbrelFoldedText, nimbrelFoldedText); \
    }                                                                                         \
  } while (false)
#define NIMBREL_LOG_FOLDED_WRITE(logger, level, logPrefix, kind, text) \
  ::quorvel::utils::LogRepeatFolder::process().write(                  \
      (logger), (level), (logPrefix), (kind), (text),                  \
      ::quorvel::utils::LogSite{__FILE__, __LINE__, LOG4CPLUS_MACRO_FUNCTION()})
