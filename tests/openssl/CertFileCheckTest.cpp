#include <dirent.h>
#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <chrono>

#include "CertTestSupport.h"
#include "common/openssl/CertManager.h"
#include "support/LogCapture.h"

using namespace quorvel::certificate;

namespace {

constexpr size_t kLimit = 2097152;
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
  certtest::TempDir dir;
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  const std::string text = textForm(material.certificate.get());
  certtest::writeFile(dir.file("cert.pem"), text);

  std::string certText, certDer, commonName;
  StringList names{"stale"};
  time_t validFrom = 0, validTo = 0;
  ASSERT_TRUE(CertManager::checkCertificateFile(dir.file("cert.pem"), &certText, &certDer, &commonName, &names,
                                                &validFrom, &validTo, "[p] "));
  EXPECT_EQ(certText, text);
  unsigned char* der = nullptr;
  int derLength = i2d_X509(material.certificate.get(), &der);
  EXPECT_EQ(certDer, std::string(reinterpret_cast<char*>(der), static_cast<size_t>(derLength)));
  OPENSSL_free(der);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(names, (StringList{"server01", "alias", "10.0.0.1", "0000:0000:0000:0000:0000:0000:0000:0001"}));
  EXPECT_EQ(validTo - validFrom, 30 * 86400L);
  EXPECT_LE(std::abs(validFrom - std::time(nullptr)), 60);

  // Plain PEM (no printed text) with no outputs requested.
  certtest::writeFile(dir.file("plain.pem"), material.certificatePem);
  EXPECT_TRUE(checkCertificate(dir.file("plain.pem")));
}

TEST(CertificateFileCheck, NamesSkipEntriesThatAreNoHostNames) {
  certtest::TempDir dir;
  certtest::EvpPkeyPtr key = certtest::makeEcKey();
  certtest::X509Ptr certificate = certtest::makeCertificate(
      "server01", "DNS:server01,email:admin@example.org,URI:https://example.org/,DNS:alias,DNS:alias", key.get());

  // An address of five bytes cannot be written through the configuration functions.
  GeneralNamesPtr altNames(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr)));
  ASSERT_TRUE(altNames);
  GENERAL_NAME* odd = GENERAL_NAME_new();
  ASN1_OCTET_STRING* bytes = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(bytes, reinterpret_cast<const unsigned char*>("\x01\x02\x03\x04\x05"), 5);
  GENERAL_NAME_set0_value(odd, GEN_IPADD, bytes);
  sk_GENERAL_NAME_push(altNames.get(), odd);
  ASSERT_EQ(X509_add1_ext_i2d(certificate.get(), NID_subject_alt_name, altNames.get(), 0, X509V3_ADD_REPLACE), 1);
  ASSERT_GT(X509_sign(certificate.get(), key.get(), EVP_sha256()), 0);
  certtest::writeFile(dir.file("cert.pem"), certtest::certificatePem(certificate.get()));

  quorvel::testing::LogCapture log;
  StringList names;
  ASSERT_TRUE(CertManager::checkCertificateFile(dir.file("cert.pem"), nullptr, nullptr, nullptr, &names, nullptr,
                                                nullptr, "[p] "));
  EXPECT_EQ(names, (StringList{"server01", "alias"}));
  EXPECT_TRUE(
      log.contains("[p] Subject Alt Name detected as ip address type, but got length of string of '5', "
                   "ignoring this entry!",
                   log4cplus::WARN_LOG_LEVEL));
}

enum class Kind { Certificate, Key };

struct FileCase {
  const char* name;
  Kind kind;
  std::string content;
  bool accepted;
  std::string logText;  // expected in an ERROR line after "file '<path>"
};

std::string padTo(std::string content, size_t size) {
  content.resize(size, '\n');
  return content;
}

std::vector<FileCase> fileCases() {
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  const std::string text = textForm(material.certificate.get());
  return {
      {"CertificateAtLimit", Kind::Certificate, padTo(text, kLimit), true, ""},
      {"CertificateOverLimit", Kind::Certificate, padTo(text, kLimit + 1), false, "'  has a length larger than 2 MB."},
      {"CertificateEmpty", Kind::Certificate, "", false, "'  has a length of 0."},
      {"CertificateWithBom", Kind::Certificate, kBom + text, true, ""},
      {"CertificateGarbage", Kind::Certificate, "not a certificate\n", false, ""},
      {"KeyAtLimit", Kind::Key, padTo(material.keyPem, kLimit), true, ""},
      {"KeyOverLimit", Kind::Key, padTo(material.keyPem, kLimit + 1), false, "'  has a length larger than 2 MB."},
      {"KeyEmpty", Kind::Key, "", false, "'  has a length of 0."},
      {"KeyWithBom", Kind::Key, kBom + material.keyPem, true, ""},
      {"KeyIsACertificate", Kind::Key, material.certificatePem, false, "No or invalid private key: "},
  };
}

class FileChecks : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileChecks, AcceptOrRefuse) {
  const FileCase& c = GetParam();
  certtest::TempDir dir;
  const std::string path = dir.file("file.pem");
  certtest::writeFile(path, c.content);
  quorvel::testing::LogCapture log;
  size_t descriptors = openDescriptors();
  bool accepted = c.kind == Kind::Certificate ? checkCertificate(path) : CertManager::checkKeyFile(path, nullptr, "");
  EXPECT_EQ(accepted, c.accepted);
  EXPECT_EQ(openDescriptors(), descriptors) << "file left open";
  if (!c.logText.empty()) {
    std::string expected = c.logText.rfind("'", 0) == 0 ? "file '" + path + c.logText : c.logText + path;
    EXPECT_TRUE(log.contains(expected, log4cplus::ERROR_LOG_LEVEL)) << expected;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FileChecks, ::testing::ValuesIn(fileCases()),
                         [](const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; });

TEST(FileChecks, ThingsThatAreNoFilesFailFast) {
  certtest::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  quorvel::testing::LogCapture log;
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
  certtest::TempDir dir;
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  for (bool traditional : {false, true}) {
    SCOPED_TRACE(traditional ? "traditional" : "pkcs8");
    const std::string path = dir.file(traditional ? "traditional.pem" : "pkcs8.pem");
    certtest::writeFile(path, certtest::encryptedPrivateKeyPem(material.key.get(), traditional));
    quorvel::testing::LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(CertManager::checkKeyFile(path, nullptr, ""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(log.contains("Private key is encrypted; only unencrypted private keys are supported: " + path,
                             log4cplus::ERROR_LOG_LEVEL));
  }
}

TEST(KeyFileCheck, GivesTheKeyAsUnencryptedPem) {
  certtest::TempDir dir;
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  certtest::writeFile(dir.file("key.pem"), kBom + material.keyPem);
  std::string pem;
  ASSERT_TRUE(CertManager::checkKeyFile(dir.file("key.pem"), &pem, ""));
  EXPECT_EQ(pem, material.keyPem);
}

}  // namespace
