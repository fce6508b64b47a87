#include "common/utils/LogText.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::utils {

namespace {
// A literal, as the never-destroyed folder may use it after static destructors ran.
constexpr const char* kOtherKinds = "lines of other kinds";
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
  // A line nobody would see must not take a window.
  if (!logger.isEnabledFor(level)) {
    return;
  }
  bool repeat = false;
  std::size_t folded = 0;
  std::vector<Ended> crowdedOut;
  {
    std::lock_guard<std::mutex> lock(mutex);
    Place& place = placeOf(logger, level, site);
    const auto found = place.windows.find(kind);
    if (found != place.windows.end() && now - found->second.opened < window) {
      ++found->second.held;
      repeat = true;
    } else if (found != place.windows.end()) {
      folded = std::exchange(found->second.held, 0);
      found->second.opened = now;
    } else {
      if (place.windows.size() >= kMaxKinds) {
        endWindows(place, now, false, crowdedOut);
      }
      if (place.windows.size() < kMaxKinds) {
        place.windows.emplace(kind, Window{now});
      } else {
        // Too many kinds at once: the newcomers share one window, written
        // only as a count, so no variety of lines escapes the folding.
        if (!place.otherKinds) {
          place.otherKinds = Window{now};
        }
        ++place.otherKinds->held;
        repeat = true;
      }
    }
  }
  for (const auto& ended : crowdedOut) writeHeld(ended);
  if (repeat) {
    LOG4CPLUS_DEBUG(logger, logPrefix << text);
  } else {
    logger.forcedLog(level, logPrefix + text + foldedNote(folded), site.file, site.line, site.function);
  }
}

std::size_t LogRepeatFolder::PlaceKeyHash::operator()(const PlaceKey& key) const noexcept {
  std::size_t hash = std::hash<std::string_view>()(key.file);
  for (const std::size_t part : {std::hash<std::string_view>()(key.logger), static_cast<std::size_t>(key.line),
                                 static_cast<std::size_t>(key.level)}) {
    hash = hash * 31 + part;
  }
  return hash;
}

LogRepeatFolder::Place& LogRepeatFolder::placeOf(const log4cplus::Logger& logger, log4cplus::LogLevel level,
                                                 const LogSite& site) {
  const std::string_view file = site.file == nullptr ? "" : site.file;
  const auto found = places.find(PlaceKey{file, site.line, level, logger.getName()});
  if (found != places.end()) {
    return found->second;
  }
  // The key views the name inside the place's own logger, which lives as long as the place.
  Place place{logger, level, site, {}, std::nullopt};
  const PlaceKey key{file, site.line, level, place.logger.getName()};
  return places.emplace(key, std::move(place)).first->second;
}

void LogRepeatFolder::endWindows(Place& place, Clock::time_point now, bool all, std::vector<Ended>& ended) {
  const auto over = [&](const Window& held) { return all || now - held.opened >= window; };
  for (auto it = place.windows.begin(); it != place.windows.end();) {
    if (!over(it->second)) {
      ++it;
      continue;
    }
    if (it->second.held != 0) {
      ended.push_back({&place, it->first, it->second.held});
    }
    it = place.windows.erase(it);
  }
  if (place.otherKinds && over(*place.otherKinds)) {
    ended.push_back({&place, kOtherKinds, place.otherKinds->held});
    place.otherKinds.reset();
  }
}

void LogRepeatFolder::flush(Clock::time_point now, bool all) {
  std::vector<Ended> ended;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [key, place] : places) endWindows(place, now, all, ended);
  }
  for (const auto& held : ended) writeHeld(held);
}

bool LogRepeatFolder::holding() {
  std::lock_guard<std::mutex> lock(mutex);
  const auto holds = [](const auto& kind) { return kind.second.held != 0; };
  return std::any_of(places.begin(), places.end(), [&](const auto& entry) {
    const Place& place = entry.second;
    return place.otherKinds || std::any_of(place.windows.begin(), place.windows.end(), holds);
  });
}

void LogRepeatFolder::writeHeld(const Ended& ended) {
  const Place& place = *ended.place;
  if (place.logger.isEnabledFor(place.level)) {
    place.logger.forcedLog(place.level, std::to_string(ended.held) + " more like it not logged: " + ended.kind,
                           place.site.file, place.site.line, place.site.function);
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
