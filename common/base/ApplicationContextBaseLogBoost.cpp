#include "common/base/ApplicationContextBaseLogBoost.h"

#include <limits>

#include <boost/filesystem/path.hpp>
#include <boost/locale/generator.hpp>
#include <boost/property_tree/ptree.hpp>
#include <log4cplus/consoleappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/spi/factory.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quorvel::common {

namespace {

using boost::property_tree::ptree;

constexpr const char* kLoggingPath = "server.config.logging";
constexpr const char* kPatternLayout = "log4cplus::PatternLayout";
constexpr const char* kTtccLayout = "log4cplus::TTCCLayout";
constexpr const char* kConsoleType = "log4cplus::ConsoleAppender";
constexpr const char* kWin32DebugType = "log4cplus::Win32DebugAppender";
constexpr const char* kFileType = "log4cplus::FileAppender";
constexpr const char* kRollingFileType = "log4cplus::RollingFileAppender";
constexpr const char* kDailyRollingFileType = "log4cplus::DailyRollingFileAppender";

// Defaults applied when a file leaves a value out.
constexpr std::int32_t kReadMaxBackupIndex = 10;
constexpr std::uint64_t kReadMaxFileSize = 1048576;
constexpr std::uint32_t kDailySchedule = 2;
// The file counts schedules from 1, log4cplus from 0.
constexpr std::array<const char*, 6> kScheduleNames = {"MONTHLY", "WEEKLY", "DAILY", "TWICE_DAILY", "HOURLY", "MINUTELY"};

void readCommon(AppenderSettings& settings, const char* type, const ptree& section) {
  settings.setAppenderType(type);
  settings.setLayout(section.get<std::string>("layout", kPatternLayout));
  settings.setConversationPattern(
      section.get<std::string>("conversationPattern", ApplicationContextBaseLogBoost::kDefaultPattern));
  settings.setEnabled(section.get<bool>("enabled", false));
}

void readFileName(AppenderSettings& settings, const ptree& section) {
  settings.setFilename(section.get<std::string>("filename", ApplicationContextBaseLogBoost::kDefaultFileName));
}

ptree writeCommon(const AppenderSettings& settings) {
  ptree section;
  section.put("layout", settings.getLayout());
  section.put("conversationPattern", settings.getConversationPattern());
  section.put("enabled", settings.isEnabled());
  return section;
}

std::string joinPath(const std::string& prefix, const char* name) { return std::string(prefix) + "." + name; }

// The type of the file system `path` is on, or nothing when that cannot be told.
std::optional<decltype(statfs::f_type)> fileSystemOf(const std::string& path) {
  struct statfs system {};
  if (::statfs(path.c_str(), &system) != 0) return std::nullopt;
  return system.f_type;
}

enum class Lookup { clear, throughProc, unfollowable };

// Whether looking `path` up passes through procfs, in the name as written or
// in any link met on the way. A descriptor's name there (/dev/stdout,
// /dev/fd/<n>, /proc/self/fd/<n>) stands for whatever the descriptor holds,
// and renaming it by name misses that file: the rename fails and the file is
// emptied instead, or /dev's own link is moved aside. realpath is no help,
// since it resolves a descriptor's name to the file behind it; so each
// directory is judged as it is reached, its links already followed.
// The kernel has no limit on the folders a lookup passes, this walk's string
// has: whatever the walk cannot follow to its end may still reach /proc, so
// it is `unfollowable`, never `clear`.
Lookup lookUp(const std::string& path) {
  if (path.size() >= PATH_MAX) return Lookup::unfollowable;
  std::string at = "/";  // the directory reached so far, free of links
  if (!path.starts_with('/')) {
    std::error_code failed;
    at = std::filesystem::current_path(failed).string();
    if (failed) return Lookup::unfollowable;
  }
  std::vector<std::string> pending;  // still to look up, last first
  const auto push = [&pending](std::string_view name) {
    const std::size_t end = pending.size();
    for (std::size_t start = 0; start < name.size();) {
      const std::size_t stop = std::min(name.find('/', start), name.size());
      if (stop > start) pending.emplace_back(name.substr(start, stop - start));
      start = stop + 1;
    }
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(end), pending.end());
  };
  push(path);
  for (int links = 0;;) {
    const auto system = fileSystemOf(at);
    if (!system) return Lookup::unfollowable;
    if (*system == PROC_SUPER_MAGIC) return Lookup::throughProc;
    if (pending.empty()) return Lookup::clear;
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") {
      continue;
    }
    if (part == "..") {
      at.erase(std::max<std::size_t>(at.rfind('/'), 1));
      continue;
    }
    const std::string next = (at == "/" ? at : at + "/") + part;
    struct stat info {};
    if (::lstat(next.c_str(), &info) != 0) {
      // Missing, or under a file: made in `at`, which has passed, or never
      // opened at all. Any other failure leaves the rest unknown.
      return errno == ENOENT || errno == ENOTDIR ? Lookup::clear : Lookup::unfollowable;
    }
    if (!S_ISLNK(info.st_mode)) {
      at = next;
      continue;
    }
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
    // The kernel follows at most 40 links in one lookup.
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size() || ++links > 40) {
      return Lookup::unfollowable;
    }
    if (target[0] == '/') {
      at = "/";
    }
    push(std::string_view(target.data(), static_cast<std::size_t>(length)));
  }
}

// Why `path` cannot take an appender's lines, or nullptr if it can.
// log4cplus opens its file for writing with a plain, blocking open, and opens
// it again by name after a failed write. On a named pipe that open waits for a
// reader for good, holding the logging lock: a pipe whose reader has gone would
// stop every thread that logs, even one with a reader at the start. A block
// device would take the log lines, and a socket or directory cannot be written
// at all. Taken are regular files, character devices such as /dev/null, and
// anonymous pipes, such as the standard output of `nimbrel | logger` reached
// through /dev/stdout: an open of those never waits for the other end, and a
// write to one whose reader has gone fails (SIGPIPE is ignored). A rolling
// appender renames its file and makes a new one by name, so it takes only
// regular files reached without /proc, by a name whose lookup can be followed
// to its end: it would move /dev/null aside for a plain file, and /dev/stdout
// too, even when standard output goes to a file.
// Anything that does not exist yet is made by log4cplus as a regular file.
const char* logFileRefusal(const std::string& path, bool rolls) {
  if (rolls) {
    switch (lookUp(path)) {
      case Lookup::throughProc:
        return "leads through /proc (a rolling appender renames its file)";
      case Lookup::unfollowable:
        return "could not be followed to its end (a rolling appender renames its file)";
      case Lookup::clear:
        break;
    }
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) {
    return nullptr;
  }
  if (rolls) {
    return "is not a regular file (a rolling appender renames its file)";
  }
  const bool anonymousPipe = S_ISFIFO(info.st_mode) && fileSystemOf(path) == PIPEFS_MAGIC;
  return S_ISCHR(info.st_mode) || anonymousPipe
             ? nullptr
             : "is not a regular file (named pipe, socket, directory or block device)";
}

void fillDefaults(AppenderSettings& settings, const char* type) {
  settings.setAppenderType(type);
  settings.setLayout(kPatternLayout);
  settings.setConversationPattern(ApplicationContextBaseLogBoost::kDefaultPattern);
  settings.setEnabled(false);
}

}  // namespace

AppenderSettings::AppenderSettings(const AppenderSettings& other) { *this = other; }

AppenderSettings& AppenderSettings::operator=(const AppenderSettings& other) {
  if (this != &other) {
    setAppenderType(other.getAppenderType());
    setLayout(other.getLayout());
    setConversationPattern(other.getConversationPattern());
    setFilename(other.getFilename());
    setMaxFileSize(other.getMaxFileSize());
    setMaxBackupIndex(other.getMaxBackupIndex());
    setSchedule(other.getSchedule());
    setEnabled(other.isEnabled());
  }
  return *this;
}

ApplicationContextBaseLogBoost::ApplicationContextBaseLogBoost() {
  fillDefaults(console, kConsoleType);
  fillDefaults(win32debug, kWin32DebugType);
  fillDefaults(file, kFileType);
  file.setFilename(kDefaultFileName);
  fillDefaults(rollingfile, kRollingFileType);
  rollingfile.setFilename(kDefaultFileName);
  rollingfile.setMaxBackupIndex(kReadMaxBackupIndex);
  rollingfile.setMaxFileSize(10485760);
  fillDefaults(dailyrollingfile, kDailyRollingFileType);
  dailyrollingfile.setFilename(kDefaultFileName);
  dailyrollingfile.setMaxBackupIndex(kReadMaxBackupIndex);
  dailyrollingfile.setSchedule(kDailySchedule);

  boost::locale::generator generator;
  boost::filesystem::path::imbue(generator("en_US.UTF-8"));
}

ApplicationContextBaseLogBoost::~ApplicationContextBaseLogBoost() = default;

bool ApplicationContextBaseLogBoost::init() { return true; }

void ApplicationContextBaseLogBoost::shutdown() {}

void ApplicationContextBaseLogBoost::setupDefaultLogging() {
  log4cplus::SharedAppenderPtr appender(new log4cplus::ConsoleAppender(false, false));
  appender->setName(LOG4CPLUS_TEXT("Standard Console Appender"));
  appender->setLayout(std::make_unique<log4cplus::PatternLayout>(kDefaultPattern));
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  root.addAppender(appender);
  root.setLogLevel(log4cplus::INFO_LOG_LEVEL);
}

void ApplicationContextBaseLogBoost::configureLogging(const ptree& tree, bool consoleForced) {
  try {
    if (const auto section = tree.get_child_optional(kLoggingPath)) {
      // Read signed, so that "-5" is refused instead of wrapping; a number above
      // "off" is kept as written (log4cplus then logs nothing).
      const auto level = section->get_optional<std::int64_t>("logLevel");
      logLevel = level && *level >= 0 && *level <= std::numeric_limits<std::uint32_t>::max()
                     ? static_cast<std::uint32_t>(*level)
                     : kInfoLevel;
      for (const auto& [name, child] : *section) {
        if (name == "console") {
          readConsoleAppenderConfig(child);
        } else if (name == "win32debug") {
          readWin32DebugAppenderConfig(child);
        } else if (name == "file") {
          readFileAppenderConfig(child);
        } else if (name == "rollingfile") {
          readRollingFileAppenderConfig(child);
        } else if (name == "dailyrollingfile") {
          readDailyRollingFileAppenderConfig(child);
        }
      }
    }
  } catch (const std::exception&) {
    // Broken logging settings never stop the service: what was read stays.
  }

  log4cplus::Logger root = log4cplus::Logger::getRoot();
  root.removeAllAppenders();
  std::vector<std::string> leftOut;
  const auto add = [&root, &leftOut, this](const AppenderSettings& settings) {
    std::string report;
    if (log4cplus::SharedAppenderPtr appender = buildAppender(settings, report)) {
      root.addAppender(appender);
    } else if (!report.empty()) {
      leftOut.push_back(std::move(report));
    }
  };
  if (consoleForced) {
    AppenderSettings forced;
    fillDefaults(forced, kConsoleType);
    forced.setEnabled(true);
    add(forced);
  } else if (console.isEnabled()) {
    add(console);
  }
  for (const AppenderSettings* settings : {&file, &rollingfile, &dailyrollingfile, &win32debug}) {
    if (settings->isEnabled()) {
      add(*settings);
    }
  }
  root.setLogLevel(static_cast<log4cplus::LogLevel>(logLevel));
  // Standard error is often not kept; whoever reads only the log file learns
  // there why an appender is missing.
  const log4cplus::Logger logger = log4cplus::Logger::getInstance("appcontext");
  for (const std::string& report : leftOut) {
    LOG4CPLUS_WARN(logger, report);
  }
}

void ApplicationContextBaseLogBoost::writeLogConfig(ptree& tree) const {
  tree.put(joinPath(kLoggingPath, "logLevel"), logLevel);
  tree.put_child(joinPath(kLoggingPath, "console"), writeCommon(console));
  writeDailyRollingFileAppenderConfig(tree);
  ptree fileSection = writeCommon(file);
  fileSection.put("filename", file.getFilename());
  tree.put_child(joinPath(kLoggingPath, "file"), fileSection);
  writeRollingFileAppenderConfig(tree);
  tree.put_child(joinPath(kLoggingPath, "win32debug"), writeCommon(win32debug));
}

void ApplicationContextBaseLogBoost::writeRollingFileAppenderConfig(ptree& tree) const {
  ptree section = writeCommon(rollingfile);
  section.put("filename", rollingfile.getFilename());
  section.put("maxBackupIndex", rollingfile.getMaxBackupIndex());
  section.put("maxFileSize", rollingfile.getMaxFileSize());
  tree.put_child(joinPath(kLoggingPath, "rollingfile"), section);
}

void ApplicationContextBaseLogBoost::writeDailyRollingFileAppenderConfig(ptree& tree) const {
  ptree section = writeCommon(dailyrollingfile);
  section.put("filename", dailyrollingfile.getFilename());
  section.put("maxBackupIndex", dailyrollingfile.getMaxBackupIndex());
  const std::uint32_t schedule = dailyrollingfile.getSchedule();
  section.put("schedule", schedule < kScheduleNames.size() ? schedule + 1 : kDailySchedule + 1);
  tree.put_child(joinPath(kLoggingPath, "dailyrollingfile"), section);
}

void ApplicationContextBaseLogBoost::readConsoleAppenderConfig(const ptree& section) {
  readCommon(console, kConsoleType, section);
}

void ApplicationContextBaseLogBoost::readWin32DebugAppenderConfig(const ptree& section) {
  readCommon(win32debug, kWin32DebugType, section);
}

void ApplicationContextBaseLogBoost::readFileAppenderConfig(const ptree& section) {
  readCommon(file, kFileType, section);
  readFileName(file, section);
}

void ApplicationContextBaseLogBoost::readRollingFileAppenderConfig(const ptree& section) {
  readCommon(rollingfile, kRollingFileType, section);
  readFileName(rollingfile, section);
  rollingfile.setMaxBackupIndex(section.get<std::int32_t>("maxBackupIndex", kReadMaxBackupIndex));
  rollingfile.setMaxFileSize(section.get<std::uint64_t>("maxFileSize", kReadMaxFileSize));
}

void ApplicationContextBaseLogBoost::readDailyRollingFileAppenderConfig(const ptree& section) {
  readCommon(dailyrollingfile, kDailyRollingFileType, section);
  readFileName(dailyrollingfile, section);
  const auto schedule = section.get_optional<std::uint32_t>("schedule");
  dailyrollingfile.setSchedule(schedule && *schedule >= 1 && *schedule <= kScheduleNames.size() ? *schedule - 1
                                                                                                : kDailySchedule);
  dailyrollingfile.setMaxBackupIndex(section.get<std::int32_t>("maxBackupIndex", kReadMaxBackupIndex));
}

log4cplus::SharedAppenderPtr ApplicationContextBaseLogBoost::createAppender(const AppenderSettings& settings) const {
  std::string leftOut;
  return buildAppender(settings, leftOut);
}

log4cplus::SharedAppenderPtr ApplicationContextBaseLogBoost::buildAppender(const AppenderSettings& settings,
                                                                           std::string& leftOut) const {
  const std::string& type = settings.getAppenderType();
  log4cplus::spi::AppenderFactory* factory = log4cplus::spi::getAppenderFactoryRegistry().get(type);
  if (factory == nullptr) {
    log4cplus::helpers::getLogLog().error("PropertyConfigurator::configureAppenders()- Cannot find AppenderFactory: " +
                                          type);
    return log4cplus::SharedAppenderPtr();
  }

  log4cplus::helpers::Properties properties;
  properties.setProperty("Append", "true");
  properties.setProperty("ImmediateFlush", "true");
  if (!settings.getFilename().empty()) {
    boost::filesystem::path path(settings.getFilename());
    if (path.is_relative() && !logDirectory.empty()) {
      path = boost::filesystem::path(logDirectory) / path;
    }
    const bool rolls = type == kRollingFileType || type == kDailyRollingFileType;
    if (const char* why = logFileRefusal(path.string(), rolls)) {
      leftOut = "Log file '" + path.string() + "' " + why + ", appender " + type + " left out.";
      // LogLog writes it on standard error.
      log4cplus::helpers::getLogLog().error(leftOut);
      return log4cplus::SharedAppenderPtr();
    }
    properties.setProperty("File", path.string());
  }
  properties.setProperty("MaxFileSize", std::to_string(settings.getMaxFileSize()));
  properties.setProperty("MaxBackupIndex", std::to_string(settings.getMaxBackupIndex()));
  if (settings.getSchedule() < kScheduleNames.size()) {
    properties.setProperty("Schedule", kScheduleNames[settings.getSchedule()]);
  }

  log4cplus::SharedAppenderPtr appender;
  try {
    appender = factory->createObject(properties);
  } catch (const std::exception& e) {
    log4cplus::helpers::getLogLog().error(
        std::string("PropertyConfigurator::configureAppenders()- Error while creating Appender: ") + e.what());
    return log4cplus::SharedAppenderPtr();
  }
  if (!appender) {
    log4cplus::helpers::getLogLog().error("PropertyConfigurator::configureAppenders()- Failed to create appender: " +
                                          type);
    return log4cplus::SharedAppenderPtr();
  }

  const std::string& layout = settings.getLayout();
  if (layout == kPatternLayout) {
    appender->setLayout(std::make_unique<log4cplus::PatternLayout>(settings.getConversationPattern()));
  } else if (layout == kTtccLayout) {
    appender->setLayout(std::make_unique<log4cplus::TTCCLayout>());
  } else {
    // "log4cplus::SimpleLayout", and whatever names no layout we know.
    appender->setLayout(std::make_unique<log4cplus::SimpleLayout>());
  }
  return appender;
}

}  // namespace quorvel::common
