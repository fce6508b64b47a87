#include "wolproxy/include/appcontext/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace quorvel::calvexa {
namespace {

CommandLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "nimbrel");
  std::vector<const char*> argv;
  for (const auto& arg : args) {
    argv.push_back(arg.c_str());
  }
  return CommandLine::parse(static_cast<int>(argv.size()), argv.data(), CommandLine::describeOptions());
}

std::string parseError(const std::vector<std::string>& args) {
  try {
    parse(args);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// What users see for --help and after every option error.
TEST(CommandLineTest, HelpTextIsTheLibraryLayoutOfTheOptions) {
  std::ostringstream out;
  out << CommandLine::describeOptions();
  EXPECT_EQ(out.str(),
            "Nimbrel options:\n"
            "  -h [ --help ]          print help\n"
            "  -v [ --version ]       print version\n"
            "  -p [ --port ] arg (=0) specify the https port\n"
            "  -c [ --cert ] arg      external certificate file in pem format\n"
            "  -k [ --key ] arg       external private key file in pem format\n"
            "  -a [ --chain ] arg     external chain file in pem format\n"
            "  -l [ --loglevel ] arg  sets the loglevel, possible values are: 'trace', \n"
            "                         'debug', 'info', 'warn', 'error', 'fatal' and 'off'.\n");
}

TEST(CommandLineTest, PortsOutsideTheRangeAreOptionErrors) {
  const std::pair<std::vector<std::string>, int> accepted[] = {
      {{}, 0}, {{"-p", "8443"}, 8443}, {{"--port=65535"}, 65535}};
  for (const auto& [args, port] : accepted) {
    EXPECT_EQ(parse(args).port, port);
  }
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"-p", "65536"}, "the argument ('65536') for option '--port' is invalid"},
      {{"--port=-1"}, "the argument ('-1') for option '--port' is invalid"},
      {{"-p", "99999999999"}, "the argument ('99999999999') for option '--port' is invalid"},
      {{"-p", "1444", "-p", "1445"}, "option '--port' cannot be specified more than once"},
      {{"--bogus"}, "unrecognised option '--bogus'"}};
  for (const auto& [args, error] : refused) {
    EXPECT_EQ(parseError(args), error);
  }
}

TEST(CommandLineTest, ParseLogLevel) {
  const std::pair<std::string, int> cases[] = {{"trace", 0},    {"info", 20000}, {"off", 60000}, {"WARN", 30000},
                                               {"verbose", -1}, {"", -1},        {"info ", -1},  {"20000", -1}};
  for (const auto& [text, level] : cases) {
    EXPECT_EQ(parseLogLevel(text), level) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace quorvel::calvexa
