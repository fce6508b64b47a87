#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "CertTestSupport.h"
#include "common/openssl/Certificate.h"
#include "support/LogCapture.h"

using namespace certtest;
using Entries = std::vector<std::string>;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// The printed text followed by the PEM block, as the service writes it.
std::string textForm(const std::string& pem, const TempDir& dir) {
  writeFile(dir.file("in.pem"), pem);
  return run("openssl x509 -text -nameopt compat -in " + dir.file("in.pem")).output;
}

TEST(CertificateFileCheck, ProducesEveryRequestedOutput) {
  TempDir dir;
  Issued made = issue({.commonName = "server01",
                       .altNames = "DNS:server01,email:a@b.org,IP:10.0.0.1,URI:https://x/,DNS:alias,DNS:alias,IP:::1"});
  const std::string file = dir.file("cert.pem");
  writeFile(file, textForm(made.certificatePem, dir));
  std::string text, der, commonName;
  StringList names{"stale"};
  time_t validFrom = 0, validTo = 0;
  ASSERT_TRUE(CertManager::checkCertificateFile(file, &text, &der, &commonName, &names, &validFrom, &validTo, ""));
  EXPECT_EQ(text, readFile(file));
  EXPECT_EQ(der, run("openssl x509 -outform DER -in " + file).output);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(names, (StringList{"server01", "10.0.0.1", "alias", "0000:0000:0000:0000:0000:0000:0000:0001"}));
  EXPECT_EQ(validTo - validFrom, 30 * 86400L + 3600);
}

// Both readers of certificate files, the checks and the record, share the
// size and kind limits; each reports them in its own words.
TEST(FileChecks, RefuseWhatIsNoUsableFileQuickly) {
  TempDir dir;
  Issued made = issue({.commonName = "server01"});
  const std::string text = textForm(made.certificatePem, dir);
  auto padTo = [](std::string content, size_t size) { return content.resize(size, '\n'), content; };
  writeFile(dir.file("in.pem"), made.keyPem);
  const struct {
    bool key;
    std::string content;  // "fifo", "dir" and "missing" stand for such paths
    std::string logText;  // an ERROR line after "file '<path>", or before the path; "" for accepted
    std::string record;   // the certificate record's error code and message
  } cases[] = {
      {false, padTo(text, 2097152), "", "0 "},
      {false, padTo(text, 2097153), "'  has a length larger than 2 MB.", "1 Improper File Length: larger than 2 MB"},
      {true, "", "'  has a length of 0.", "1 Improper File Length: Zero"},
      {false, kBom + text, "", "0 "},
      {true, kBom + made.keyPem, "", "108 Invalid X.509 Certificate"},
      {true, made.certificatePem, "No or invalid private key: ", "0 "},
      {true, run("openssl pkey -aes256 -passout pass:x -in " + dir.file("in.pem")).output,
       "Private key is encrypted; only unencrypted private keys are supported: ", "108 Invalid X.509 Certificate"},
      {false, "fifo", "'  is not a regular file (pipe, device or directory).",
       "1 Improper File Length: not a readable regular file"},
      {true, "dir", "'  is not a regular file (pipe, device or directory).",
       "1 Improper File Length: not a readable regular file"},
      {true, "missing", "fopen_s of key file '", "2 Could not open file "},
  };
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0700), 0);
  for (const auto& c : cases) {
    bool special = c.content == "fifo" || c.content == "dir" || c.content == "missing";
    const std::string path = dir.file(special ? c.content : "file.pem");
    if (!special) writeFile(path, c.content);
    quorvel::testing::LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.key ? CertManager::checkKeyFile(path, nullptr, "")
                    : CertManager::checkCertificateFile(path, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, ""),
              c.logText.empty())
        << c.content.substr(0, 30);
    const Certificate record(path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    std::string expected = c.logText[0] == '\'' ? "file '" + path + c.logText : c.logText + path;
    EXPECT_TRUE(c.logText.empty() || log.contains(expected, log4cplus::ERROR_LOG_LEVEL)) << expected;
    EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + record.getErrorMessage(),
              c.record + (c.content == "missing" ? path : ""));
  }
}

// Every import replaces an older set; a refused one leaves it as it was.
class Import : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"cert", "key", "chain"}) writeFile(dir.file(name), std::string("old ") + name);
  }
  std::string files() { return readFile(dir.file("cert")) + "|" + readFile(dir.file("key")); }
  bool importPem(const std::string& cert, const std::string& key, const std::string& chain) {
    return CertManager::checkPEMAndWritePEM(cert.data(), cert.size(), key.data(), key.size(), chain.data(),
                                            chain.size(), dir.file("cert"), dir.file("key"), dir.file("chain"),
                                            commonName, code, message, "");
  }
  bool importPfx(const char* password) {
    writeFile(work.file("in.pem"), leaf.certificatePem + leaf.keyPem + ca.certificatePem);
    const std::string archive = run("openssl pkcs12 -export -passout pass:secret -in " + work.file("in.pem")).output;
    return CertManager::checkPFXAndWritePEM(archive.data(), archive.size(), password, dir.file("cert"),
                                            dir.file("key"), dir.file("chain"), commonName, code, message, "");
  }

  TempDir dir, work;
  Issued ca = issue({.commonName = "Root", .ca = true}), leaf = issue({.commonName = "server01"}, &ca);
  std::string commonName, message;
  unsigned long code = 0;
};

TEST_F(Import, PemAndPfxWriteTheSet) {
  const std::string chain = ca.certificatePem + ca.certificatePem;
  code = 7;
  ASSERT_TRUE(importPem(kBom + leaf.certificatePem, kBom + leaf.keyPem, kBom + chain)) << message;
  EXPECT_EQ(code, 7u) << "a success leaves the caller's error code alone";
  EXPECT_EQ(files() + readFile(dir.file("chain")), leaf.certificatePem + "|" + leaf.keyPem + chain);
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(ERR_peek_error(), 0u) << "reading the chain to its end must not leave an error behind";

  ASSERT_TRUE(importPfx("secret")) << message;
  EXPECT_EQ(commonName, "server01");
  const std::string certificate = readFile(dir.file("cert"));
  EXPECT_EQ(certificate.rfind("Certificate:\n", 0), 0u);
  EXPECT_EQ(certificate.substr(certificate.find("-----BEGIN")) + readFile(dir.file("key")) +
                readFile(dir.file("chain")), leaf.certificatePem + leaf.keyPem + ca.certificatePem);
  ASSERT_TRUE(importPem(leaf.certificatePem, leaf.keyPem, "")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert", "key"})) << "without a chain the old chain file goes";
}

// A damaged block after good ones would only fail once the chain is loaded.
TEST_F(Import, RefusalsLeaveTheOldSetAndNoError) {
  const std::string damaged = ca.certificatePem + "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
  const std::pair<std::function<bool()>, std::string> cases[] = {
      {[&] { return importPem(leaf.certificatePem, leaf.keyPem, damaged); }, "In memory check of uploaded chain"},
      {[&] { return importPem(leaf.certificatePem, ca.keyPem, ""); }, "The private key does not match"},
      {[&] { return importPfx("not the password"); }, "wrong password"},
  };
  for (const auto& [import, refusal] : cases) {
    EXPECT_FALSE(import());
    EXPECT_EQ(message.substr(0, refusal.size()), refusal);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(files(), "old cert|old key");
  }
}

}  // namespace
