#include "common/utils/LogText.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::utils {

namespace {
// No logger has an empty name, so no line's own key can be this one.
const std::string kOtherKinds = "\nlines of other kinds";
}  // namespace

std::string escapeForLog(std::string_view text, std::size_t limit) {
  const std::string_view shown = text.substr(0, limit);
  std::string out;
  out.reserve(shown.size() + 32);
  for (const unsigned char c : shown) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out.append(hex);
    }
  }
  if (text.size() > shown.size()) {
    out += "... (" + std::to_string(text.size() - shown.size()) + " bytes cut)";
  }
  return out;
}

void LogRepeatFolder::write(const log4cplus::Logger& logger, log4cplus::LogLevel level, const std::string& logPrefix,
                            const std::string& kind, const std::string& text, const LogSite& site,
                            Clock::time_point now) {
  // Two loggers may share a text; each keeps its own window.
  std::string key = logger.getName() + '\n' + kind;
  bool repeat = false;
  std::size_t folded = 0;
  std::vector<std::pair<std::string, Window>> crowdedOut;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = windows.find(key);
    if (found != windows.end() && now - found->second.opened < window) {
      ++found->second.held;
      repeat = true;
    } else if (found != windows.end()) {
      folded = std::exchange(found->second.held, 0);
      found->second.opened = now;
    } else {
      if (windows.size() >= kMaxKinds) {
        crowdedOut = endWindows([&](const Window& held) { return now - held.opened >= window; });
      }
      if (windows.size() < kMaxKinds) {
        windows.emplace(std::move(key), Window{logger, level, site, now, 0});
      } else {
        // Too many kinds at once: the newcomers share one window, written
        // only as a count, so no variety of lines escapes the folding.
        ++windows.try_emplace(kOtherKinds, Window{logger, level, site, now, 0}).first->second.held;
        repeat = true;
      }
    }
  }
  for (const auto& [heldKey, ended] : crowdedOut) writeHeld(heldKey, ended);
  if (repeat) {
    LOG4CPLUS_DEBUG(logger, logPrefix << text);
  } else if (logger.isEnabledFor(level)) {
    logger.forcedLog(level, logPrefix + text + foldedNote(folded), site.file, site.line, site.function);
  }
}

template <typename Done>
std::vector<std::pair<std::string, LogRepeatFolder::Window>> LogRepeatFolder::endWindows(Done done) {
  std::vector<std::pair<std::string, Window>> ended;
  for (auto it = windows.begin(); it != windows.end();) {
    if (!done(it->second)) {
      ++it;
      continue;
    }
    if (it->second.held != 0) {
      ended.emplace_back(it->first, std::move(it->second));
    }
    it = windows.erase(it);
  }
  return ended;
}

void LogRepeatFolder::flush(Clock::time_point now, bool all) {
  std::vector<std::pair<std::string, Window>> ended;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ended = endWindows([&](const Window& held) { return all || now - held.opened >= window; });
  }
  for (const auto& [key, held] : ended) writeHeld(key, held);
}

bool LogRepeatFolder::holding() {
  std::lock_guard<std::mutex> lock(mutex);
  return std::any_of(windows.begin(), windows.end(), [](const auto& entry) { return entry.second.held != 0; });
}

void LogRepeatFolder::writeHeld(const std::string& key, const Window& ended) {
  if (ended.logger.isEnabledFor(ended.level)) {
    const std::string_view kind = std::string_view(key).substr(key.find('\n') + 1);
    ended.logger.forcedLog(ended.level, std::to_string(ended.held) + " more like it not logged: " + std::string(kind),
                           ended.site.file, ended.site.line, ended.site.function);
  }
}

LogRepeatFolder& LogRepeatFolder::process() {
  static auto* const folder = new LogRepeatFolder();
  return *folder;
}

std::string foldedNote(std::size_t folded) {
  return folded == 0 ? std::string() : " (" + std::to_string(folded) + " more like it not logged)";
}

}  // namespace quorvel::utils
