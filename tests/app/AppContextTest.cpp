#include "wolproxy/include/appcontext/AppContextNimbrel.h"

#include "TempDir.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace quorvel::calvexa {
namespace {

using quorvel::data::wolproxy::ServerConfig;
using quorvel::testing::readFile;
using quorvel::testing::TempDir;
using quorvel::testing::writeFile;

// The context has no directories until init runs, so its files land in the
// working directory: run those tests inside a scratch one.
class InScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = boost::filesystem::current_path();
    boost::filesystem::current_path(scratch.path);
  }
  void TearDown() override { boost::filesystem::current_path(previous); }

  TempDir scratch;
  boost::filesystem::path previous;
  AppContextNimbrel& context = AppContextNimbrel::getInstance();
  quorvel::testing::LogCapture capture;
};

TEST_F(InScratchDirectory, NewConfigurationKeepsWhatCannotChangeWhileRunning) {
  context.setServerConfig(nullptr);
  auto first = std::make_shared<ServerConfig>(1444, ServerConfig::kDefaultCipher, 1000, true, 4096, 8192, false, true,
                                              true, true, 9);
  context.setServerConfig(first);
  EXPECT_GT(first->getLastUpdated(), 1000);
  EXPECT_NE(readFile("Nimbrel.cfg").find("<httpMaxHeaderSize>4096</httpMaxHeaderSize>"), std::string::npos);

  auto second = std::make_shared<ServerConfig>(8443, ServerConfig::kDefaultCipher, 2000, false, 1, 2, false, true,
                                               false, true, 4000);
  context.setServerConfig(second);
  const auto installed = context.getServerConfig();
  ASSERT_EQ(installed, second);
  EXPECT_EQ(installed->getPort(), 8443);
  EXPECT_FALSE(installed->getEnableTLSv1_2());
  // The socket, the read limits and the broadcast port were set up at start.
  EXPECT_EQ(installed->getWolPort(), 9);
  EXPECT_TRUE(installed->getHttpUseReadLimits());
  EXPECT_EQ(installed->getHttpMaxHeaderSize(), 4096u);
  EXPECT_EQ(installed->getHttpMaxPayloadSize(), 8192u);

  // Same stamp as the installed one: already known, nothing happens.
  auto same = std::make_shared<ServerConfig>(*installed);
  same->setPort(1);
  context.setServerConfig(same);
  EXPECT_EQ(context.getServerConfig(), second);
}

TEST_F(InScratchDirectory, FailedSaveKeepsTheNewConfigurationInForce) {
  boost::filesystem::create_directory("Nimbrel.cfg");
  auto config = std::make_shared<ServerConfig>();
  config->setLastUpdated(42);
  context.setServerConfig(config);
  EXPECT_EQ(context.getServerConfig(), config);
  EXPECT_EQ(capture.count("Got exception while saving file 'Nimbrel.cfg' Exception was :renaming",
                          log4cplus::ERROR_LOG_LEVEL),
            1u);
  EXPECT_EQ(capture.count("Error while saving config to file 'Nimbrel.cfg'", log4cplus::FATAL_LOG_LEVEL), 1u);
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

TEST(OsReleaseTest, DescriptionFromTheReleaseFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n", "Debian GNU/Linux 12 (bookworm)"},
      {"NAME=Fedora\nVERSION=\"39 (Server Edition)\"\n", "Fedora 39 (Server Edition)"},
      {"ID=arch\n", "arch"},
      {"VERSION=1\n# comment\n", ""}};
  TempDir dir;
  for (const auto& [content, expected] : cases) {
    writeFile(dir.file("os-release"), content);
    EXPECT_EQ(parseOsRelease(dir.file("os-release")), expected) << content;
  }
  EXPECT_EQ(parseOsRelease(dir.file("missing")), "");
}

}  // namespace
}  // namespace quorvel::calvexa
