#include "wolproxy/include/appcontext/AppContextNimbrel.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace quorvel::calvexa {
namespace {

using quorvel::data::wolproxy::ServerConfig;
using quorvel::testing::readFile;
using quorvel::testing::TempDir;
using quorvel::testing::writeFile;
using Entries = std::vector<std::string>;

// The context has no directories until init runs, so its files land in the
// working directory: run those tests inside a scratch one.
class InScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(scratch.path()); }
  void TearDown() override { std::filesystem::current_path(previous); }

  const std::filesystem::path previous = std::filesystem::current_path();
  TempDir scratch;
  AppContextNimbrel& context = AppContextNimbrel::getInstance();
  quorvel::testing::LogCapture capture;
};

// A save that cannot complete leaves what was there, no debris, and the new configuration in force.
TEST_F(InScratchDirectory, FailedSaveKeepsTheNewConfigurationInForceAndTheOldEntry) {
  std::filesystem::create_directory("Nimbrel.cfg");
  writeFile("Nimbrel.cfg/inside", "keep");
  auto config = std::make_shared<ServerConfig>();
  config->setLastUpdated(42);
  context.setServerConfig(config);
  EXPECT_EQ(context.getServerConfig(), config);
  EXPECT_EQ(readFile("Nimbrel.cfg/inside"), "keep");
  EXPECT_EQ(scratch.entries(), Entries{"Nimbrel.cfg"});
  EXPECT_EQ(capture.count("Got exception while saving file 'Nimbrel.cfg' Exception was :renaming",
                          log4cplus::ERROR_LOG_LEVEL),
            1u);
  EXPECT_EQ(capture.count("Error while saving config to file 'Nimbrel.cfg'", log4cplus::FATAL_LOG_LEVEL), 1u);
}

// A pipe in place of a file the start reads would block it for good.
TEST_F(InScratchDirectory, PipeAsChainOrHostNameFileStopsTheCertificateCheck) {
  const auto pem = quorvel::testing::issue({.commonName = "localhost"});
  writeFile("cert.pem", pem.certificatePem);
  writeFile("key.pem", pem.keyPem);
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  const struct {
    std::string certificate, key, chain;  // the command line's files
    std::string hostNameLink;             // certhostname becomes a link to this
    std::string refusal;
  } cases[] = {
      {"cert.pem", "key.pem", "fifo", "", "Certificate chain file 'fifo' is not a regular file, stopping server."},
      {"", "", "", "fifo", "Certificate host name file 'certhostname' is not a regular file, stopping server."},
  };
  for (const auto& c : cases) {
    capture.clear();
    context.setCertFile(c.certificate);
    context.setKeyFile(c.key);
    context.setChainFile(c.chain);
    if (!c.hostNameLink.empty()) std::filesystem::create_symlink(c.hostNameLink, "certhostname");
    EXPECT_FALSE(context.checkAndInitCertificate(""));
    EXPECT_EQ(capture.count(c.refusal, log4cplus::ERROR_LOG_LEVEL), 1u) << c.refusal;
  }
  context.setCertFile("");
  context.setKeyFile("");
  EXPECT_EQ(scratch.entries(), (Entries{"cert.pem", "certhostname", "fifo", "key.pem"})) << "no certificate made";
}

// Even a pipe put in place after the start's check of the file is refused by
// the read itself instead of waited for, and stays as it is.
TEST_F(InScratchDirectory, PipeAsConfigFileFailsTheLoadWithoutWaiting) {
  ASSERT_EQ(::mkfifo("Nimbrel.cfg", 0600), 0);
  EXPECT_FALSE(context.loadServerConfig("Nimbrel.cfg"));
  EXPECT_EQ(capture.count("Error while loading config file 'Nimbrel.cfg'. Exception was: 'Nimbrel.cfg' is not a "
                          "regular file",
                          log4cplus::ERROR_LOG_LEVEL),
            1u);
  struct stat info {};
  ASSERT_EQ(::lstat("Nimbrel.cfg", &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(scratch.entries(), Entries{"Nimbrel.cfg"});
}

// The host name is never written through an open that could wait on a pipe.
TEST_F(InScratchDirectory, PipeAsHostNameFileIsLeftAsItIs) {
  ASSERT_EQ(::mkfifo("certhostname", 0600), 0);
  context.storeCertHostName("host.example");
  struct stat info {};
  ASSERT_EQ(::lstat("certhostname", &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(scratch.entries(), Entries{"certhostname"});
}

// The banner's description never waits on a pipe nor reads a device without end.
TEST(OsReleaseTest, OnlyASmallRegularFileIsRead) {
  TempDir dir;
  writeFile(dir.file("os-release"), "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  writeFile(dir.file("large"), "PRETTY_NAME=Large\n# " + std::string(70000, 'x') + "\n");
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const struct {
    std::string path, parsed, banner;
  } cases[] = {
      {dir.file("os-release"), "Debian GNU/Linux 12 (bookworm)", "Debian GNU/Linux 12 (bookworm)"},
      {dir.file("pipe"), "", "Linux"},
      {"/dev/zero", "", "Linux"},
      {dir.file("large"), "", "Linux"},
      {dir.file("missing"), "", "Linux"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseOsRelease(c.path), c.parsed) << c.path;
    EXPECT_EQ(readOsInfo(c.path), c.banner) << c.path;
  }
}

TEST(AppContextTest, CertificateParameterWithoutKeyIsRefused) {
  AppContextNimbrel& context = AppContextNimbrel::getInstance();
  quorvel::testing::LogCapture capture;
  context.setCertFile("/nonexistent/cert.pem");
  EXPECT_EQ(context.startServer(), AppContextNimbrel::ServerStatus::StartFailed);
  context.setCertFile("");
  EXPECT_TRUE(capture.contains("Missing key for certificate, cannot start without key!", log4cplus::FATAL_LOG_LEVEL));
  EXPECT_FALSE(capture.contains("Https server starting"));
}

TEST(AppContextTest, DefaultLoggingSettings) {
  AppContextNimbrel::getInstance().createDefaultConfig("");
  boost::property_tree::ptree tree;
  AppContextNimbrel::getInstance().writeLogConfig(tree);
  const auto& logging = tree.get_child("server.config.logging");
  const std::pair<const char*, const char*> expected[] = {
      {"logLevel", "20000"}, {"console.enabled", "true"}, {"file.enabled", "false"}, {"rollingfile.filename", "Calvexa.log"},
      {"console.conversationPattern", "%d{%Y.%m.%d %H:%M:%S.%q} %-15.15c %-5.5p - %m%n"},
      {"rollingfile.maxBackupIndex", "10"}, {"rollingfile.maxFileSize", "10485760"}, {"dailyrollingfile.schedule", "3"}};
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(logging.get<std::string>(key, "(missing)"), value) << key;
  }
}

boost::property_tree::ptree sampleTree() {
  boost::property_tree::ptree tree;
  tree.put("server.port", 1444);
  tree.put("server.config.logging.logLevel", 20000);
  tree.put("server.<xmlattr>.version", 1);
  return tree;
}

// Saving writes a new file and renames it: the user's mode and links must survive that.
TEST(ConfigFileTest, ReplacingKeepsTheModeAndTheLink) {
  TempDir dir;
  writeFile(dir.file("real.cfg"), "old");
  ASSERT_EQ(::chmod(dir.file("real.cfg").c_str(), 0640), 0);
  std::filesystem::create_symlink(dir.file("real.cfg"), dir.file("Nimbrel.cfg"));
  AppContextNimbrel::writeXmlFile(sampleTree(), dir.file("Nimbrel.cfg"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("Nimbrel.cfg")));
  EXPECT_NE(readFile(dir.file("real.cfg")).find("<port>1444</port>"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("real.cfg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), (Entries{"Nimbrel.cfg", "real.cfg"}));
}

}  // namespace
}  // namespace quorvel::calvexa
