#include "wolproxy/include/data/ServerConfigConverter.h"

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

constexpr const char* kDefaultCipher = "ALL:+HIGH:!EXPORT:!LOW:!MEDIUM:@SECLEVEL=1";

TEST(ServerConfigConverterTest, DefaultsAreLeftOutOfTheFile) {
  auto config = std::make_shared<ServerConfig>();
  EXPECT_EQ(*config, ServerConfig(1444, kDefaultCipher, config->getLastUpdated(), true, 49152, 20971520, false, true,
                                  true, true, 9));
  EXPECT_EQ(config->getWolPort(), 9);
  ptree tree;
  ServerConfigConverter::toPropertyTree(tree, config);
  EXPECT_EQ(childNames(tree.get_child("server")), (std::vector<std::string>{"port", "wolPort", "lastUpdated"}));
  EXPECT_EQ(tree.get<std::string>("server.port"), "1444");
  EXPECT_EQ(tree.get<std::string>("server.wolPort"), "9");
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
  EXPECT_EQ(back->getWolPort(), 4009);  // not part of the comparison
  EXPECT_EQ(back->getOsInfo(), "Test OS");
}

// A wrong port or limit must stop the start rather than run with a guess.
TEST(ServerConfigConverterTest, UnreadableNumbersEndTheReading) {
  const std::pair<const char*, const char*> cases[] = {{"port", "abc"},
                                                       {"port", "70000"},
                                                       {"port", "-1"},
                                                       {"wolPort", "nine"},
                                                       {"httpUseReadLimits", "maybe"},
                                                       {"httpMaxHeaderSize", "-5"},
                                                       {"httpMaxPayloadSize", "20MB"}};
  for (const auto& [key, value] : cases) {
    try {
      ServerConfigConverter::fromPropertyTree(serverWith(key, value), "", 1);
      ADD_FAILURE() << key << "=" << value << " was accepted";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace quorvel::data::wolproxy
