#include "wolproxy/include/data/ServerConfigConverter.h"

#include "support/LogCapture.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::data::wolproxy {
namespace {

using boost::property_tree::ptree;

std::vector<std::string> childNames(const ptree& tree) {
  std::vector<std::string> names;
  for (const auto& child : tree) {
    names.push_back(child.first);
  }
  return names;
}

ptree serverWith(const std::string& key, const std::string& value) {
  ptree tree;
  tree.put("server.port", "1444");
  tree.put("server." + key, value);
  return tree;
}

TEST(ServerConfigConverterTest, DefaultsAreLeftOutOfTheFile) {
  auto config = std::make_shared<ServerConfig>();
  config->setLastUpdated(1700000000);
  ptree tree;
  ServerConfigConverter::toPropertyTree(tree, config);
  EXPECT_EQ(childNames(tree.get_child("server")), (std::vector<std::string>{"port", "wolPort", "lastUpdated"}));
  EXPECT_EQ(tree.get<std::string>("server.port"), "1444");
  EXPECT_EQ(tree.get<std::string>("server.wolPort"), "9");
  EXPECT_EQ(tree.get<std::string>("server.lastUpdated"), "1700000000");
}

TEST(ServerConfigConverterTest, EveryChangedSettingSurvivesTheRoundTrip) {
  auto config = std::make_shared<ServerConfig>(8443, "HIGH:!aNULL", 1234567890, false, 1024, 2048, true, false, false,
                                               false, 4009);
  ptree tree;
  ServerConfigConverter::toPropertyTree(tree, config);
  EXPECT_EQ(childNames(tree.get_child("server")),
            (std::vector<std::string>{"port", "wolPort", "cipher", "lastUpdated", "httpUseReadLimits",
                                      "httpMaxHeaderSize", "httpMaxPayloadSize", "enableTLSv1", "enableTLSv1_1",
                                      "enableTLSv1_2", "enableTLSv1_3"}));
  EXPECT_EQ(tree.get<std::string>("server.enableTLSv1_2"), "false");

  const ServerConfigPtr back = ServerConfigConverter::fromPropertyTree(tree, "Test OS", 1);
  EXPECT_EQ(*back, *config);
  EXPECT_EQ(back->getWolPort(), 4009);
  EXPECT_EQ(back->getOsInfo(), "Test OS");
}

TEST(ServerConfigConverterTest, EmptyServerElementGivesDefaultsAndWarnings) {
  quorvel::testing::LogCapture capture;
  ptree tree;
  tree.put("server", "");
  const ServerConfigPtr config = ServerConfigConverter::fromPropertyTree(tree, "", 1);
  EXPECT_EQ(config->getPort(), 1444);
  EXPECT_EQ(config->getWolPort(), 9);
  EXPECT_EQ(config->getCipher(), ServerConfig::kDefaultCipher);
  EXPECT_TRUE(config->getHttpUseReadLimits());
  EXPECT_EQ(config->getHttpMaxHeaderSize(), 49152u);
  EXPECT_EQ(config->getHttpMaxPayloadSize(), 20971520u);
  EXPECT_FALSE(config->getEnableTLSv1());
  EXPECT_TRUE(config->getEnableTLSv1_1());
  EXPECT_TRUE(config->getEnableTLSv1_2());
  EXPECT_TRUE(config->getEnableTLSv1_3());
  EXPECT_EQ(capture.count(" setting server.port not found. Assuming standard value of '1444'.",
                          log4cplus::WARN_LOG_LEVEL),
            1u);
  EXPECT_EQ(capture.count(" setting server.m_wolPort not found. Assuming standard value of '9'.",
                          log4cplus::WARN_LOG_LEVEL),
            1u);
}

TEST(ServerConfigConverterTest, LenientValuesFallBackToDefaults) {
  EXPECT_EQ(ServerConfigConverter::fromPropertyTree(serverWith("cipher", ""), "", 1)->getCipher(),
            ServerConfig::kDefaultCipher);
  EXPECT_TRUE(ServerConfigConverter::fromPropertyTree(serverWith("enableTLSv1_3", "maybe"), "", 1)->getEnableTLSv1_3());
  EXPECT_FALSE(ServerConfigConverter::fromPropertyTree(serverWith("enableTLSv1", "yes"), "", 1)->getEnableTLSv1());
  EXPECT_FALSE(ServerConfigConverter::fromPropertyTree(serverWith("enableTLSv1_2", "0"), "", 1)->getEnableTLSv1_2());
}

struct BadValue {
  const char* key;
  const char* value;
};

class UnreadableSettingTest : public ::testing::TestWithParam<BadValue> {};

// A wrong port or limit must stop the start rather than run with a guess.
TEST_P(UnreadableSettingTest, EndsTheReading) {
  const BadValue& bad = GetParam();
  try {
    ServerConfigConverter::fromPropertyTree(serverWith(bad.key, bad.value), "", 1);
    ADD_FAILURE() << bad.key << "=" << bad.value << " was accepted";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(bad.key), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Values, UnreadableSettingTest,
                         ::testing::Values(BadValue{"port", "abc"}, BadValue{"port", "70000"},
                                           BadValue{"port", "-1"}, BadValue{"port", ""},
                                           BadValue{"wolPort", "nine"}, BadValue{"lastUpdated", "yesterday"},
                                           BadValue{"httpUseReadLimits", "maybe"},
                                           BadValue{"httpMaxHeaderSize", "-5"},
                                           BadValue{"httpMaxPayloadSize", "20MB"}));

TEST(ServerConfigConverterTest, WritingNoConfigurationIsAnError) {
  ptree tree;
  EXPECT_THROW(ServerConfigConverter::toPropertyTree(tree, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace quorvel::data::wolproxy
