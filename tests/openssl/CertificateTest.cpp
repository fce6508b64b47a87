#include "common/openssl/Certificate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "CertTestSupport.h"

using namespace certtest;

namespace {

TEST(CertificateRecord, DescribesTheServicesOwnCertificate) {
  TempDir dir;
  unsigned long code = 0;
  std::string message;
  ASSERT_TRUE(CertManager::createSelfSign("server01", dir.file("c"), dir.file("k"), "", false, code, message, ""));
  Certificate record(dir.file("c"));
  EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + std::to_string(record.getVersion()) + " " +
                std::to_string(record.getSerialNumber()) + " " + record.getSubjectCN() + " " +
                record.getSignatureAlgorithm(),
            "0 2 -1 server01 sha256WithRSAEncryption");  // a 159-bit serial does not fit
  auto seconds = [](const std::string& text) {
    struct tm parts {};
    ::strptime(text.c_str(), "%Y:%m:%d:%H:%M:%S", &parts);
    return timegm(&parts);
  };
  EXPECT_EQ(seconds(record.getValidTo()) - seconds(record.getValidFrom()), 3650 * 86400L);
  std::string dates = run("openssl x509 -noout -dates -dateopt iso_8601 -in " + dir.file("c")).output;
  for (char& c : dates) c = c == '-' || c == ' ' ? ':' : c;  // "2026-12-07 02:09:18Z" as "2026:12:07:02:09:18Z"
  EXPECT_EQ(dates, "notBefore=" + record.getValidFrom() + "Z\nnotAfter=" + record.getValidTo() + "Z\n");
}

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
    auto start = std::chrono::steady_clock::now();
    Certificate record(dir.file(name));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(record.hasError());
    EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + record.getErrorMessage() + record.getValidFrom(), expected);
  }
}

}  // namespace
