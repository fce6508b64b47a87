#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

using namespace certtest;
using quorvel::testing::LogCapture;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::string textForm(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  X509_print_ex(bio.get(), certificate, 0, 0);
  PEM_write_bio_X509(bio.get(), certificate);
  return bioToString(bio.get());
}

size_t openDescriptors() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

bool checkCertificate(const std::string& path) {
  return CertManager::checkCertificateFile(path, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "");
}

TEST(CertificateFileCheck, ProducesEveryRequestedOutput) {
  EvpPkeyPtr key = makeEcKey();
  X509Ptr certificate = makeCertificate(
      "server01", "DNS:server01,email:admin@example.org,IP:10.0.0.1,URI:https://x.org/,DNS:alias,DNS:alias,IP:::1",
      key.get());
  // An address of five bytes cannot be written through the configuration functions.
  GeneralNamesPtr altNames(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr)));
  GENERAL_NAME* odd = GENERAL_NAME_new();
  ASN1_OCTET_STRING* bytes = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(bytes, reinterpret_cast<const unsigned char*>("\x01\x02\x03\x04\x05"), 5);
  GENERAL_NAME_set0_value(odd, GEN_IPADD, bytes);
  sk_GENERAL_NAME_push(altNames.get(), odd);
  ASSERT_EQ(X509_add1_ext_i2d(certificate.get(), NID_subject_alt_name, altNames.get(), 0, X509V3_ADD_REPLACE), 1);
  ASSERT_GT(X509_sign(certificate.get(), key.get(), EVP_sha256()), 0);
  TempDir dir;
  const std::string text = textForm(certificate.get());
  writeFile(dir.file("cert.pem"), text);

  LogCapture log;
  std::string certText, certDer, commonName;
  StringList names{"stale"};
  time_t validFrom = 0, validTo = 0;
  ASSERT_TRUE(CertManager::checkCertificateFile(dir.file("cert.pem"), &certText, &certDer, &commonName, &names,
                                                &validFrom, &validTo, "[p] "));
  EXPECT_EQ(certText, text);
  unsigned char* der = nullptr;
  int derLength = i2d_X509(certificate.get(), &der);
  EXPECT_EQ(certDer, std::string(reinterpret_cast<char*>(der), static_cast<size_t>(derLength)));
  OPENSSL_free(der);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(names, (StringList{"server01", "10.0.0.1", "alias", "0000:0000:0000:0000:0000:0000:0000:0001"}));
  EXPECT_EQ(validTo - validFrom, 30 * 86400L);
  EXPECT_LE(std::abs(validFrom - std::time(nullptr)), 60);
  EXPECT_TRUE(
      log.contains("[p] Subject Alt Name detected as ip address type, but got length of string of '5', "
                   "ignoring this entry!",
                   log4cplus::WARN_LOG_LEVEL));
}

std::string padTo(std::string content, size_t size) {
  content.resize(size, '\n');
  return content;
}

TEST(FileChecks, SizeLimitMarkAndContent) {
  constexpr size_t kLimit = 2097152;
  const ServerMaterial& material = serverMaterial();
  const std::string text = textForm(material.certificate.get());
  const struct {
    bool key;
    std::string content;
    bool accepted;
    std::string logText;  // an ERROR line after "file '<path>", or before the path
  } cases[] = {
      {false, padTo(text, kLimit), true, ""},
      {false, padTo(text, kLimit + 1), false, "'  has a length larger than 2 MB."},
      {false, "", false, "'  has a length of 0."},
      {false, kBom + text, true, ""},
      {false, "not a certificate\n", false, ""},
      {true, padTo(material.keyPem, kLimit + 1), false, "'  has a length larger than 2 MB."},
      {true, material.certificatePem, false, "No or invalid private key: "},
  };
  TempDir dir;
  const std::string path = dir.file("file.pem");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20) + " size " + std::to_string(c.content.size()));
    writeFile(path, c.content);
    LogCapture log;
    size_t descriptors = openDescriptors();
    EXPECT_EQ(c.key ? CertManager::checkKeyFile(path, nullptr, "") : checkCertificate(path), c.accepted);
    EXPECT_EQ(openDescriptors(), descriptors) << "file left open";
    if (!c.logText.empty()) {
      std::string expected = c.logText[0] == '\'' ? "file '" + path + c.logText : c.logText + path;
      EXPECT_TRUE(log.contains(expected, log4cplus::ERROR_LOG_LEVEL)) << expected;
    }
  }
}

TEST(FileChecks, ThingsThatAreNoFilesFailFast) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  LogCapture log;
  auto start = std::chrono::steady_clock::now();
  for (const std::string& path : {dir.file("fifo"), dir.path(), std::string("/dev/null")}) {
    EXPECT_FALSE(checkCertificate(path)) << path;
    EXPECT_FALSE(CertManager::checkKeyFile(path, nullptr, "")) << path;
    EXPECT_EQ(log.count("file '" + path + "'  is not a regular file (pipe, device or directory).",
                        log4cplus::ERROR_LOG_LEVEL),
              2u)
        << path;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  EXPECT_FALSE(checkCertificate(dir.file("missing")));
  EXPECT_FALSE(CertManager::checkKeyFile(dir.file("missing"), nullptr, "[p] "));
  EXPECT_TRUE(log.contains("fopen_s of certificate '" + dir.file("missing") + "'  failed with error 2"));
  EXPECT_TRUE(log.contains("[p] fopen_s of key file '" + dir.file("missing") + "'  failed with error 2"));
}

TEST(KeyFileCheck, EncryptedKeysAreRefusedWithoutPrompting) {
  TempDir dir;
  const ServerMaterial& material = serverMaterial();
  const std::string path = dir.file("key.pem");
  for (KeyForm form : {KeyForm::Encrypted, KeyForm::Traditional}) {
    writeFile(path, privateKeyPem(material.key.get(), form));
    LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(CertManager::checkKeyFile(path, nullptr, ""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(log.contains("Private key is encrypted; only unencrypted private keys are supported: " + path,
                             log4cplus::ERROR_LOG_LEVEL));
  }

  // A readable key comes back as plain PEM, without its byte-order mark.
  writeFile(path, kBom + material.keyPem);
  std::string pem;
  ASSERT_TRUE(CertManager::checkKeyFile(path, &pem, ""));
  EXPECT_EQ(pem, material.keyPem);
}

}  // namespace
