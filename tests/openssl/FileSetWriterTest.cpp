#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "CertTestSupport.h"
#include "common/openssl/FileSetWriter.h"

using quorvel::certificate::FileSetWriter;
using Entries = std::vector<std::string>;

namespace {

class FileSetWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { previousUmask = ::umask(022); }
  void TearDown() override { ::umask(previousUmask); }

  certtest::TempDir dir;
  mode_t previousUmask = 0;
};

TEST_F(FileSetWriterTest, ReplacesFilesWithTheirOwnModes) {
  certtest::writeFile(dir.file("key"), "old key");
  ::chmod(dir.file("key").c_str(), 0644);
  {
    FileSetWriter files;
    ASSERT_TRUE(files.add(dir.file("cert"), std::string("certificate"), 0666));
    ASSERT_TRUE(files.add(dir.file("key"), std::string("new key"), 0600));
    // Nothing is visible before the commit.
    EXPECT_EQ(certtest::readFile(dir.file("key")), "old key");
    EXPECT_FALSE(certtest::pathExists(dir.file("cert")));
    ASSERT_TRUE(files.commit());
  }
  EXPECT_EQ(dir.entries(), (Entries{"cert", "key"}));
  EXPECT_EQ(certtest::readFile(dir.file("cert")), "certificate");
  EXPECT_EQ(certtest::readFile(dir.file("key")), "new key");
  EXPECT_EQ(certtest::fileMode(dir.file("cert")), 0644u);
  EXPECT_EQ(certtest::fileMode(dir.file("key")), 0600u);
}

TEST_F(FileSetWriterTest, OpenFailureRemovesEarlierFiles) {
  certtest::writeFile(dir.file("cert"), "old");
  {
    FileSetWriter files;
    ASSERT_TRUE(files.add(dir.file("cert"), std::string("new"), 0666));
    EXPECT_FALSE(files.add(dir.file("missing/key"), std::string("key"), 0600));
    EXPECT_EQ(files.failedStage(), FileSetWriter::Stage::Open);
    EXPECT_EQ(files.error(), ENOENT);
    EXPECT_EQ(files.failedPath(), dir.file("missing/key"));
  }
  EXPECT_EQ(dir.entries(), (Entries{"cert"}));
  EXPECT_EQ(certtest::readFile(dir.file("cert")), "old");
}

TEST_F(FileSetWriterTest, ShortWriteFailsAndRemovesItsFile) {
  certtest::writeFile(dir.file("chain"), "old chain");
  {
    FileSetWriter files;
    ASSERT_TRUE(files.add(dir.file("small"), std::string(100, 'x'), 0666));
    certtest::FileSizeLimit limit(4096);
    EXPECT_FALSE(files.add(dir.file("chain"), std::string(10000, 'x'), 0666));
    EXPECT_EQ(files.failedStage(), FileSetWriter::Stage::Write);
    EXPECT_EQ(files.error(), EFBIG);
  }
  EXPECT_EQ(dir.entries(), (Entries{"chain"}));
  EXPECT_EQ(certtest::readFile(dir.file("chain")), "old chain");
}

TEST_F(FileSetWriterTest, RenameFailureUndoesTheRenamedFiles) {
  ASSERT_EQ(::mkdir(dir.file("blocked").c_str(), 0755), 0);
  certtest::writeFile(dir.file("blocked/inside"), "keeps the directory non-empty");
  FileSetWriter files;
  ASSERT_TRUE(files.add(dir.file("first"), std::string("1"), 0666));
  ASSERT_TRUE(files.add(dir.file("blocked"), std::string("2"), 0666));
  EXPECT_FALSE(files.commit());
  EXPECT_EQ(files.failedStage(), FileSetWriter::Stage::Rename);
  EXPECT_EQ(files.failedPath(), dir.file("blocked"));
  EXPECT_NE(files.error(), 0);
  EXPECT_EQ(dir.entries(), (Entries{"blocked"}));
}

}  // namespace
