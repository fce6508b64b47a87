// The backtracking request-line expression the parser used to apply, kept as
// an oracle: the linear splitter must take every line apart the same way.
#pragma once

#include <optional>
#include <string>

#include <boost/regex.hpp>

namespace quorvel::testing {

struct ReferenceRequestLine {
  std::string method;
  std::string path;  // as the record stores it
  std::string query;
  std::string version;
};

// Empty when the line is refused. Throws boost::regex_error when the
// expression gives up, which only happens on long hostile lines.
inline std::optional<ReferenceRequestLine> referenceRequestLine(const std::string& line) {
  static const boost::regex requestLine(
      "(OPTIONS|POST|GET|HEAD|PUT|DELETE|RPC_OUT_DATA|RPC_IN_DATA|RDG_OUT_DATA|RDG_IN_DATA)\\s+([^?\\s]+)"
      "((?:[?&][^&\\s]+)*)\\s+HTTP/(.*)");
  static const boost::regex url(
      "^((http[s]?)://)?(([^@/:\\s]+)@)?([^@/:\\s]+)(:([0-9]{1,5}))?(/[^:#?\\s]*)?"
      "(\\?(([^?;&#=]+=[^?;&#=]+)([;|&]([^?;&#=]+=[^?;&#=]+))*))?(#([^#\\s]*))?$");
  boost::smatch match;
  if (!boost::regex_match(line, match, requestLine)) return std::nullopt;
  ReferenceRequestLine result{match[1].str(), match[2].str(), match[3].str(), match[4].str()};
  boost::smatch target;
  const std::string whole = result.path;
  if (boost::regex_match(whole, target, url)) result.path = target[8].matched ? target[8].str() : "";
  if (!result.path.empty() && result.path.back() == '/') result.path.pop_back();
  return result;
}

}  // namespace quorvel::testing
