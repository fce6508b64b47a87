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
  ASSERT_TRUE(CertManager::createSelfSign("server01", dir.file("c.pem"), dir.file("k.pem"), "", false, code, message,
                                          ""));
  Certificate record(dir.file("c.pem"));
  ASSERT_FALSE(record.hasError()) << record.getErrorMessage();
  EXPECT_EQ(record.getVersion(), 2);
  EXPECT_EQ(record.getSerialNumber(), -1) << "a 159-bit serial does not fit";
  EXPECT_EQ(record.getSubjectCN(), "server01");
  EXPECT_EQ(record.getSignatureAlgorithm(), "sha256WithRSAEncryption");
  // "2026:12:07:02:09:18" against openssl's "2026-12-07 02:09:18Z".
  const std::string dates = run("openssl x509 -noout -dates -dateopt iso_8601 -in " + dir.file("c.pem")).output;
  auto iso = [](std::string text) {
    for (char& c : text) c = c == ':' ? '-' : c;
    return text.substr(0, 10) + " " + text.substr(11, 2) + ":" + text.substr(14, 2) + ":" + text.substr(17, 2);
  };
  EXPECT_EQ(dates, "notBefore=" + iso(record.getValidFrom()) + "Z\nnotAfter=" + iso(record.getValidTo()) + "Z\n");
  auto seconds = [](const std::string& text) {
    struct tm parts {};
    ::strptime(text.c_str(), "%Y:%m:%d:%H:%M:%S", &parts);
    return timegm(&parts);
  };
  EXPECT_EQ(seconds(record.getValidTo()) - seconds(record.getValidFrom()), 3650 * 86400L);
}

TEST(CertificateRecord, FilesThatHoldNoCertificate) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  writeFile(dir.file("text"), "no PEM block here\n");
  writeFile(dir.file("empty"), "");
  writeFile(dir.file("big"), std::string(2097153, '\n'));
  const struct {
    const char* name;
    int code;
    std::string message;
  } cases[] = {
      {"text", 108, "Invalid X.509 Certificate"},
      {"empty", 1, "Improper File Length: Zero"},
      {"big", 1, "Improper File Length: larger than 2 MB"},
      {"missing", 2, "Could not open file " + dir.file("missing")},
      {"fifo", 1, "Improper File Length: not a readable regular file"},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    Certificate record(dir.file(c.name));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(record.hasError());
    EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + record.getErrorMessage(),
              std::to_string(c.code) + " " + c.message);
    EXPECT_EQ(record.getValidFrom() + record.getSubjectCN(), "");
  }
}

}  // namespace
