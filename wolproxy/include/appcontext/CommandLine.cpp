#include "wolproxy/include/appcontext/CommandLine.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>

#include <array>
#include <limits>
#include <utility>

namespace quorvel::calvexa {

namespace po = boost::program_options;

namespace {

// A port value that the option library checks while parsing, so a number
// outside 0..65535 is reported like any other bad option value.
struct PortOption {
  int value = 0;
};

// Found by argument-dependent lookup from the option library.
void validate(boost::any& target, const std::vector<std::string>& values, PortOption*, int) {
  po::validators::check_first_occurrence(target);
  const std::string& text = po::validators::get_single_string(values);
  int number = 0;
  if (!boost::conversion::try_lexical_convert(text, number) || number < 0 ||
      number > std::numeric_limits<std::uint16_t>::max()) {
    throw po::invalid_option_value(text);
  }
  target = PortOption{number};
}

}  // namespace

int parseLogLevel(std::string text) {
  static constexpr std::array<std::pair<const char*, int>, 7> kLevels = {{{"trace", 0},
                                                                          {"debug", 10000},
                                                                          {"info", 20000},
                                                                          {"warn", 30000},
                                                                          {"error", 40000},
                                                                          {"fatal", 50000},
                                                                          {"off", 60000}}};
  for (const auto& [name, level] : kLevels) {
    if (boost::algorithm::iequals(text, name)) {
      return level;
    }
  }
  return -1;
}

po::options_description CommandLine::describeOptions() {
  po::options_description description("Nimbrel options");
  description.add_options()                                                   //
      ("help,h", po::bool_switch()->default_value(false), "print help")        //
      ("version,v", po::bool_switch()->default_value(false), "print version")  //
      ("port,p", po::value<PortOption>()->default_value(PortOption{}, "0"), "specify the https port")  //
      ("cert,c", po::value<std::string>(), "external certificate file in pem format")                  //
      ("key,k", po::value<std::string>(), "external private key file in pem format")                   //
      ("chain,a", po::value<std::string>(), "external chain file in pem format")                       //
      ("loglevel,l", po::value<std::string>(),
       "sets the loglevel, possible values are: 'trace', 'debug', 'info', 'warn', 'error', 'fatal' and 'off'.");
  return description;
}

CommandLine CommandLine::parse(int argc, const char* const argv[], const po::options_description& description) {
  po::variables_map values;
  po::store(po::parse_command_line(argc, argv, description), values);
  po::notify(values);

  CommandLine result;
  result.help = values["help"].as<bool>();
  result.version = values["version"].as<bool>();
  result.port = static_cast<std::uint16_t>(values["port"].as<PortOption>().value);
  if (values.count("cert") != 0) {
    result.certFile = values["cert"].as<std::string>();
  }
  if (values.count("key") != 0) {
    result.keyFile = values["key"].as<std::string>();
  }
  if (values.count("chain") != 0) {
    const std::string& chain = values["chain"].as<std::string>();
    if (!boost::algorithm::iequals(chain, "none")) {
      result.chainFile = chain;
    }
  }
  if (values.count("loglevel") != 0) {
    result.logLevel = values["loglevel"].as<std::string>();
  }
  return result;
}

}  // namespace quorvel::calvexa
