#pragma once

#include <boost/program_options/options_description.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::calvexa {

// log4cplus level number for a level word (any case), -1 for anything else.
int parseLogLevel(std::string text);

// What the command line asked for, before any of it reaches the context.
class CommandLine {
 public:
  static boost::program_options::options_description describeOptions();
  // Throws the option library's exceptions for unknown options, missing
  // values and values that are not a port number (0..65535).
  static CommandLine parse(int argc, const char* const argv[],
                           const boost::program_options::options_description& description);

  bool help = false;
  bool version = false;
  std::uint16_t port = 0;  // 0: none given
  std::string certFile;    // empty: none given
  std::string keyFile;
  std::string chainFile;   // empty also when given as "none"
  std::optional<std::string> logLevel;
};

}  // namespace quorvel::calvexa
