#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include "CertTestSupport.h"

using namespace certtest;
using Entries = std::vector<std::string>;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

TEST(InMemoryChecks, AChainWithoutCertificatesLeavesTheCallersError) {
  unsigned long code = 77;
  std::string message = "before";
  EXPECT_FALSE(CertManager::checkPemChainInMemory("no certificate", 14, code, message, ""));
  EXPECT_EQ(std::to_string(code) + message, "77before");
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
  ASSERT_TRUE(importPem(kBom + leaf.certificatePem, kBom + leaf.keyPem, kBom + chain)) << message;
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

TEST_F(Import, RefusalsLeaveTheOldSet) {
  const std::string damaged = ca.certificatePem + "-----BEGIN CERTIFICATE-----\nMIIBAAAA\n-----END CERTIFICATE-----\n";
  const struct {
    std::string cert, key, chain, message;
  } cases[] = {
      {"garbage", leaf.keyPem, "", "In memory check of uploaded certificate failed!"},
      {leaf.certificatePem, "garbage", "", "In memory check of uploaded key failed!"},
      {leaf.certificatePem, leaf.keyPem, "garbage", "In memory check of uploaded chain failed!"},
      // A damaged block after good ones would only fail once the chain is loaded.
      {leaf.certificatePem, leaf.keyPem, damaged, "In memory check of uploaded chain failed!"},
      {leaf.certificatePem, ca.keyPem, "", "The private key does not match the certificate!"},
      {leaf.certificatePem, leaf.keyPem, ca.certificatePem, "Cannot replace " + dir.file("chain") + ": "},
      {"", "", "", "wrong password"},
  };
  for (const auto& c : cases) {
    code = 0;
    if (c.cert.empty()) {
      EXPECT_FALSE(importPfx("not the password"));
    } else {
      if (c.message[0] == 'C') {  // a directory planted at the chain target
        std::filesystem::remove(dir.file("chain"));
        std::filesystem::create_directories(dir.file("chain/inside"));
      }
      EXPECT_FALSE(importPem(c.cert, c.key, c.chain));
    }
    EXPECT_EQ(message.substr(0, c.message.size()), c.message);
    EXPECT_NE(code, 0u);
    EXPECT_EQ(ERR_peek_error(), 0u) << "no error may be left for the next operation";
    EXPECT_EQ(files(), "old cert|old key");
  }
}

}  // namespace
