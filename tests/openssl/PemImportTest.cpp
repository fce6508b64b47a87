#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <openssl/err.h>

#include <cerrno>

#include "CertTestSupport.h"
#include "ImportFixture.h"
#include "common/openssl/CertManager.h"

using namespace quorvel::certificate;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

TEST(PemInMemory, Certificate) {
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  unsigned long code = 0;
  std::string message, commonName;
  EXPECT_TRUE(CertManager::checkPemCertInMemory(material.certificatePem.data(), material.certificatePem.size(),
                                                commonName, code, message, ""));
  EXPECT_EQ(commonName, "server01");

  certtest::EvpPkeyPtr key = certtest::makeEcKey();
  certtest::X509Ptr nameless = certtest::makeCertificate("", "", key.get());
  std::string pem = certtest::certificatePem(nameless.get());
  commonName = "unchanged";
  EXPECT_TRUE(CertManager::checkPemCertInMemory(pem.data(), pem.size(), commonName, code, message, ""));
  EXPECT_EQ(commonName, "unchanged");

  std::string garbage = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  EXPECT_FALSE(CertManager::checkPemCertInMemory(garbage.data(), garbage.size(), commonName, code, message, ""));
  EXPECT_EQ(message, "Invalid X.509 Certificate");
  EXPECT_NE(code, 0u);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(PemInMemory, Key) {
  const certtest::ServerMaterial& material = certtest::serverMaterial();
  unsigned long code = 0;
  std::string message;
  std::string withBom = kBom + material.keyPem;
  EXPECT_TRUE(CertManager::checkPemKeyInMemory(withBom.data(), withBom.size(), code, message, ""));

  std::string encrypted = certtest::encryptedPrivateKeyPem(material.key.get(), false);
  EXPECT_FALSE(CertManager::checkPemKeyInMemory(encrypted.data(), encrypted.size(), code, message, ""));
  EXPECT_EQ(message, "Private key is encrypted; only unencrypted private keys are supported");
  EXPECT_NE(code, 0u);

  code = 0;
  EXPECT_FALSE(CertManager::checkPemKeyInMemory(material.certificatePem.data(), material.certificatePem.size(), code,
                                                message, ""));
  EXPECT_EQ(message, "No or invalid private key");
  EXPECT_NE(code, 0u);
}

TEST(PemInMemory, Chain) {
  const std::string& chain = certtest::threeCertificateChain();
  unsigned long code = 0;
  std::string message;
  EXPECT_TRUE(CertManager::checkPemChainInMemory(chain.data(), chain.size(), code, message, ""));
  EXPECT_EQ(ERR_peek_error(), 0u) << "the read-to-end must not leave an error behind";

  std::string none = "no certificates at all\n";
  EXPECT_FALSE(CertManager::checkPemChainInMemory(none.data(), none.size(), code, message, ""));
  EXPECT_NE(code, 0u);
  EXPECT_EQ(message, "No certificate found in chain");

  // A damaged block after good ones would only fail once the chain is loaded.
  std::string damaged = chain + "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
  code = 0;
  EXPECT_FALSE(CertManager::checkPemChainInMemory(damaged.data(), damaged.size(), code, message, ""));
  EXPECT_NE(code, 0u);
  EXPECT_EQ(message, "Invalid X.509 Certificate in chain");
}

class PemImport : public certtest::ImportFixture {
 protected:
  bool import(const std::string& cert, const std::string& key, const std::string& chain) {
    return CertManager::checkPEMAndWritePEM(cert.data(), cert.size(), key.data(), key.size(), chain.data(),
                                            chain.size(), certFile, keyFile, chainFile, commonName, code, message,
                                            "[p] ");
  }
};

TEST_F(PemImport, WritesTheSetAndReplacesOlderFiles) {
  writeOldSet();
  ::chmod(keyFile.c_str(), 0644);
  const std::string& chain = certtest::threeCertificateChain();
  ASSERT_TRUE(import(kBom + material.certificatePem, kBom + material.keyPem, kBom + chain)) << message;
  EXPECT_EQ(certtest::readFile(certFile), material.certificatePem);
  EXPECT_EQ(certtest::readFile(keyFile), material.keyPem);
  EXPECT_EQ(certtest::readFile(chainFile), chain);
  EXPECT_EQ(certtest::fileMode(keyFile), 0600u);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "chain.pem", "key.pem"}));
  EXPECT_TRUE(CertManager::checkKeyFile(keyFile, nullptr, ""));
  EXPECT_TRUE(CertManager::checkCertificateFile(certFile, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, ""));

  // Without a chain the old chain file goes.
  ASSERT_TRUE(import(material.certificatePem, material.keyPem, "")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"}));
}

TEST_F(PemImport, RefusesBeforeWritingAnything) {
  writeOldSet();
  certtest::EvpPkeyPtr otherKey = certtest::makeEcKey();
  const std::string otherKeyPem = certtest::privateKeyPem(otherKey.get());
  const std::string encrypted = certtest::encryptedPrivateKeyPem(material.key.get(), true);
  struct Case {
    std::string cert, key, chain, message;
  } cases[] = {
      {"garbage", material.keyPem, "", "In memory check of uploaded certificate failed!"},
      {material.certificatePem, "garbage", "", "In memory check of uploaded key failed!"},
      {material.certificatePem, encrypted, "", "In memory check of uploaded key failed!"},
      {material.certificatePem, material.keyPem, "garbage", "In memory check of uploaded chain failed!"},
      {material.certificatePem, otherKeyPem, "", "The private key does not match the certificate!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    code = 0;
    EXPECT_FALSE(import(c.cert, c.key, c.chain));
    EXPECT_EQ(message, c.message);
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(log.contains("[p] " + c.message, log4cplus::ERROR_LOG_LEVEL));
    expectOldSet();
  }
}

TEST_F(PemImport, FileFailuresLeaveTheOldSet) {
  writeOldSet();
  keyFile = dir.file("missing/key.pem");
  EXPECT_FALSE(import(material.certificatePem, material.keyPem, ""));
  EXPECT_EQ(code, static_cast<unsigned long>(ENOENT));
  EXPECT_EQ(message, "cannot open private key file for writing: " + keyFile);
  EXPECT_TRUE(log.contains("[p] Cannot open private key file for writing: " + keyFile, log4cplus::ERROR_LOG_LEVEL));
  keyFile = dir.file("key.pem");
  expectOldSet();

  // A chain too large for the disk.
  std::string bigChain;
  while (bigChain.size() < 64 * 1024) bigChain += certtest::threeCertificateChain();
  {
    certtest::FileSizeLimit limit(16 * 1024);
    EXPECT_FALSE(import(material.certificatePem, material.keyPem, bigChain));
  }
  EXPECT_EQ(code, static_cast<unsigned long>(EFBIG));
  EXPECT_EQ(message, "write failed of chain file " + chainFile);
  expectOldSet();
}

}  // namespace
