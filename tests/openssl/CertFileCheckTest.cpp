#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <chrono>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

using namespace certtest;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::string textForm(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  X509_print_ex(bio.get(), certificate, 0, 0);
  return bioToString(bio.get()) + toPem(certificate);
}

TEST(CertificateFileCheck, ProducesEveryRequestedOutput) {
  Issued made = issue({.commonName = "server01",
                         .altNames = "DNS:server01,email:a@example.org,IP:10.0.0.1,URI:https://x.org/,DNS:alias,"
                                     "DNS:alias,IP:::1"});
  TempDir dir;
  writeFile(dir.file("cert.pem"), textForm(made.certificate.get()));

  std::string text, der, commonName;
  StringList names{"stale"};
  time_t validFrom = 0, validTo = 0;
  ASSERT_TRUE(CertManager::checkCertificateFile(dir.file("cert.pem"), &text, &der, &commonName, &names, &validFrom,
                                                &validTo, ""));
  EXPECT_EQ(text, readFile(dir.file("cert.pem")));
  EXPECT_EQ(der, run("openssl x509 -outform DER -in " + dir.file("cert.pem")).output);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(names, (StringList{"server01", "10.0.0.1", "alias", "0000:0000:0000:0000:0000:0000:0000:0001"}));
  EXPECT_EQ(validTo - validFrom, 30 * 86400L + 3600);
}

TEST(FileChecks, RefuseWhatIsNoUsableFileQuickly) {
  constexpr size_t kLimit = 2097152;
  Issued made = issue({.commonName = "server01"});
  const std::string text = textForm(made.certificate.get());
  auto padTo = [](std::string content, size_t size) { return content.resize(size, '\n'), content; };
  TempDir dir;
  writeFile(dir.file("key.pem"), made.keyPem);
  const std::string encrypted = run("openssl pkey -aes256 -passout pass:x -in " + dir.file("key.pem")).output;
  const struct {
    bool key;
    std::string content;  // "fifo", "dir" and "missing" stand for such paths
    bool accepted;
    std::string logText;  // an ERROR line after "file '<path>", or before the path
  } cases[] = {
      {false, padTo(text, kLimit), true, ""},
      {false, padTo(text, kLimit + 1), false, "'  has a length larger than 2 MB."},
      {true, "", false, "'  has a length of 0."},
      {false, kBom + text, true, ""},
      {true, kBom + made.keyPem, true, ""},
      {false, made.keyPem, false, ""},
      {true, made.certificatePem, false, "No or invalid private key: "},
      {true, encrypted, false,
       "Private key is encrypted; only unencrypted private keys are supported: "},
      {false, "fifo", false, "'  is not a regular file (pipe, device or directory)."},
      {true, "dir", false, "'  is not a regular file (pipe, device or directory)."},
      {true, "missing", false, "fopen_s of key file '"},
  };
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0700), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 30) + " size " + std::to_string(c.content.size()));
    bool special = c.content == "fifo" || c.content == "dir" || c.content == "missing";
    const std::string path = dir.file(special ? c.content : "file.pem");
    if (!special) writeFile(path, c.content);
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.key ? CertManager::checkKeyFile(path, nullptr, "")
                    : CertManager::checkCertificateFile(path, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                        ""),
              c.accepted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    if (c.logText.empty()) continue;
    std::string expected = c.logText[0] == '\'' ? "file '" + path + c.logText : c.logText + path;
    EXPECT_TRUE(log.contains(expected, log4cplus::ERROR_LOG_LEVEL)) << expected;
  }
}

}  // namespace
