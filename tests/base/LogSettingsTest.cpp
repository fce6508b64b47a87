#include "common/base/ApplicationContextBaseLogBoost.h"

#include "support/TempDir.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>
#include <sstream>

namespace quorvel::common {
namespace {

using boost::property_tree::ptree;
using quorvel::testing::TempDir;

class TestLogContext : public ApplicationContextBaseLogBoost {
 public:
  std::string getConfigFilePath() override { return ""; }
  AppenderSettings& consoleSettings() { return console; }
  AppenderSettings& dailySettings() { return dailyrollingfile; }
};

ptree loggingXml(const std::string& inner) {
  std::istringstream in("<server><config><logging>" + inner + "</logging></config></server>");
  ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree;
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

  log4cplus::Logger root = log4cplus::Logger::getRoot();
  log4cplus::SharedAppenderPtrList savedAppenders;
  log4cplus::LogLevel savedLevel = 0;
  TestLogContext context;
};

TEST_F(LogSettingsTest, LogLevelMustBeALevelNumber) {
  const std::pair<std::string, int> cases[] = {
      {"10000", 10000}, {"debug", 20000}, {"-5", 20000}, {"70000", 70000}, {"", 20000}};
  for (const auto& [value, level] : cases) {
    const std::string xml = value.empty() ? "" : "<logLevel>" + value + "</logLevel>";
    context.configureLogging(loggingXml(xml), false);
    EXPECT_EQ(root.getLogLevel(), level) << xml;
    EXPECT_EQ(context.getConfiguredLogLevel(), static_cast<std::uint32_t>(level)) << xml;
    ASSERT_EQ(root.getAllAppenders().size(), 1u);
    EXPECT_NE(dynamic_cast<log4cplus::ConsoleAppender*>(root.getAllAppenders()[0].get()), nullptr);
  }
}

// log4cplus counts the schedule from zero, the file from one.
TEST_F(LogSettingsTest, DailyScheduleIsNumberedFromOneInTheFile) {
  const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
      {"1", 0, "1"}, {"6", 5, "6"}, {"0", 2, "3"}, {"7", 2, "3"}, {"x", 2, "3"}};
  for (const auto& [schedule, read, writtenBack] : cases) {
    context.configureLogging(
        loggingXml(std::string("<dailyrollingfile><schedule>") + schedule + "</schedule></dailyrollingfile>"), false);
    EXPECT_EQ(context.dailySettings().getSchedule(), read) << schedule;
    ptree written;
    context.writeLogConfig(written);
    EXPECT_EQ(written.get<std::string>("server.config.logging.dailyrollingfile.schedule"), writtenBack) << schedule;
  }
}

// Relative names must not depend on the working directory: a rolling
// appender renames its files long after start-up.
TEST_F(LogSettingsTest, FileAppendersWriteIntoTheLogDirectory) {
  TempDir logDir;
  TempDir elsewhere;
  context.setLogDirectory(logDir.path());
  context.configureLogging(loggingXml("<console><enabled>false</enabled></console>"
                                      "<file><enabled>true</enabled><filename>plain.log</filename></file>"
                                      "<rollingfile><enabled>true</enabled><filename>roll.log</filename>"
                                      "</rollingfile>"
                                      "<dailyrollingfile><enabled>true</enabled><filename>" +
                                      elsewhere.file("daily.log") + "</filename></dailyrollingfile>"),
                           false);
  EXPECT_EQ(root.getAllAppenders().size(), 3u) << "the console is off";
  LOG4CPLUS_INFO(log4cplus::Logger::getInstance("appcontext"), "written once");
  root.removeAllAppenders();  // closes the files

  EXPECT_NE(quorvel::testing::readFile(logDir.file("plain.log")).find("written once"), std::string::npos);
  EXPECT_NE(quorvel::testing::readFile(logDir.file("roll.log")).find("written once"), std::string::npos);
  // log4cplus rolls a daily file over when it closes, so look at whatever it left.
  std::string daily;
  for (const auto& name : elsewhere.entries()) daily += quorvel::testing::readFile(elsewhere.file(name));
  EXPECT_NE(daily.find("written once"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("plain.log"));
}

// Runs `step`, but gives up on it when it hangs in log4cplus's blocking open
// of a named pipe: a reader opened on the file then lets it go on.
void within(const std::function<void()>& step, const std::string& file) {
  auto done = std::async(std::launch::async, step);
  if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
    ADD_FAILURE() << "opening '" << file << "' blocked";
    const int release = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
    done.get();
    ::close(release);
  }
}

std::string readAvailable(int fd) {
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof(buffer));
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

// What a reader of a pipe saw: nothing at all (0), lines (POLLIN), or a
// writer that came and went (POLLHUP), which ends a reader such as `cat`.
short pipeEvents(int fd) {
  pollfd events{fd, POLLIN, 0};
  return ::poll(&events, 1, 0) == 1 ? events.revents : 0;
}

// `section` logs into `file`, one other appender into `other`, and no appender else.
ptree appenderAt(const std::string& section, const std::string& file, const std::string& other) {
  const std::string otherSection = section == "file" ? "rollingfile" : "file";
  std::string xml = "<console><enabled>false</enabled></console>";
  for (const std::string name : {"file", "rollingfile", "dailyrollingfile"}) {
    const bool used = name == section || name == otherSection;
    xml += "<" + name + "><enabled>" + (used ? "true" : "false") + "</enabled><filename>" +
           (name == section ? file : other) + "</filename></" + name + ">";
  }
  return loggingXml(xml);
}

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(ends, O_NONBLOCK), 0); }
  ~Pipe() {
    for (const int fd : ends) ::close(fd);
  }
  // /dev/stdout of `nimbrel | logger` leads the same way, through /proc/self/fd, to a pipe:[...].
  std::string writePath() const { return "/dev/fd/" + std::to_string(ends[1]); }
  void closeReader() {
    ::close(ends[0]);
    ends[0] = -1;
  }
  int ends[2] = {-1, -1};
};

// Ignores SIGPIPE for its life, as the service does all along: a write to a
// pipe without a reader then fails instead of ending the process.
class IgnoredBrokenPipes {
 public:
  IgnoredBrokenPipes() : saved(::signal(SIGPIPE, SIG_IGN)) {}
  ~IgnoredBrokenPipes() { ::signal(SIGPIPE, saved); }
  IgnoredBrokenPipes(const IgnoredBrokenPipes&) = delete;
  IgnoredBrokenPipes& operator=(const IgnoredBrokenPipes&) = delete;

 private:
  sighandler_t saved;
};

// A folder whose own name is 4,088 characters long, with subdir/more in it: a
// name inside is longer than a path may be, yet the kernel reaches it by a
// short name through a link. Made and removed one folder at a time.
class DeepFolder {
 public:
  explicit DeepFolder(std::string top) : path(std::move(top)) {
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
    while (path.size() < 4088) {
      const std::size_t left = 4088 - path.size();
      const std::size_t part = left > 250 ? 200 : left - 1;  // the last takes the rest, and is never empty
      path.append(1, '/').append(part, 'd');
      EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    fd = ::open(path.c_str(), O_PATH | O_DIRECTORY);
    EXPECT_EQ(::mkdirat(fd, "subdir", 0700), 0);
    EXPECT_EQ(::mkdirat(fd, "subdir/more", 0700), 0);
  }
  ~DeepFolder() {
    // Beyond the length of a path: the temporary folder's removal cannot name them.
    ::unlinkat(fd, "subdir/more", AT_REMOVEDIR);
    ::unlinkat(fd, "subdir", AT_REMOVEDIR);
    ::close(fd);
  }
  DeepFolder(const DeepFolder&) = delete;
  DeepFolder& operator=(const DeepFolder&) = delete;

  std::string path;

 private:
  int fd = -1;
};

// log4cplus opens its file with a plain open for writing, and opens it again
// by name after a failed write: on a named pipe that waits for a reader for
// good. An anonymous pipe, such as the service's standard output in
// `nimbrel | logger`, takes the log; a named pipe, read or not, and any other
// file that is no regular file or character device leaves its appender out,
// the others stay, and the log itself says why. A rolling appender renames its
// file and makes a new one in its place by name, so it takes regular files
// only, and none reached through /proc: the links here stand for /dev/null and
// /dev/stdout, and `held` for a file that standard output is appended to; a
// link to a log file in an ordinary folder is fine. A name whose lookup the
// check cannot follow to its end (too deep, too long, a link loop) may still
// lead through /proc, so a rolling appender refuses it too.
// (No block-device row: a failing check would write into a disk.)
TEST_F(LogSettingsTest, LogFileThatIsNoRegularFileLeavesItsAppenderOut) {
  const IgnoredBrokenPipes ignored;
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(dir.file("read-pipe").c_str(), 0600), 0);
  const int namedReader = ::open(dir.file("read-pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(namedReader, 0);
  const Pipe output;
  const std::string earlier = "written before the start\n";
  {
    std::ofstream(dir.file("held.log")) << earlier;
  }
  const int held = ::open(dir.file("held.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(held, 0);
  const std::string heldByProc = "/proc/self/fd/" + std::to_string(held);
  const std::string heldByDev = "/dev/fd/" + std::to_string(held);
  std::filesystem::create_directory(dir.file("folder"));
  std::ofstream(dir.file("folder/linked.log")).flush();
  std::filesystem::create_directory(dir.file("proc"));  // an ordinary folder of that name
  const DeepFolder deep(dir.file("deep"));
  std::string deepToHeld = dir.file("deep-link/subdir/more/");
  for (auto up = std::count(deep.path.begin(), deep.path.end(), '/') + 2; up > 0; --up) deepToHeld += "../";
  deepToHeld += heldByProc.substr(1);
  std::string tooLong = dir.path();
  while (tooLong.size() < 4096) tooLong += "/.";
  tooLong += "/long.log";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, dir.file("socket").c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  const std::map<std::string, std::string> links = {{dir.file("null-link"), "/dev/null"},
                                                    {dir.file("stdout-link"), output.writePath()},
                                                    {dir.file("held-link"), heldByProc},
                                                    {dir.file("log-link"), dir.file("folder/linked.log")},
                                                    {dir.file("deep-link"), deep.path},
                                                    {dir.file("loop1"), "loop2"},
                                                    {dir.file("loop2"), "loop1"},
                                                    {dir.file("folder/rel-held"), "../held-link"},
                                                    {dir.file("rel-rel"), "folder/rel-held"},
                                                    {dir.file("rel-log"), "proc/kept.log"}};
  for (const auto& [link, target] : links) std::filesystem::create_symlink(target, link);
  const std::string kinds = "is not a regular file (named pipe, socket, directory or block device)";
  const std::string device = "is not a regular file (a rolling appender renames its file)";
  const std::string proc = "leads through /proc (a rolling appender renames its file)";
  const std::string unfollowable = "could not be followed to its end (a rolling appender renames its file)";
  const struct {
    std::string section;
    std::string file;
    std::string refusal;  // empty: kept
    int reader;
  } cases[] = {{"file", output.writePath(), "", output.ends[0]},
               {"file", dir.file("read-pipe"), kinds, namedReader},
               {"file", dir.file("pipe"), kinds, -1},
               {"file", dir.file("socket"), kinds, -1},
               {"file", dir.file("folder"), kinds, -1},
               {"file", "/dev/null", "", -1},
               {"file", dir.file("new.log"), "", -1},
               {"file", heldByProc, "", -1},
               {"dailyrollingfile", dir.file("null-link"), device, -1},
               {"dailyrollingfile", dir.file("stdout-link"), proc, output.ends[0]},
               {"dailyrollingfile", heldByProc, proc, -1},
               {"dailyrollingfile", heldByDev, proc, -1},
               {"dailyrollingfile", dir.file("held-link"), proc, -1},
               {"rollingfile", dir.file("null-link"), device, -1},
               {"rollingfile", dir.file("stdout-link"), proc, output.ends[0]},
               {"rollingfile", heldByProc, proc, -1},
               {"rollingfile", heldByDev, proc, -1},
               {"rollingfile", dir.file("held-link"), proc, -1},
               {"rollingfile", dir.file("log-link"), "", -1},
               {"dailyrollingfile", deepToHeld, unfollowable, -1},
               {"dailyrollingfile", dir.file("loop1"), unfollowable, -1},
               {"rollingfile", tooLong, unfollowable, -1},
               {"rollingfile", dir.file("folder/../held-link"), proc, -1},
               {"dailyrollingfile", dir.file("rel-rel"), proc, -1},
               {"rollingfile", dir.file("rel-log"), "", -1}};
  const std::map<std::string, std::string> types = {{"file", "log4cplus::FileAppender"},
                                                    {"rollingfile", "log4cplus::RollingFileAppender"},
                                                    {"dailyrollingfile", "log4cplus::DailyRollingFileAppender"}};
  for (const auto& c : cases) {
    const std::string row = c.section + " " + c.file;
    const bool kept = c.refusal.empty();
    ::testing::internal::CaptureStderr();
    within([&] { context.configureLogging(appenderAt(c.section, c.file, dir.file("other.log")), false); }, c.file);
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(root.getAllAppenders().size(), kept ? 2u : 1u) << row;
    LOG4CPLUS_INFO(log4cplus::Logger::getInstance("appcontext"), "logged into " << row);
    if (c.reader >= 0) {
      EXPECT_EQ(readAvailable(c.reader).find("logged into " + row) != std::string::npos, kept) << row;
    }
    // A kept row must see no refusal of its file at all.
    const std::string refusal =
        "Log file '" + c.file + "' " + (kept ? "" : c.refusal + ", appender " + types.at(c.section) + " left out.");
    EXPECT_EQ(reported.find("log4cplus:ERROR " + refusal) != std::string::npos, !kept) << row << "\n" << reported;
    EXPECT_EQ(quorvel::testing::readFile(dir.file("other.log")).find("appcontext      WARN  - " + refusal) !=
                  std::string::npos,
              !kept)
        << row;
    root.removeAllAppenders();  // a daily appender rolls over as it closes
    const std::string heldNow = quorvel::testing::readFile(dir.file("held.log"));
    EXPECT_EQ(heldNow.substr(0, earlier.size()), earlier) << row;
    EXPECT_EQ(heldNow.find("logged into " + row) != std::string::npos, kept && c.file == heldByProc) << row;
  }
  // Not even opened: a reader of the named pipe is neither fed nor ended.
  EXPECT_EQ(pipeEvents(namedReader), 0);
  for (const int fd : {listener, namedReader, held}) ::close(fd);
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"deep", "deep-link", "folder", "held-link", "held.log", "log-link", "loop1",
                                      "loop2", "new.log", "null-link", "other.log", "pipe", "proc", "read-pipe",
                                      "rel-log", "rel-rel", "socket", "stdout-link"}));
  EXPECT_NE(quorvel::testing::readFile(dir.file("folder/linked.log")).find("logged into rollingfile"),
            std::string::npos);
  const std::string keptThroughRelativeLink = quorvel::testing::readFile(dir.file("proc/kept.log"));
  EXPECT_NE(keptThroughRelativeLink.find("logged into rollingfile " + dir.file("rel-log")), std::string::npos);
  for (const auto& [link, target] : links) {
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << link;
  }
  struct stat info {};
  ASSERT_EQ(::lstat(dir.file("pipe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// The reader of a log pipe goes away (a log collector restarts): lines
// written further apart than log4cplus's reopen delay of a second make it
// open the file again by name, with a blocking open. That must neither block
// the logging threads nor stop the process, and the other appenders go on
// logging.
TEST_F(LogSettingsTest, LogPipeWhoseReaderLeavesBlocksNothing) {
  const IgnoredBrokenPipes ignored;
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("named").c_str(), 0600), 0);
  const int namedReader = ::open(dir.file("named").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(namedReader, 0);
  Pipe anonymous;
  const struct {
    std::string file;
    int reader;
    bool taken;
    std::function<void()> readerLeaves;
  } cases[] = {{anonymous.writePath(), anonymous.ends[0], true, [&] { anonymous.closeReader(); }},
               {dir.file("named"), namedReader, false, [&] { ::close(namedReader); }}};
  for (const auto& c : cases) {
    const std::string other = dir.file("other-" + std::to_string(&c - cases) + ".log");
    within([&] { context.configureLogging(appenderAt("file", c.file, other), false); }, c.file);
    LOG4CPLUS_INFO(log4cplus::Logger::getInstance("appcontext"), "line before the reader left");
    EXPECT_EQ(readAvailable(c.reader).find("line before the reader left") != std::string::npos, c.taken) << c.file;
    c.readerLeaves();
    within(
        [&] {
          // The first line fails, the next starts the delay, the last one reopens.
          for (int line = 0; line < 3; ++line) {
            if (line == 2) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            LOG4CPLUS_INFO(log4cplus::Logger::getInstance("appcontext"), "line " << line << " after the reader left");
          }
        },
        c.file);
    root.removeAllAppenders();
    EXPECT_NE(quorvel::testing::readFile(other).find("line 2 after the reader left"), std::string::npos) << c.file;
  }
}

}  // namespace
}  // namespace quorvel::common
