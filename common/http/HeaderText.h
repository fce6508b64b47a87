// Small text helpers shared by the header records' value parsers.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel::http::headertext {

// White space as isspace sees it in the C locale.
inline constexpr std::string_view kSpace = " \t\n\v\f\r";

inline std::string_view trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

// ASCII only: header tokens are ASCII, and a locale must not change the answer.
inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace quorvel::http::headertext
