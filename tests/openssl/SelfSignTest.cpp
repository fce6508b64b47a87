#include <gtest/gtest.h>

#include "CertTestSupport.h"
#include "common/openssl/Certificate.h"

using namespace certtest;

namespace {

TEST(Mkit, RecipeForEachKindOfHost) {
  const std::string extensions =
      "X509v3 Key Usage: \n    Digital Signature, Key Encipherment, Data Encipherment\n"
      "X509v3 Extended Key Usage: \n    TLS Web Server Authentication\n";
  const struct {
    std::string host;
    bool withOrgUnit;
    std::string commonName, altName;  // altName as printed; empty when there must be none
  } cases[] = {
      {" server01 ", false, "server01", "DNS:server01"}, {"192.168.1.10", false, "192.168.1.10", "IP Address:192.168.1.10"},
      {"::1", false, "::1", "IP Address:0:0:0:0:0:0:0:1"}, {"999.1.1.1", true, "999.1.1.1", "DNS:999.1.1.1"},
      {"\n", false, "", ""},
  };
  for (const auto& c : cases) {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    std::string message;
    ASSERT_EQ(CertManager::mkit(&certificate, &key, 1024, 0, 30, c.host, c.host, c.withOrgUnit, message, ""), 0);
    X509Ptr certificatePtr(certificate);
    EvpPkeyPtr keyPtr(key);
    const std::string name = std::string("C = ZZ, ST = Vestmark, L = Tallobrunn, O = Quorvel Technologies Gmbh, ") +
                             (c.withOrgUnit ? "OU = ACME, " : "") + "CN = " + c.commonName +
                             ", emailAddress = security@quorvel.invalid\n";
    std::string alt = c.altName.empty() ? "" : "X509v3 Subject Alternative Name: \n    " + c.altName +
                                                   "\nNetscape SSL Server Name: \n    " + c.commonName + "\n";
    TempDir dir;
    writeFile(dir.file("c.pem"), toPem(certificate));
    EXPECT_EQ(run("openssl x509 -noout -subject -issuer -nameopt oneline -in " + dir.file("c.pem") +
                  " -ext subjectAltName,nsSslServerName,keyUsage,extendedKeyUsage").output,
              "subject=" + name + "issuer=" + name + alt + extensions);
    EXPECT_EQ(X509_get_signature_nid(certificate), NID_sha256WithRSAEncryption);
    EXPECT_EQ(X509_verify(certificate, key), 1);
  }
}

// The certificate the service makes for itself at start, as files and as the record that describes it.
TEST(SelfSign, WritesPrintedCertificateAndPrivateKeyAndDropsTheOldChain) {
  TempDir dir;
  const std::string certFile = dir.file("NimbrelCert.pem"), keyFile = dir.file("NimbrelKey.pem");
  writeFile(keyFile, "an older key");
  writeFile(dir.file("NimbrelChain.pem"), "an older chain");
  unsigned long code = 0;
  std::string message;
  ASSERT_TRUE(CertManager::createSelfSign("server01", certFile, keyFile, dir.file("NimbrelChain.pem"), false, code,
                                          message, ""))
      << message;
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"NimbrelCert.pem", "NimbrelKey.pem"}));
  const std::string certificate = readFile(certFile);
  EXPECT_EQ(certificate.rfind("Certificate:\n", 0), 0u);
  EXPECT_EQ(certificate.substr(certificate.find("-----BEGIN")), run("openssl x509 -in " + certFile).output);
  EXPECT_NE(certificate.find("Public-Key: (4096 bit)"), std::string::npos);
  EXPECT_EQ(readFile(keyFile).find("-----BEGIN", 1), std::string::npos);

  Certificate record(certFile);
  EXPECT_EQ(std::to_string(record.getErrorCode()) + " " + std::to_string(record.getVersion()) + " " +
                std::to_string(record.getSerialNumber()) + " " + record.getSubjectCN() + " " +
                record.getSignatureAlgorithm(),
            "0 2 -1 server01 sha256WithRSAEncryption");  // a 159-bit serial does not fit
  std::string dates = run("openssl x509 -noout -dates -dateopt iso_8601 -in " + certFile).output;
  for (char& c : dates) c = c == '-' || c == ' ' ? ':' : c;  // "2026-12-07 02:09:18Z" as "2026:12:07:02:09:18Z"
  EXPECT_EQ(dates, "notBefore=" + record.getValidFrom() + "Z\nnotAfter=" + record.getValidTo() + "Z\n");
  auto seconds = [](const std::string& text) {
    struct tm parts {};
    ::strptime(text.c_str(), "%Y:%m:%d:%H:%M:%S", &parts);
    return timegm(&parts);
  };
  EXPECT_EQ(seconds(record.getValidTo()) - seconds(record.getValidFrom()), 3650 * 86400L);
}

}  // namespace
