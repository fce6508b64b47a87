#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvel::utils {

// Client bytes a log line carries at most: enough to recognise a request,
// too few for one client to flood the log.
inline constexpr std::size_t kLogClientBytes = 256;
// Repeats of a warning any client can cause are folded within this window.
inline constexpr std::chrono::seconds kLogRepeatWindow{10};

// Client text made safe for a log line: control bytes, backslashes and bytes
// outside ASCII as "\xHH" (so none can forge a line), and at most `limit`
// input bytes, followed by a note of how many were cut.
std::string escapeForLog(std::string_view text, std::size_t limit = kLogClientBytes);

// Folds repeats of one log line within a time window: the first is written,
// the rest only counted, and the count goes out with the next line written
// for the same text, so a flood of clients costs a line per window.
class LogRepeatFolder {
 public:
  // Distinct texts remembered at most; beyond that all are forgotten, which
  // only costs a few extra lines.
  static constexpr std::size_t kMaxTexts = 64;

  explicit LogRepeatFolder(std::chrono::steady_clock::duration window) : window(window) {}

  // Whether to write the line `text` now. When true, `folded` is the number
  // of repeats held back since the last one written.
  bool admit(std::string_view text, std::size_t& folded);
  bool admit(std::string_view text, std::size_t& folded, std::chrono::steady_clock::time_point now);

 private:
  struct Entry {
    std::chrono::steady_clock::time_point written;
    std::size_t folded = 0;
  };

  const std::chrono::steady_clock::duration window;
  std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;
};

// " (N more like it not logged)", or nothing when none were folded.
std::string foldedNote(std::size_t folded);

}  // namespace quorvel::utils
