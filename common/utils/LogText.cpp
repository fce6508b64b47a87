#include "common/utils/LogText.h"

#include <cstdio>

namespace quorvel::utils {

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

bool LogRepeatFolder::admit(std::string_view text, std::size_t& folded) {
  return admit(text, folded, std::chrono::steady_clock::now());
}

bool LogRepeatFolder::admit(std::string_view text, std::size_t& folded, std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = entries.find(std::string(text));
  if (found != entries.end() && now - found->second.written < window) {
    ++found->second.folded;
    return false;
  }
  if (found == entries.end()) {
    if (entries.size() >= kMaxTexts) {
      entries.clear();
    }
    found = entries.emplace(std::string(text), Entry{}).first;
  }
  folded = found->second.folded;
  found->second = Entry{now, 0};
  return true;
}

std::string foldedNote(std::size_t folded) {
  return folded == 0 ? std::string() : " (" + std::to_string(folded) + " more like it not logged)";
}

}  // namespace quorvel::utils
