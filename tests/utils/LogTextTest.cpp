#include "common/utils/LogText.h"

#include <gtest/gtest.h>

#include <string>
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

TEST(LogRepeatFolder, ManyKindsAtOnceLoseNoCount) {
  LogCapture log;
  const log4cplus::Logger logger = log4cplus::Logger::getInstance("FolderTest");
  LogRepeatFolder folder(10s);
  const auto t0 = LogRepeatFolder::Clock::time_point{} + 1h;
  constexpr std::size_t kKinds = 200;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
      const std::string text = "refused kind " + std::to_string(kind) + ";";
      folder.write(logger, log4cplus::ERROR_LOG_LEVEL, "", text, text, {}, t0 + std::chrono::milliseconds(kind));
    }
  }
  EXPECT_TRUE(folder.holding());
  folder.flush(t0 + 1s, true);
  EXPECT_FALSE(folder.holding());
  // 64 kinds get windows of their own; the rest share one.
  for (const std::size_t kind : {0, 63}) {
    EXPECT_EQ(log.foldedEvents("refused kind " + std::to_string(kind) + ";", log4cplus::ERROR_LOG_LEVEL), 3u) << kind;
  }
  EXPECT_EQ(log.foldedEvents("refused kind", log4cplus::ERROR_LOG_LEVEL) +
                log.foldedEvents("more like it not logged: lines of other kinds", log4cplus::ERROR_LOG_LEVEL),
            3 * kKinds);
  EXPECT_EQ(log.count("", log4cplus::ERROR_LOG_LEVEL), 2 * 64 + 1);
}

TEST(LogRepeatFolder, NotesHowManyWereFolded) {
  EXPECT_EQ(foldedNote(0), "");
  EXPECT_EQ(foldedNote(3), " (3 more like it not logged)");
}

}  // namespace
