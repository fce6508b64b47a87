#include <gtest/gtest.h>
#include <log4cplus/loglevel.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>

#include "CertTestSupport.h"
#include "ImportFixture.h"
#include "common/openssl/CertManager.h"

using namespace quorvel::certificate;

namespace {

class PfxImport : public certtest::ImportFixture {
 protected:
  // Archives come from the openssl tool, as a user would make them.
  std::string exportArchive(bool withChain) {
    certtest::writeFile(work.file("in-cert.pem"), material.certificatePem);
    certtest::writeFile(work.file("in-key.pem"), material.keyPem);
    certtest::writeFile(work.file("in-chain.pem"), certtest::threeCertificateChain());
    std::string command = "openssl pkcs12 -export -passout pass:secret -in '" + work.file("in-cert.pem") +
                          "' -inkey '" + work.file("in-key.pem") + "' -out '" + work.file("out.pfx") + "'";
    if (withChain) command += " -certfile '" + work.file("in-chain.pem") + "'";
    EXPECT_EQ(certtest::runCommand(command), 0) << command;
    return certtest::readFile(work.file("out.pfx"));
  }
  bool import(const std::string& archive, const char* password) {
    return CertManager::checkPFXAndWritePEM(archive.data(), archive.size(), password, certFile, keyFile, chainFile,
                                            commonName, code, message, "[p] ");
  }

  certtest::TempDir work;
};

TEST_F(PfxImport, WithChain) {
  writeOldSet();
  ::chmod(keyFile.c_str(), 0644);
  ASSERT_TRUE(import("\xEF\xBB\xBF" + exportArchive(true), "secret")) << message;
  EXPECT_EQ(commonName, "server01");
  std::string certificateText = certtest::readFile(certFile);
  EXPECT_EQ(certificateText.rfind("Certificate:\n", 0), 0u);
  EXPECT_EQ(certificateText.substr(certificateText.size() - material.certificatePem.size()), material.certificatePem);
  EXPECT_EQ(certtest::readFile(keyFile), material.keyPem);
  EXPECT_EQ(certtest::fileMode(keyFile), 0600u);
  EXPECT_EQ(certtest::readFile(chainFile), certtest::threeCertificateChain());
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "chain.pem", "key.pem"}));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(PfxImport, WithoutChainRemovesTheOldChain) {
  writeOldSet();
  ASSERT_TRUE(import(exportArchive(false), "secret")) << message;
  EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "key.pem"}));
  EXPECT_TRUE(CertManager::checkKeyFile(keyFile, nullptr, ""));
  EXPECT_TRUE(CertManager::checkCertificateFile(certFile, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, ""));
}

TEST_F(PfxImport, RefusalsKeepTheOldSet) {
  writeOldSet();
  const std::string archive = exportArchive(true);

  EXPECT_FALSE(import(archive, "not the password"));
  EXPECT_EQ(message, "wrong password");
  EXPECT_EQ(ERR_GET_LIB(code), ERR_LIB_PKCS12);
  EXPECT_EQ(ERR_GET_REASON(code), PKCS12_R_MAC_VERIFY_FAILURE);
  EXPECT_TRUE(log.contains("[p] wrong password", log4cplus::ERROR_LOG_LEVEL));
  expectOldSet();

  code = 0;
  EXPECT_FALSE(import(archive, nullptr));
  EXPECT_EQ(message, "wrong password");
  expectOldSet();

  code = 0;
  message.clear();
  EXPECT_FALSE(import("this is no archive", "secret"));
  EXPECT_NE(code, 0u);
  EXPECT_FALSE(message.empty());
  expectOldSet();

  code = 0;
  message.clear();
  EXPECT_FALSE(import(archive.substr(0, archive.size() / 2), "secret"));
  EXPECT_NE(code, 0u);
  EXPECT_FALSE(message.empty());
  expectOldSet();
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
