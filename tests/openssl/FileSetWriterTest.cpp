#include <gtest/gtest.h>
#include <sys/stat.h>

#include "CertTestSupport.h"
#include "common/openssl/FileSetWriter.h"

using namespace certtest;
using Entries = std::vector<std::string>;

namespace {

// Files are renamed into place one by one; a failure part-way must not leave a mixed set.
TEST(FileSetWriter, RenameFailureUndoesTheRenamedFiles) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("blocked").c_str(), 0755), 0);
  writeFile(dir.file("blocked/inside"), "keeps the directory non-empty");
  FileSetWriter files;
  ASSERT_TRUE(files.add(dir.file("first"), std::string("1"), 0666));
  ASSERT_TRUE(files.add(dir.file("blocked"), std::string("2"), 0666));
  EXPECT_FALSE(files.commit());
  EXPECT_EQ(files.failedStage(), FileSetWriter::Stage::Rename);
  EXPECT_EQ(files.failedPath(), dir.file("blocked"));
  EXPECT_EQ(dir.entries(), (Entries{"blocked"}));
}

}  // namespace
