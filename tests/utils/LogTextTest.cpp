#include "common/utils/LogText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/LogCapture.h"

namespace {

using namespace quorvel::utils;
using quorvel::testing::LogCapture;
using namespace std::string_literals;
using namespace std::chrono_literals;

TEST(EscapeForLog, EscapesAndCaps) {
  const struct {
    std::string text;
    std::size_t limit;
    std::string expected;
  } cases[] = {
      {"a\r\nINFO forged\\\x7f\xff\0"s, 256, "a\\x0d\\x0aINFO forged\\x5c\\x7f\\xff\\x00"},
      {std::string(40000, 'A'), 256, std::string(256, 'A').append("... (39744 bytes cut)")},
      {"\x01\x02\x03", 2, "\\x01\\x02... (1 bytes cut)"},  // the cap counts input bytes, not escapes
      {"abc", 3, "abc"},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeForLog(c.text, c.limit), c.expected);
  EXPECT_EQ(escapeForLog(std::string(300, 'x')).size(), 256 + std::string("... (44 bytes cut)").size());
}

TEST(LogRepeatFolder, WritesOncePerWindowAndAccountsForEveryRepeat) {
  LogCapture log;
  const log4cplus::Logger logger = log4cplus::Logger::getInstance("FolderTest");
  LogRepeatFolder folder(10s);
  const auto t0 = LogRepeatFolder::Clock::time_point{} + 1h;
  constexpr const char* kVersion = "handshake: wrong version";
  // A step writes `text` (folded by `kind`, the text itself when null), or
  // flushes when `text` is null; `written` is what it adds at WARN.
  const struct {
    std::chrono::seconds at;
    const char* kind;
    const char* text;
    bool all;
    std::vector<std::string> written;
  } steps[] = {
      {0s, nullptr, kVersion, false, {"[c]  handshake: wrong version"}},
      {1s, nullptr, kVersion, false, {}},
      {9s, nullptr, kVersion, false, {}},
      {9s, nullptr, "handshake: no shared cipher", false, {"[c]  handshake: no shared cipher"}},
      {9s, nullptr, nullptr, false, {}},  // no window has ended yet
      {10s, nullptr, kVersion, false, {"[c]  handshake: wrong version (2 more like it not logged)"}},
      {11s, nullptr, kVersion, false, {}},
      // The held repeat is written once its window ends; a window without repeats says nothing.
      {20s, nullptr, nullptr, false, {"1 more like it not logged: handshake: wrong version"}},
      {20s, nullptr, kVersion, false, {"[c]  handshake: wrong version"}},
      // Texts of one kind fold together, whatever value the client put in them.
      {21s, "chunk too long", "chunk too long: 99", false, {"[c]  chunk too long: 99"}},
      {22s, "chunk too long", "chunk too long: 12", false, {}},
      // At stop, windows still open give up their counts too.
      {23s, nullptr, nullptr, true, {"1 more like it not logged: chunk too long"}},
      {24s, "chunk too long", "chunk too long: 7", false, {"[c]  chunk too long: 7"}},
  };
  std::size_t seen = 0;
  for (const auto& step : steps) {
    const auto now = t0 + step.at;
    if (step.text == nullptr) {
      folder.flush(now, step.all);
    } else {
      folder.write(logger, log4cplus::WARN_LOG_LEVEL, "[c]  ", step.kind ? step.kind : step.text, step.text, {}, now);
    }
    std::vector<std::string> written;
    const auto lines = log.lines();
    for (; seen < lines.size(); ++seen) {
      if (lines[seen].level == log4cplus::WARN_LOG_LEVEL) written.push_back(lines[seen].message);
    }
    EXPECT_EQ(written, step.written) << "at " << step.at.count() << " s: " << (step.text ? step.text : "flush");
  }
  // Each repeat is still there to follow, at DEBUG.
  EXPECT_EQ(log.count("[c]  handshake: wrong version", log4cplus::DEBUG_LOG_LEVEL), 3u);
}

// The lines a logger wrote above DEBUG, as level and text.
std::vector<std::pair<int, std::string>> writtenBy(const LogCapture& log, const std::string& logger) {
  std::vector<std::pair<int, std::string>> written;
  for (const auto& line : log.lines()) {
    if (line.logger == logger && line.level > log4cplus::DEBUG_LOG_LEVEL) {
      written.emplace_back(line.level, line.message);
    }
  }
  return written;
}

TEST(LogRepeatFolder, ManyKindsAtOnceLoseNoCount) {
  LogCapture log;
  LogRepeatFolder folder(10s);
  const auto t0 = LogRepeatFolder::Clock::time_point{} + 1h;
  constexpr std::size_t kKinds = 200;
  // Two places crowded at once: each counts its own overflow, under its own logger and level.
  const struct {
    log4cplus::Logger logger;
    log4cplus::LogLevel level;
    LogSite site;
  } places[] = {
      {log4cplus::Logger::getInstance("FolderRefused"), log4cplus::ERROR_LOG_LEVEL, {"Refused.cpp", 10, "refuse"}},
      {log4cplus::Logger::getInstance("FolderReset"), log4cplus::WARN_LOG_LEVEL, {"Reset.cpp", 20, "reset"}},
  };
  for (int round = 0; round < 3; ++round) {
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
      for (const auto& place : places) {
        const std::string text = "kind " + std::to_string(kind) + ";";
        folder.write(place.logger, place.level, "", text, text, place.site, t0 + std::chrono::milliseconds(kind));
      }
    }
  }
  EXPECT_TRUE(folder.holding());
  folder.flush(t0 + 1s, true);
  EXPECT_FALSE(folder.holding());
  for (const auto& place : places) {
    const auto written = writtenBy(log, place.logger.getName());
    // 64 kinds get windows of their own, each written twice; the rest share one, written as a count.
    ASSERT_EQ(written.size(), 2 * 64 + 1) << place.logger.getName();
    EXPECT_EQ(std::count(written.begin(), written.end(),
                         std::pair<int, std::string>(place.level, "408 more like it not logged: lines of other kinds")),
              1)
        << place.logger.getName();
    const auto atItsLevel = [&](const auto& line) { return line.first == place.level; };
    EXPECT_TRUE(std::all_of(written.begin(), written.end(), atItsLevel)) << place.logger.getName();
  }
  for (const std::size_t kind : {0, 63}) {
    EXPECT_EQ(log.foldedEvents("kind " + std::to_string(kind) + ";", log4cplus::ERROR_LOG_LEVEL), 3u) << kind;
  }
}

// No variety of lines from one place keeps another place's line from being
// written and counted, whether the flood's level is on or off.
TEST(LogRepeatFolder, AFloodOfKindsFromOnePlaceLeavesOtherPlacesAlone) {
  LogCapture log;
  log4cplus::Logger flood = log4cplus::Logger::getInstance("FolderFlood");
  log4cplus::Logger wake = log4cplus::Logger::getInstance("FolderWake");
  const auto t0 = LogRepeatFolder::Clock::time_point{} + 1h;
  const std::string failed = "Sending Wake On Lan packet failed!";
  const struct {
    log4cplus::LogLevel loggersAt;
    std::size_t floodLines;  // including its count of other kinds
  } cases[] = {{log4cplus::INFO_LOG_LEVEL, 64 + 1}, {log4cplus::ERROR_LOG_LEVEL, 0}};
  for (const auto& c : cases) {
    log.clear();
    flood.setLogLevel(c.loggersAt);
    wake.setLogLevel(c.loggersAt);
    LogRepeatFolder folder(10s);
    for (int kind = 0; kind < 200; ++kind) {
      const std::string text = "handshake failed: alert " + std::to_string(kind);
      folder.write(flood, log4cplus::WARN_LOG_LEVEL, "", text, text, {"Tls.cpp", 10, "handshake"}, t0);
    }
    for (int i = 0; i < 3; ++i) {
      folder.write(wake, log4cplus::ERROR_LOG_LEVEL, "[c]  ", failed, failed, {"Wol.cpp", 20, "wake"}, t0 + 1s);
    }
    folder.flush(t0 + 2s, true);
    const std::vector<std::pair<int, std::string>> wakeLines{
        {log4cplus::ERROR_LOG_LEVEL, "[c]  " + failed},
        {log4cplus::ERROR_LOG_LEVEL, "2 more like it not logged: " + failed}};
    EXPECT_EQ(writtenBy(log, "FolderWake"), wakeLines) << c.loggersAt;
    const auto floodLines = writtenBy(log, "FolderFlood");
    EXPECT_EQ(floodLines.size(), c.floodLines) << c.loggersAt;
    const std::pair<int, std::string> otherKinds{log4cplus::WARN_LOG_LEVEL,
                                                 "136 more like it not logged: lines of other kinds"};
    EXPECT_EQ(std::count(floodLines.begin(), floodLines.end(), otherKinds), c.floodLines == 0 ? 0 : 1) << c.loggersAt;
  }
  flood.setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
  wake.setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
}

TEST(LogRepeatFolder, LineWhoseLevelIsOffTakesNoWindow) {
  LogCapture log;
  log4cplus::Logger logger = log4cplus::Logger::getInstance("FolderQuiet");
  LogRepeatFolder folder(10s);
  const auto t0 = LogRepeatFolder::Clock::time_point{} + 1h;
  logger.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
  for (int i = 0; i < 3; ++i) folder.write(logger, log4cplus::WARN_LOG_LEVEL, "", "read failed", "read failed", {}, t0);
  EXPECT_FALSE(folder.holding());
  logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
  // Within the same 10 s, yet the first of its window.
  folder.write(logger, log4cplus::WARN_LOG_LEVEL, "", "read failed", "read failed", {}, t0 + 1s);
  folder.flush(t0 + 1s, true);
  EXPECT_EQ(writtenBy(log, "FolderQuiet"),
            (std::vector<std::pair<int, std::string>>{{log4cplus::WARN_LOG_LEVEL, "read failed"}}));
  logger.setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
}

TEST(LogRepeatFolder, NotesHowManyWereFolded) {
  EXPECT_EQ(foldedNote(0), "");
  EXPECT_EQ(foldedNote(3), " (3 more like it not logged)");
}

}  // namespace
