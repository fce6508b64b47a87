#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

using namespace certtest;
using Entries = std::vector<std::string>;

namespace {

// Live files "cert", "key", "chain"; backups "cb", "kb", "hb".
struct CertSet {
  CertSet() {
    for (const char* name : {"cert", "key", "chain"}) writeFile(f(name), std::string("live ") + name);
  }
  bool backup() { return CertManager::backupCertificate(f("cert"), f("key"), f("chain"), f("cb"), f("kb"), f("hb"), ""); }
  bool restore() { return CertManager::restoreCertificate(f("cert"), f("key"), f("chain"), f("cb"), f("kb"), f("hb"), ""); }
  std::string f(const char* name) { return dir.file(name); }
  TempDir dir;
};

TEST(Backup, RoundTripsWithAndWithoutChain) {
  CertSet set;
  quorvel::testing::LogCapture log;
  ASSERT_TRUE(set.backup());
  struct stat info {};
  ASSERT_EQ(::stat(set.f("kb").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  for (const char* name : {"cert", "key", "chain"}) writeFile(set.f(name), "newer");
  ASSERT_TRUE(set.restore());
  EXPECT_EQ(readFile(set.f("cert")) + readFile(set.f("key")) + readFile(set.f("chain")), "live certlive keylive chain");
  EXPECT_EQ(set.dir.entries(), (Entries{"cert", "chain", "key"})) << "no backup is left after a restore";

  // Without a chain, the backup set and then the restored set have none either.
  ASSERT_TRUE(set.backup());
  ::unlink(set.f("chain").c_str());
  log.clear();
  ASSERT_TRUE(set.backup());
  EXPECT_EQ(log.count("Backup overwrites", log4cplus::WARN_LOG_LEVEL), 3u);
  EXPECT_EQ(set.dir.entries(), (Entries{"cb", "cert", "kb", "key"}));
  writeFile(set.f("chain"), "a chain of a later set");
  ASSERT_TRUE(set.restore());
  EXPECT_EQ(set.dir.entries(), (Entries{"cert", "key"}));
  ASSERT_EQ(::symlink("key", set.f("kb").c_str()), 0);
  EXPECT_FALSE(set.backup()) << "a link planted at a backup name is not written through";
  EXPECT_TRUE(CertManager::removeCertificate(set.f("cert"), set.f("key"), set.f("chain"), ""));
  EXPECT_EQ(set.dir.entries(), (Entries{"kb"}));
}

// The backups are the only copy of the old set until a restore has completed.
TEST(Backup, FailedRestoreKeepsEveryBackup) {
  CertSet set;
  quorvel::testing::LogCapture log;
  ASSERT_TRUE(set.backup());
  ASSERT_EQ(::unlink(set.f("key").c_str()), 0);
  ASSERT_EQ(::mkdir(set.f("key").c_str(), 0700), 0);
  writeFile(set.f("key") + "/inside", "in the way");
  EXPECT_FALSE(set.restore());
  EXPECT_EQ(readFile(set.f("cb")) + readFile(set.f("kb")) + readFile(set.f("hb")), "live certlive keylive chain");
}

}  // namespace
