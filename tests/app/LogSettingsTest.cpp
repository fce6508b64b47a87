#include "common/base/ApplicationContextBaseLogBoost.h"

#include "TempDir.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <sstream>
#include <vector>

namespace quorvel::common {
namespace {

using boost::property_tree::ptree;
using quorvel::testing::TempDir;

class TestLogContext : public ApplicationContextBaseLogBoost {
 public:
  std::string getConfigFilePath() override { return ""; }
  AppenderSettings& consoleSettings() { return console; }
  AppenderSettings& fileSettings() { return file; }
  AppenderSettings& rollingSettings() { return rollingfile; }
  AppenderSettings& dailySettings() { return dailyrollingfile; }
  AppenderSettings& win32Settings() { return win32debug; }
};

ptree parseXml(const std::string& text) {
  std::istringstream in(text);
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree;
}

ptree loggingXml(const std::string& inner) {
  return parseXml("<server><config><logging>" + inner + "</logging></config></server>");
}

// Every test rebuilds the root logger; put back what the binary had.
class LogSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedAppenders = root.getAllAppenders();
    savedLevel = root.getLogLevel();
    context.consoleSettings().setEnabled(true);
  }
  void TearDown() override {
    root.removeAllAppenders();
    for (auto& appender : savedAppenders) {
      root.addAppender(appender);
    }
    root.setLogLevel(savedLevel);
  }

  template <typename T>
  std::size_t countAppenders() {
    std::size_t n = 0;
    for (auto& appender : root.getAllAppenders()) {
      n += dynamic_cast<T*>(appender.get()) != nullptr ? 1 : 0;
    }
    return n;
  }

  log4cplus::Logger root = log4cplus::Logger::getRoot();
  log4cplus::SharedAppenderPtrList savedAppenders;
  log4cplus::LogLevel savedLevel = 0;
  TestLogContext context;
};

TEST_F(LogSettingsTest, WithoutLoggingSectionOnlyTheConsoleRemains) {
  context.configureLogging(parseXml("<server><port>1</port></server>"), false);
  ASSERT_EQ(root.getAllAppenders().size(), 1u);
  EXPECT_EQ(countAppenders<log4cplus::ConsoleAppender>(), 1u);
  EXPECT_EQ(root.getLogLevel(), log4cplus::INFO_LOG_LEVEL);
}

TEST_F(LogSettingsTest, LogLevelMustBeALevelNumber) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"<logLevel>10000</logLevel>", 10000}, {"<logLevel>40000</logLevel>", 40000},
      {"<logLevel>debug</logLevel>", 20000}, {"<logLevel>-5</logLevel>", 20000},
      {"<logLevel>70000</logLevel>", 20000}, {"", 20000},
  };
  for (const auto& [xml, level] : cases) {
    context.configureLogging(loggingXml(xml), false);
    EXPECT_EQ(root.getLogLevel(), level) << xml;
    EXPECT_EQ(context.getConfiguredLogLevel(), static_cast<std::uint32_t>(level)) << xml;
  }
}

struct ScheduleCase {
  const char* xml;
  std::uint32_t read;        // log4cplus numbering
  const char* writtenBack;   // file numbering
};

TEST_F(LogSettingsTest, DailyScheduleIsNumberedFromOneInTheFile) {
  const std::vector<ScheduleCase> cases = {
      {"<schedule>1</schedule>", 0, "1"}, {"<schedule>3</schedule>", 2, "3"}, {"<schedule>6</schedule>", 5, "6"},
      {"<schedule>0</schedule>", 2, "3"}, {"<schedule>7</schedule>", 2, "3"}, {"<schedule>x</schedule>", 2, "3"},
      {"", 2, "3"},
  };
  for (const auto& c : cases) {
    context.configureLogging(loggingXml(std::string("<dailyrollingfile>") + c.xml + "</dailyrollingfile>"), false);
    EXPECT_EQ(context.dailySettings().getSchedule(), c.read) << c.xml;
    ptree written;
    context.writeLogConfig(written);
    EXPECT_EQ(written.get<std::string>("server.config.logging.dailyrollingfile.schedule"), c.writtenBack) << c.xml;
  }
}

TEST_F(LogSettingsTest, MissingValuesTakeTheReadDefaults) {
  context.configureLogging(loggingXml("<rollingfile><enabled>false</enabled></rollingfile><file/>"), false);
  EXPECT_EQ(context.rollingSettings().getMaxFileSize(), 1048576u);
  EXPECT_EQ(context.rollingSettings().getMaxBackupIndex(), 10);
  EXPECT_EQ(context.rollingSettings().getFilename(), "ORVO.log");
  EXPECT_EQ(context.fileSettings().getLayout(), "log4cplus::PatternLayout");
  EXPECT_EQ(context.fileSettings().getConversationPattern(), ApplicationContextBaseLogBoost::kDefaultPattern);
  EXPECT_FALSE(context.fileSettings().isEnabled());
}

TEST_F(LogSettingsTest, LayoutNamesChooseTheLayout) {
  AppenderSettings settings;
  settings.setAppenderType("log4cplus::ConsoleAppender");
  settings.setConversationPattern("%m%n");

  settings.setLayout("log4cplus::PatternLayout");
  EXPECT_NE(dynamic_cast<log4cplus::PatternLayout*>(context.createAppender(settings)->getLayout()), nullptr);
  settings.setLayout("log4cplus::TTCCLayout");
  EXPECT_NE(dynamic_cast<log4cplus::TTCCLayout*>(context.createAppender(settings)->getLayout()), nullptr);
  for (const char* other : {"log4cplus::SimpleLayout", "log4cplus::XMLLayout", ""}) {
    settings.setLayout(other);
    EXPECT_NE(dynamic_cast<log4cplus::SimpleLayout*>(context.createAppender(settings)->getLayout()), nullptr)
        << other;
  }
}

TEST_F(LogSettingsTest, UnknownAppenderTypeIsLeftOutAndTheOthersStay) {
  AppenderSettings settings;
  settings.setAppenderType("log4cplus::Win32DebugAppender");
  EXPECT_FALSE(context.createAppender(settings));

  context.configureLogging(loggingXml("<win32debug><enabled>true</enabled></win32debug>"), false);
  ASSERT_EQ(root.getAllAppenders().size(), 1u);
  EXPECT_EQ(countAppenders<log4cplus::ConsoleAppender>(), 1u);
}

// Relative names must not depend on the working directory: a rolling
// appender renames its files long after start-up.
TEST_F(LogSettingsTest, FileAppendersWriteIntoTheLogDirectory) {
  TempDir logDir;
  TempDir elsewhere;
  context.setLogDirectory(logDir.str());
  context.configureLogging(loggingXml("<console><enabled>false</enabled></console>"
                                      "<file><enabled>true</enabled><filename>plain.log</filename></file>"
                                      "<rollingfile><enabled>true</enabled><filename>roll.log</filename>"
                                      "</rollingfile>"
                                      "<dailyrollingfile><enabled>true</enabled><filename>" +
                                      elsewhere.file("daily.log") + "</filename></dailyrollingfile>"),
                           false);
  EXPECT_EQ(countAppenders<log4cplus::ConsoleAppender>(), 0u);
  EXPECT_EQ(root.getAllAppenders().size(), 3u);
  LOG4CPLUS_INFO(log4cplus::Logger::getInstance("appcontext"), "written once");
  root.removeAllAppenders();  // closes the files

  EXPECT_NE(quorvel::testing::readFile(logDir.file("plain.log")).find("written once"), std::string::npos);
  EXPECT_NE(quorvel::testing::readFile(logDir.file("roll.log")).find("written once"), std::string::npos);
  // log4cplus rolls a daily file over when it closes, so look at whatever it left.
  std::string daily;
  for (boost::filesystem::directory_iterator it(elsewhere.path), end; it != end; ++it) {
    daily += quorvel::testing::readFile(it->path().string());
  }
  EXPECT_NE(daily.find("written once"), std::string::npos);
  EXPECT_FALSE(boost::filesystem::exists("plain.log"));
}

TEST_F(LogSettingsTest, CommandLineLevelForcesADefaultConsole) {
  TempDir logDir;
  context.setLogDirectory(logDir.str());
  context.configureLogging(loggingXml("<console><enabled>false</enabled><layout>log4cplus::SimpleLayout</layout>"
                                      "</console><file><enabled>true</enabled></file>"),
                           true);
  EXPECT_EQ(countAppenders<log4cplus::ConsoleAppender>(), 1u);
  EXPECT_EQ(root.getAllAppenders().size(), 2u);
  for (auto& appender : root.getAllAppenders()) {
    if (dynamic_cast<log4cplus::ConsoleAppender*>(appender.get()) != nullptr) {
      EXPECT_NE(dynamic_cast<log4cplus::PatternLayout*>(appender->getLayout()), nullptr);
    }
  }
  // The file's own console settings are kept for saving.
  EXPECT_FALSE(context.consoleSettings().isEnabled());
  EXPECT_EQ(context.consoleSettings().getLayout(), "log4cplus::SimpleLayout");
  EXPECT_TRUE(boost::filesystem::exists(logDir.file("ORVO.log")));
}

TEST_F(LogSettingsTest, WrittenSectionsInFileOrder) {
  context.configureLogging(loggingXml("<logLevel>30000</logLevel><rollingfile><enabled>true</enabled>"
                                      "<maxFileSize>2048000</maxFileSize><maxBackupIndex>3</maxBackupIndex>"
                                      "<filename>x.log</filename></rollingfile>"),
                           false);
  root.removeAllAppenders();
  ptree tree;
  tree.put("server.config.logging.stale", "gone");
  tree.put("server.config.logging.console.extra", "gone");
  context.writeLogConfig(tree);

  const ptree& logging = tree.get_child("server.config.logging");
  std::vector<std::string> names;
  for (const auto& child : logging) {
    names.push_back(child.first);
  }
  // A section already present is replaced where it stands.
  EXPECT_EQ(names, (std::vector<std::string>{"stale", "console", "logLevel", "dailyrollingfile", "file",
                                             "rollingfile", "win32debug"}));
  EXPECT_EQ(logging.get<std::string>("logLevel"), "30000");
  EXPECT_FALSE(logging.get_child_optional("console.extra"));
  EXPECT_EQ(logging.get<std::string>("rollingfile.enabled"), "true");
  EXPECT_EQ(logging.get<std::string>("rollingfile.maxFileSize"), "2048000");
  EXPECT_EQ(logging.get<std::string>("rollingfile.maxBackupIndex"), "3");
  EXPECT_EQ(logging.get<std::string>("rollingfile.filename"), "x.log");
  EXPECT_FALSE(logging.get_child_optional("rollingfile.appenderType"));
}

}  // namespace
}  // namespace quorvel::common
