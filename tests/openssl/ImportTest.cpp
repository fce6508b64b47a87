#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

using namespace certtest;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// Every import replaces an older set of certificate, key and chain.
class Import : public ::testing::Test {
 protected:
  using Entries = std::vector<std::string>;

  void SetUp() override {
    writeFile(certFile, "old cert");
    writeFile(keyFile, "old key");
    writeFile(chainFile, "old chain");
    ::chmod(keyFile.c_str(), 0644);
  }
  // A refused import must leave every file of the older set as it was.
  void expectOldSet() {
    EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "chain.pem", "key.pem"}));
    EXPECT_EQ(readFile(certFile) + "|" + readFile(keyFile) + "|" + readFile(chainFile), "old cert|old key|old chain");
  }
  bool importPem(const std::string& cert, const std::string& key, const std::string& chain) {
    return CertManager::checkPEMAndWritePEM(cert.data(), cert.size(), key.data(), key.size(), chain.data(),
                                            chain.size(), certFile, keyFile, chainFile, commonName, code, message,
                                            "[p] ");
  }
  bool importPfx(const std::string& archive, const char* password) {
    return CertManager::checkPFXAndWritePEM(archive.data(), archive.size(), password, certFile, keyFile, chainFile,
                                            commonName, code, message, "[p] ");
  }
  // Archives come from the openssl tool, as a user would make them.
  std::string exportPfx(bool withChain) {
    writeFile(work.file("in.pem"), material.certificatePem + material.keyPem);
    writeFile(work.file("chain.pem"), material.chainPem);
    std::string command = "openssl pkcs12 -export -passout pass:secret -in '" + work.file("in.pem") + "' -out '" +
                          work.file("out.pfx") + "'";
    if (withChain) command += " -certfile '" + work.file("chain.pem") + "'";
    EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    return readFile(work.file("out.pfx"));
  }

  TempDir dir, work;
  const ServerMaterial& material = serverMaterial();
  std::string certFile = dir.file("cert.pem");
  std::string keyFile = dir.file("key.pem");
  std::string chainFile = dir.file("chain.pem");
  std::string commonName, message;
  unsigned long code = 0;
  quorvel::testing::LogCapture log;
};

TEST_F(Import, PemWritesTheSetAndReplacesOlderFiles) {
  ASSERT_TRUE(importPem(kBom + material.certificatePem, kBom + material.keyPem, kBom + material.chainPem)) << message;
  EXPECT_EQ(readFile(certFile), material.certificatePem);
  EXPECT_EQ(readFile(keyFile), material.keyPem);
  EXPECT_EQ(readFile(chainFile), material.chainPem);
  EXPECT_EQ(fileMode(keyFile), 0600u);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "chain.pem", "key.pem"}));
  EXPECT_EQ(ERR_peek_error(), 0u) << "reading the chain to its end must not leave an error behind";

  // Without a chain the old chain file goes.
  ASSERT_TRUE(importPem(material.certificatePem, material.keyPem, "")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"}));
}

TEST_F(Import, PemRefusesBeforeWritingAnything) {
  EvpPkeyPtr otherKey = makeEcKey();
  const std::string encrypted = privateKeyPem(material.key.get(), KeyForm::Traditional);
  const struct {
    std::string cert, key, chain, message;
  } cases[] = {
      {"garbage", material.keyPem, "", "In memory check of uploaded certificate failed!"},
      {material.certificatePem, "garbage", "", "In memory check of uploaded key failed!"},
      {material.certificatePem, encrypted, "", "In memory check of uploaded key failed!"},
      {material.certificatePem, material.keyPem, "garbage", "In memory check of uploaded chain failed!"},
      // A damaged block after good ones would only fail once the chain is loaded.
      {material.certificatePem, material.keyPem,
       material.chainPem + "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n",
       "In memory check of uploaded chain failed!"},
      {material.certificatePem, privateKeyPem(otherKey.get()), "", "The private key does not match the certificate!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    code = 0;
    EXPECT_FALSE(importPem(c.cert, c.key, c.chain));
    EXPECT_EQ(message, c.message);
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(log.contains("[p] " + c.message, log4cplus::ERROR_LOG_LEVEL));
    EXPECT_EQ(ERR_peek_error(), 0u) << "no error may be left for the next operation";
    expectOldSet();
  }
}

TEST_F(Import, PemFileFailuresLeaveTheOldSet) {
  keyFile = dir.file("missing/key.pem");
  EXPECT_FALSE(importPem(material.certificatePem, material.keyPem, ""));
  EXPECT_EQ(code, static_cast<unsigned long>(ENOENT));
  EXPECT_EQ(message, "cannot open private key file for writing: " + keyFile);
  EXPECT_TRUE(log.contains("[p] Cannot open private key file for writing: " + keyFile, log4cplus::ERROR_LOG_LEVEL));
  keyFile = dir.file("key.pem");
  expectOldSet();

  // A chain too large for the disk.
  std::string bigChain;
  while (bigChain.size() < 64 * 1024) bigChain += material.chainPem;
  {
    FileSizeLimit limit(16 * 1024);
    EXPECT_FALSE(importPem(material.certificatePem, material.keyPem, bigChain));
  }
  EXPECT_EQ(code, static_cast<unsigned long>(EFBIG));
  EXPECT_EQ(message, "write failed of chain file " + chainFile);
  expectOldSet();
}

TEST_F(Import, PfxWithAndWithoutChain) {
  ASSERT_TRUE(importPfx(exportPfx(false), "secret")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"}));
  EXPECT_EQ(fileMode(keyFile), 0600u);

  ASSERT_TRUE(importPfx(kBom + exportPfx(true), "secret")) << message;
  EXPECT_EQ(commonName, "server01");
  std::string certificateText = readFile(certFile);
  EXPECT_EQ(certificateText.rfind("Certificate:\n", 0), 0u);
  EXPECT_EQ(certificateText.substr(certificateText.size() - material.certificatePem.size()), material.certificatePem);
  EXPECT_EQ(readFile(keyFile), material.keyPem);
  EXPECT_EQ(readFile(chainFile), material.chainPem);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(Import, PfxRefusalsKeepTheOldSet) {
  const std::string archive = exportPfx(true);
  for (const char* password : {"not the password", static_cast<const char*>(nullptr)}) {
    code = 0;
    EXPECT_FALSE(importPfx(archive, password));
    EXPECT_EQ(message, "wrong password");
    EXPECT_EQ(ERR_GET_LIB(code), ERR_LIB_PKCS12);
    EXPECT_EQ(ERR_GET_REASON(code), PKCS12_R_MAC_VERIFY_FAILURE);
    EXPECT_TRUE(log.contains("[p] wrong password", log4cplus::ERROR_LOG_LEVEL));
    expectOldSet();
  }
  EXPECT_FALSE(importPfx(archive.substr(0, archive.size() / 2), "secret"));
  EXPECT_NE(code, 0u);
  expectOldSet();
}

}  // namespace
