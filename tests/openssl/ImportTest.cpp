#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

using namespace certtest;
using Entries = std::vector<std::string>;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

TEST(InMemoryChecks, ChainsAndCommonNames) {
  Issued ca = issue({.commonName = "Root", .ca = true}), leaf = issue({.commonName = "server01"}, &ca);
  unsigned long code = 77;
  std::string message = "before", commonName = "before";
  EXPECT_FALSE(CertManager::checkPemChainInMemory("no certificate", 14, code, message, ""));
  EXPECT_EQ(std::to_string(code) + message, "77before");
  const std::string chain = leaf.certificatePem + ca.certificatePem + ca.certificatePem;
  EXPECT_TRUE(CertManager::checkPemChainInMemory(chain.data(), chain.size(), code, message, ""));
  EXPECT_TRUE(CertManager::checkPemCertInMemory(chain.data(), chain.size(), commonName, code, message, ""));
  EXPECT_EQ(commonName, "server01");
}

// Every import replaces an older set of certificate, key and chain.
class Import : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(certFile, "old cert");
    writeFile(keyFile, "old key");
    writeFile(chainFile, "old chain");
    ::chmod(keyFile.c_str(), 0644);
  }
  // A refused import must leave every file of the older set as it was.
  void expectOldSet() {
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
    writeFile(work.file("in.pem"), leaf.certificatePem + leaf.keyPem);
    writeFile(work.file("chain.pem"), chain);
    run("openssl pkcs12 -export -passout pass:secret -in " + work.file("in.pem") + " -out " + work.file("out.pfx") +
        (withChain ? " -certfile " + work.file("chain.pem") : ""));
    return readFile(work.file("out.pfx"));
  }

  TempDir dir, work;
  Issued ca = issue({.commonName = "Root", .ca = true});
  Issued leaf = issue({.commonName = "server01"}, &ca);
  std::string chain = ca.certificatePem;
  std::string certFile = dir.file("cert.pem"), keyFile = dir.file("key.pem"), chainFile = dir.file("chain.pem");
  std::string commonName, message;
  unsigned long code = 0;
  quorvel::testing::LogCapture log;
};

TEST_F(Import, PemWritesTheSetAndReplacesOlderFiles) {
  ASSERT_TRUE(importPem(kBom + leaf.certificatePem, kBom + leaf.keyPem, kBom + chain)) << message;
  EXPECT_EQ(readFile(certFile) + readFile(keyFile) + readFile(chainFile), leaf.certificatePem + leaf.keyPem + chain);
  struct stat info {};
  ASSERT_EQ(::stat(keyFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(commonName, "server01");
  EXPECT_EQ(ERR_peek_error(), 0u) << "reading the chain to its end must not leave an error behind";
  ASSERT_TRUE(importPem(leaf.certificatePem, leaf.keyPem, "")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"})) << "without a chain the old chain file goes";
}

TEST_F(Import, RefusalsLeaveTheOldSet) {
  Issued other = issue({.commonName = "other"});
  const std::string damaged = chain + "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
  const struct {
    std::string cert, key, chain, plantedDirectory, message;
  } cases[] = {
      {"garbage", leaf.keyPem, "", "", "In memory check of uploaded certificate failed!"},
      {leaf.certificatePem, "garbage", "", "", "In memory check of uploaded key failed!"},
      {leaf.certificatePem, leaf.keyPem, "garbage", "", "In memory check of uploaded chain failed!"},
      // A damaged block after good ones would only fail once the chain is loaded.
      {leaf.certificatePem, leaf.keyPem, damaged, "", "In memory check of uploaded chain failed!"},
      {leaf.certificatePem, other.keyPem, "", "", "The private key does not match the certificate!"},
      {leaf.certificatePem, leaf.keyPem, chain, "chain.pem", "Cannot replace " + dir.file("chain.pem") + ": "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    code = 0;
    if (!c.plantedDirectory.empty()) {
      std::filesystem::remove(dir.file(c.plantedDirectory));
      std::filesystem::create_directories(dir.file(c.plantedDirectory + "/inside"));
    }
    EXPECT_FALSE(importPem(c.cert, c.key, c.chain));
    EXPECT_EQ(message.substr(0, c.message.size()), c.message);
    EXPECT_NE(code, 0u);
    EXPECT_TRUE(log.contains("[p] " + c.message, log4cplus::ERROR_LOG_LEVEL));
    EXPECT_EQ(ERR_peek_error(), 0u) << "no error may be left for the next operation";
    EXPECT_EQ(readFile(certFile) + "|" + readFile(keyFile), "old cert|old key");
  }
}

TEST_F(Import, PfxWithAndWithoutChain) {
  ASSERT_TRUE(importPfx(exportPfx(false), "secret")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"}));
  ASSERT_TRUE(importPfx(kBom + exportPfx(true), "secret")) << message;
  EXPECT_EQ(commonName, "server01");
  const std::string certificate = readFile(certFile);
  EXPECT_EQ(certificate.rfind("Certificate:\n", 0), 0u);
  EXPECT_EQ(certificate.substr(certificate.find("-----BEGIN")) + readFile(keyFile) + readFile(chainFile),
            leaf.certificatePem + leaf.keyPem + chain);
}

TEST_F(Import, PfxRefusalsKeepTheOldSet) {
  const std::string archive = exportPfx(true);
  for (const char* password : {"not the password", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(importPfx(archive, password));
    EXPECT_EQ(message, "wrong password");
    EXPECT_EQ(ERR_GET_REASON(code), PKCS12_R_MAC_VERIFY_FAILURE);
    expectOldSet();
  }
  code = 0;
  EXPECT_FALSE(importPfx(archive.substr(0, archive.size() / 2), "secret"));
  EXPECT_NE(code, 0u);
  expectOldSet();
}

}  // namespace
