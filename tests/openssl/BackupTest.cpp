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
    for (const char* name : {"cert", "key", "chain"}) writeFile(dir.file(name), std::string("live ") + name);
  }
  bool backup() { return CertManager::backupCertificate(f("cert"), f("key"), f("chain"), f("cb"), f("kb"), f("hb"), ""); }
  bool restore() {
    return CertManager::restoreCertificate(f("cert"), f("key"), f("chain"), f("cb"), f("kb"), f("hb"), "");
  }
  std::string f(const char* name) { return dir.file(name); }
  std::string contents() { return readFile(f("cert")) + "|" + readFile(f("key")) + "|" + readFile(f("chain")); }

  TempDir dir;
};

class Backup : public ::testing::Test, public CertSet {
 protected:
  quorvel::testing::LogCapture log;
};

TEST_F(Backup, RoundTripWithAndWithoutChain) {
  ASSERT_TRUE(backup());
  EXPECT_EQ(readFile(f("cb")) + "|" + readFile(f("kb")) + "|" + readFile(f("hb")), "live cert|live key|live chain");
  struct stat info {};
  ASSERT_EQ(::stat(f("kb").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  for (const char* name : {"cert", "key", "chain"}) writeFile(f(name), "newer");
  ASSERT_TRUE(restore());
  EXPECT_EQ(contents(), "live cert|live key|live chain");
  EXPECT_EQ(dir.entries(), (Entries{"cert", "chain", "key"})) << "no backup is left after a restore";

  // Without a chain, the backup set and then the restored set have none either.
  ASSERT_TRUE(backup());
  ::unlink(f("chain").c_str());
  log.clear();
  ASSERT_TRUE(backup());
  EXPECT_EQ(log.count("Backup overwrites", log4cplus::WARN_LOG_LEVEL), 3u);
  EXPECT_EQ(dir.entries(), (Entries{"cb", "cert", "kb", "key"}));
  writeFile(f("chain"), "a chain of a later set");
  ASSERT_TRUE(restore());
  EXPECT_EQ(dir.entries(), (Entries{"cert", "key"}));
}

TEST(BackupRefusal, TouchesNothing) {
  const struct {
    const char* name;
    std::function<void(CertSet&)> plant;
    bool restoring;
  } cases[] = {
      {"backup onto itself", [](CertSet& t) { ::unlink(t.f("kb").c_str()); ::link(t.f("key").c_str(), t.f("kb").c_str()); },
       false},
      {"backup through a link", [](CertSet& t) { ::unlink(t.f("cb").c_str()); ::symlink("cert", t.f("cb").c_str()); },
       false},
      {"directory at the chain", [](CertSet& t) { ::unlink(t.f("chain").c_str()); ::mkdir(t.f("chain").c_str(), 0755); },
       true},
      {"backup missing", [](CertSet& t) { ::unlink(t.f("kb").c_str()); }, true},
      {"key missing", [](CertSet& t) { ::unlink(t.f("key").c_str()); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertSet t;
    ASSERT_TRUE(t.backup());
    for (const char* name : {"cert", "key"}) writeFile(t.f(name), "current");
    c.plant(t);
    Entries before = t.dir.entries();
    std::string cert = readFile(t.f("cert")), key = readFile(t.f("key"));
    EXPECT_FALSE(c.restoring ? t.restore() : t.backup());
    EXPECT_EQ(t.dir.entries(), before);
    EXPECT_EQ(readFile(t.f("cert")) + readFile(t.f("key")), cert + key);
  }
}

TEST_F(Backup, RemovalReportsWhatItLeaves) {
  EXPECT_TRUE(CertManager::removeCertificate(f("none1"), f("none2"), f("none3"), ""));
  EXPECT_TRUE(log.lines().empty());
  ::unlink(f("chain").c_str());
  ASSERT_EQ(::mkdir(f("chain").c_str(), 0755), 0);
  writeFile(f("chain/inside"), "keeps the directory from being removed");
  EXPECT_FALSE(CertManager::removeCertificate(f("cert"), f("key"), f("chain"), ""));
  EXPECT_EQ(dir.entries(), (Entries{"chain"}));
}

}  // namespace
