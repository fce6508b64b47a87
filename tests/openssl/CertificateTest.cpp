#include "common/openssl/Certificate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "CertTestSupport.h"

using namespace certtest;

namespace {

// The record of a good certificate is checked with the self-signed one the service makes.
TEST(CertificateRecord, FilesThatHoldNoCertificate) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  writeFile(dir.file("text"), "no PEM block here\n");
  writeFile(dir.file("empty"), "");
  writeFile(dir.file("big"), std::string(2097153, '\n'));
  const std::pair<const char*, std::string> cases[] = {
      {"text", "108 Invalid X.509 Certificate"},
      {"empty", "1 Improper File Length: Zero"},
      {"big", "1 Improper File Length: larger than 2 MB"},
      {"missing", "2 Could not open file " + dir.file("missing")},
      {"fifo", "1 Improper File Length: not a readable regular file"},
  };
  for (const auto& [name, expected] : cases) {
    Certificate record(dir.file(name));
    EXPECT_TRUE(record.hasError());
    EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + record.getErrorMessage() + record.getValidFrom(), expected);
  }
}

}  // namespace
