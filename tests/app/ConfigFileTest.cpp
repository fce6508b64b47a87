#include "wolproxy/include/appcontext/AppContextNimbrel.h"

#include "TempDir.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quorvel::calvexa {
namespace {

using boost::property_tree::ptree;
using quorvel::testing::readFile;
using quorvel::testing::TempDir;
using quorvel::testing::writeFile;

std::size_t entryCount(const TempDir& dir) {
  return std::distance(boost::filesystem::directory_iterator(dir.path), boost::filesystem::directory_iterator());
}

ptree sampleTree() {
  ptree tree;
  tree.put("server.port", 1444);
  tree.put("server.config.logging.logLevel", 20000);
  tree.put("server.<xmlattr>.version", 1);
  return tree;
}

TEST(ConfigFileTest, WritesDeclarationAndFourBlankIndent) {
  TempDir dir;
  const std::string path = dir.file("Nimbrel.cfg");
  AppContextNimbrel::writeXmlFile(sampleTree(), path);
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<server version=\"1\">\n"
            "    <port>1444</port>\n"
            "    <config>\n"
            "        <logging>\n"
            "            <logLevel>20000</logLevel>\n"
            "        </logging>\n"
            "    </config>\n"
            "</server>\n");
  EXPECT_EQ(AppContextNimbrel::readXmlFile(path).get<int>("server.port"), 1444);
  EXPECT_EQ(entryCount(dir), 1u);
}

// Saving writes a new file and renames it: the user's mode and links must survive that.
TEST(ConfigFileTest, ReplacingKeepsTheModeAndTheLink) {
  TempDir dir;
  const std::string real = dir.file("real.cfg");
  const std::string link = dir.file("Nimbrel.cfg");
  writeFile(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  boost::filesystem::create_symlink(real, link);
  AppContextNimbrel::writeXmlFile(sampleTree(), link);
  EXPECT_TRUE(boost::filesystem::is_symlink(link));
  EXPECT_NE(readFile(real).find("<port>1444</port>"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entryCount(dir), 2u);
}

// A save that cannot complete must leave what was there and no debris.
TEST(ConfigFileTest, FailedSaveKeepsTheOldEntryAndRemovesTheTemporaryFile) {
  TempDir dir;
  const std::string blocked = dir.file("Nimbrel.cfg");
  boost::filesystem::create_directory(blocked);
  writeFile(dir.file("Nimbrel.cfg/inside"), "keep");
  try {
    AppContextNimbrel::writeXmlFile(sampleTree(), blocked);
    ADD_FAILURE() << "saving over a directory succeeded";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("renaming"), std::string::npos) << e.what();
  }
  EXPECT_EQ(readFile(dir.file("Nimbrel.cfg/inside")), "keep");
  EXPECT_EQ(entryCount(dir), 1u);

  EXPECT_THROW(AppContextNimbrel::writeXmlFile(sampleTree(), dir.file("missing/Nimbrel.cfg")), std::system_error);
  EXPECT_EQ(entryCount(dir), 1u);
}

}  // namespace
}  // namespace quorvel::calvexa
