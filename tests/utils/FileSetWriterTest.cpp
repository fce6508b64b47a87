#include "common/utils/FileSetWriter.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>

#include "support/TempDir.h"

using quorvel::utils::FileSetWriter;
using namespace quorvel::testing;
using Entries = std::vector<std::string>;

namespace {

// A 64 KiB tmpfs at dir/small, private to this process.
void mountSmallDisk(const TempDir& dir, bool readOnly) {
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mkdir(dir.file("small").c_str(), 0755), 0);
  ASSERT_EQ(::mount("test", dir.file("small").c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, "size=64k"), 0);
}

// The second file of a set cannot be placed; the first target must keep its old content.
TEST(FileSetWriter, AFailedSetLeavesEveryOldFile) {
  const std::string big(256 * 1024, 'x');
  using Stage = FileSetWriter::Stage;
  const struct {
    std::function<void(const TempDir&)> plant;
    const char* second;
    Stage stage;
    int error;
  } cases[] = {
      {[](const TempDir& d) { ::mkdir(d.file("second").c_str(), 0755); }, "second", Stage::Rename, EPERM},
      {[](const TempDir&) {}, "missing/second", Stage::Open, ENOENT},
      {[](const TempDir& d) { mountSmallDisk(d, false); }, "small/second", Stage::Write, ENOSPC},
      {[](const TempDir& d) { mountSmallDisk(d, true); }, "small/second", Stage::Open, EROFS},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir.file("first"), "old");
    c.plant(dir);
    Entries before = dir.entries();
    {
      FileSetWriter files;
      EXPECT_TRUE(files.add(dir.file("first"), std::string("new"), 0644));
      EXPECT_FALSE(files.add(dir.file(c.second), big, 0644) && files.commit());
      EXPECT_EQ(files.failedStage(), c.stage) << c.second;
      EXPECT_EQ(files.error(), c.error) << c.second;
    }
    EXPECT_EQ(readFile(dir.file("first")), "old");
    EXPECT_EQ(dir.entries(), before);
    ::umount2(dir.file("small").c_str(), MNT_DETACH);
  }
}

// The renames before the failing one are undone: old files come back, new ones go.
TEST(FileSetWriter, ALaterRenameThatFailsPutsBackWhatWasAlreadyRenamed) {
  TempDir dir;
  writeFile(dir.file("first"), "old first");
  writeFile(dir.file("second"), "old second");
  const Entries before = dir.entries();
  {
    FileSetWriter files;
    for (const char* name : {"first", "fresh", "second", "last"}) {
      ASSERT_TRUE(files.add(dir.file(name), std::string("new"), 0644));
    }
    // Something takes the last file's written copy away before it is renamed into place.
    for (const auto& name : dir.entries()) {
      if (name.rfind("last.", 0) == 0) std::filesystem::remove(dir.file(name));
    }
    EXPECT_FALSE(files.commit());
    EXPECT_EQ(files.failedStage(), FileSetWriter::Stage::Rename);
    EXPECT_EQ(files.failedPath(), dir.file("last"));
    EXPECT_EQ(files.error(), ENOENT);
  }
  EXPECT_EQ(readFile(dir.file("first")) + "|" + readFile(dir.file("second")), "old first|old second");
  EXPECT_EQ(dir.entries(), before);
}

TEST(FileSetWriter, ReplacesThroughSymbolicLinksAndLeavesNothingBehind) {
  TempDir dir;
  writeFile(dir.file("real"), "old");
  ASSERT_EQ(::symlink("real", dir.file("link").c_str()), 0);
  FileSetWriter files;
  ASSERT_TRUE(files.add(dir.file("link"), std::string("new link"), 0600));
  ASSERT_TRUE(files.add(dir.file("fresh"), std::string("new file"), 0600));
  ASSERT_TRUE(files.commit());
  EXPECT_EQ(dir.entries(), (Entries{"fresh", "link", "real"}));
  EXPECT_EQ(readFile(dir.file("link")) + "|" + readFile(dir.file("fresh")), "new link|new file");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
}

}  // namespace
