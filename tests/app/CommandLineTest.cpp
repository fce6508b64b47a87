#include "wolproxy/include/appcontext/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace quorvel::calvexa {
namespace {

// What users see for --help and after every option error.
constexpr const char* kHelpText =
    "Nimbrel options:\n"
    "  -h [ --help ]          print help\n"
    "  -v [ --version ]       print version\n"
    "  -p [ --port ] arg (=0) specify the https port\n"
    "  -c [ --cert ] arg      external certificate file in pem format\n"
    "  -k [ --key ] arg       external private key file in pem format\n"
    "  -a [ --chain ] arg     external chain file in pem format\n"
    "  -l [ --loglevel ] arg  sets the loglevel, possible values are: 'trace', \n"
    "                         'debug', 'info', 'warn', 'error', 'fatal' and 'off'.\n";

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

TEST(CommandLineTest, HelpTextIsTheLibraryLayoutOfTheOptions) {
  std::ostringstream out;
  out << CommandLine::describeOptions();
  EXPECT_EQ(out.str(), kHelpText);
}

struct PortCase {
  std::vector<std::string> args;
  int expectedPort;  // -1: an option error
  const char* expectedError;
};

class PortOptionTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortOptionTest, AcceptsOnlyPortNumbers) {
  const PortCase& c = GetParam();
  if (c.expectedPort >= 0) {
    EXPECT_EQ(parse(c.args).port, c.expectedPort);
  } else {
    EXPECT_EQ(parseError(c.args), c.expectedError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortOptionTest,
    ::testing::Values(PortCase{{}, 0, ""}, PortCase{{"-p", "0"}, 0, ""}, PortCase{{"-p", "8443"}, 8443, ""},
                      PortCase{{"--port=65535"}, 65535, ""}, PortCase{{"--port", "1"}, 1, ""},
                      PortCase{{"-p", "65536"}, -1, "the argument ('65536') for option '--port' is invalid"},
                      PortCase{{"-p", "70000"}, -1, "the argument ('70000') for option '--port' is invalid"},
                      PortCase{{"--port=-1"}, -1, "the argument ('-1') for option '--port' is invalid"},
                      PortCase{{"-p", "abc"}, -1, "the argument ('abc') for option '--port' is invalid"},
                      PortCase{{"-p", "99999999999"}, -1, "the argument ('99999999999') for option '--port' is invalid"},
                      PortCase{{"-p", "1444", "-p", "1445"}, -1, "option '--port' cannot be specified more than once"},
                      PortCase{{"-p"}, -1, "the required argument for option '--port' is missing"}));

TEST(CommandLineTest, UnknownOptionIsTheLibrarysError) {
  EXPECT_EQ(parseError({"--bogus"}), "unrecognised option '--bogus'");
  EXPECT_EQ(parseError({"-x"}), "unrecognised option '-x'");
}

TEST(CommandLineTest, SwitchesCombineWithOtherOptions) {
  const CommandLine line = parse({"-p", "8443", "--help", "-v", "-l", "debug"});
  EXPECT_TRUE(line.help);
  EXPECT_TRUE(line.version);
  EXPECT_EQ(line.port, 8443);
  EXPECT_EQ(line.logLevel, "debug");
}

TEST(CommandLineTest, FilesAndTheNoneChain) {
  const CommandLine withFiles = parse({"-c", "/tmp/c.pem", "-k", "/tmp/k.pem", "-a", "/tmp/a.pem"});
  EXPECT_EQ(withFiles.certFile, "/tmp/c.pem");
  EXPECT_EQ(withFiles.keyFile, "/tmp/k.pem");
  EXPECT_EQ(withFiles.chainFile, "/tmp/a.pem");

  for (const char* none : {"none", "NONE", "None"}) {
    EXPECT_EQ(parse({"--chain", none}).chainFile, "") << none;
  }
  EXPECT_EQ(parse({"--cert", ""}).certFile, "");
  EXPECT_FALSE(parse({}).logLevel.has_value());
}

TEST(CommandLineTest, ParseLogLevel) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"trace", 0},     {"debug", 10000}, {"info", 20000},  {"warn", 30000}, {"error", 40000},
      {"fatal", 50000}, {"off", 60000},   {"WARN", 30000},  {"Info", 20000}, {"verbose", -1},
      {"", -1},         {"info ", -1},    {"warning", -1},  {"20000", -1},
  };
  for (const auto& [text, level] : cases) {
    EXPECT_EQ(parseLogLevel(text), level) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace quorvel::calvexa
