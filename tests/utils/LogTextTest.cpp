#include "common/utils/LogText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quorvel::utils;
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

TEST(LogRepeatFolder, FoldsRepeatsWithinTheWindow) {
  LogRepeatFolder folder(10s);
  const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
  const struct {
    const char* text;
    std::chrono::seconds at;
    bool written;
    std::size_t folded;  // when written
  } steps[] = {
      {"handshake: wrong version", 0s, true, 0},
      {"handshake: wrong version", 1s, false, 0},
      {"handshake: wrong version", 9s, false, 0},
      {"handshake: no shared cipher", 9s, true, 0},  // another text is not folded into the first
      {"handshake: wrong version", 10s, true, 2},
      {"handshake: wrong version", 25s, true, 0},
  };
  for (const auto& step : steps) {
    std::size_t folded = 99;
    EXPECT_EQ(folder.admit(step.text, folded, t0 + step.at), step.written) << step.text << " at " << step.at.count();
    if (step.written) {
      EXPECT_EQ(folded, step.folded) << step.text << " at " << step.at.count();
    }
  }
  EXPECT_EQ(foldedNote(0), "");
  EXPECT_EQ(foldedNote(3), " (3 more like it not logged)");
}

}  // namespace
