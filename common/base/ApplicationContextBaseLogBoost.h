#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <log4cplus/appender.h>

#include <cstdint>
#include <string>

namespace quorvel::common {

// Settings of one log4cplus appender as kept in the configuration file.
class AppenderSettings {
 public:
  AppenderSettings() = default;
  AppenderSettings(const AppenderSettings& other);
  AppenderSettings& operator=(const AppenderSettings& other);
  virtual ~AppenderSettings() = default;

  virtual const std::string& getAppenderType() const { return appenderType; }
  virtual void setAppenderType(std::string value) { appenderType = std::move(value); }
  virtual const std::string& getLayout() const { return layout; }
  virtual void setLayout(std::string value) { layout = std::move(value); }
  virtual const std::string& getConversationPattern() const { return conversationPattern; }
  virtual void setConversationPattern(std::string value) { conversationPattern = std::move(value); }
  virtual const std::string& getFilename() const { return filename; }
  virtual void setFilename(std::string value) { filename = std::move(value); }
  virtual std::uint64_t getMaxFileSize() const { return maxFileSize; }
  virtual void setMaxFileSize(std::uint64_t value) { maxFileSize = value; }
  virtual std::int32_t getMaxBackupIndex() const { return maxBackupIndex; }
  virtual void setMaxBackupIndex(std::int32_t value) { maxBackupIndex = value; }
  // log4cplus numbering: 0 MONTHLY ... 5 MINUTELY.
  virtual std::uint32_t getSchedule() const { return schedule; }
  virtual void setSchedule(std::uint32_t value) { schedule = value; }
  virtual bool isEnabled() const { return enabled; }
  virtual void setEnabled(bool value) { enabled = value; }

 private:
  std::string appenderType;
  std::string layout;
  std::string conversationPattern;
  std::string filename;
  std::uint64_t maxFileSize = 10485760;
  std::int32_t maxBackupIndex = 0;
  std::uint32_t schedule = 1;
  bool enabled = false;
};

// Logging part of the application context: the appender settings of the
// configuration file and the log4cplus set-up built from them.
class ApplicationContextBaseLogBoost {
 public:
  static constexpr const char* kDefaultPattern = "%d{%Y.%m.%d %H:%M:%S.%q} %-15.15c %-5.5p - %m%n";
  static constexpr const char* kDefaultFileName = "ORVO.log";
  static constexpr std::uint32_t kInfoLevel = 20000;

  ApplicationContextBaseLogBoost();
  virtual ~ApplicationContextBaseLogBoost();
  ApplicationContextBaseLogBoost(const ApplicationContextBaseLogBoost&) = delete;
  ApplicationContextBaseLogBoost& operator=(const ApplicationContextBaseLogBoost&) = delete;

  virtual bool init();
  virtual void shutdown();
  // Console appender at info, for the time before the configuration is read.
  virtual void setupDefaultLogging();
  virtual std::string getConfigFilePath() = 0;

  // Reads the settings under "server.config.logging" and rebuilds the root
  // logger's appenders; consoleForced adds a default console appender whatever
  // the file says.
  void configureLogging(const boost::property_tree::ptree& tree, bool consoleForced);
  void writeLogConfig(boost::property_tree::ptree& tree) const;
  void writeRollingFileAppenderConfig(boost::property_tree::ptree& tree) const;
  void writeDailyRollingFileAppenderConfig(boost::property_tree::ptree& tree) const;

  void readConsoleAppenderConfig(const boost::property_tree::ptree& section);
  void readWin32DebugAppenderConfig(const boost::property_tree::ptree& section);
  void readFileAppenderConfig(const boost::property_tree::ptree& section);
  void readRollingFileAppenderConfig(const boost::property_tree::ptree& section);
  void readDailyRollingFileAppenderConfig(const boost::property_tree::ptree& section);

  // Empty pointer when the appender cannot be built (reported by log4cplus's own log).
  log4cplus::SharedAppenderPtr createAppender(const AppenderSettings& settings) const;

  // Relative log-file names are joined with this directory, so appenders keep
  // writing and rolling there whatever the working directory is later.
  void setLogDirectory(std::string directory) { logDirectory = std::move(directory); }
  const std::string& getLogDirectory() const { return logDirectory; }

  std::uint32_t getConfiguredLogLevel() const { return logLevel; }
  void setConfiguredLogLevel(std::uint32_t level) { logLevel = level; }

 protected:
  AppenderSettings console;
  AppenderSettings win32debug;
  AppenderSettings file;
  AppenderSettings rollingfile;
  AppenderSettings dailyrollingfile;
  std::uint32_t logLevel = kInfoLevel;

 private:
  // As createAppender; a log file that cannot take the appender also leaves
  // its report in leftOut.
  log4cplus::SharedAppenderPtr buildAppender(const AppenderSettings& settings, std::string& leftOut) const;

  std::string logDirectory;
};

}  // namespace quorvel::common
