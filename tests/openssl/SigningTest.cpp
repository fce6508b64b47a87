#include <gtest/gtest.h>

#include "CertTestSupport.h"
#include "common/utils/ByteUtils.h"

using namespace certtest;
using quorvel::utils::base64UrlDecode;

namespace {

TEST(Digests, KnownValues) {
  BignumPtr number(BN_new()), zero(BN_new());
  BN_set_word(number.get(), 65537);
  const std::pair<std::string, std::string> cases[] = {
      {CertManager::sha256USBase64("", ""), "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU"},
      {CertManager::sha256USBase64IgnoringWhitespace("a b\nc"), "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0"},
      {CertManager::sha256USBase64IgnoringWhitespace("\xE0 a"), CertManager::sha256USBase64("\xE0" "a", "")},
      {CertManager::hmacSha256("key", "data"), "5031fe3d989c6d1537a013fa6e739da23463fdaec3b70137d828e36ace221bd0"},
      {CertManager::bignumToBase64Url(number.get()), "AQAB"},
      {CertManager::bignumToBase64Url(zero.get()) + CertManager::bignumToBase64Url(nullptr), ""},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(Signatures, MatchWhatTheOpensslToolMakesAndVerifies) {
  TempDir dir;
  Issued signer = issue({.commonName = "signer", .rsa = true}), extra = issue({.commonName = "extra"});
  const std::string data("payload\0with zero", 17);
  writeFile(dir.file("key.pem"), signer.keyPem);
  writeFile(dir.file("data.bin"), data);
  std::string signature = CertManager::sign(data, signer.key.get(), "");
  EXPECT_EQ(signature.size(), 342u);
  EXPECT_EQ(base64UrlDecode(signature), run("openssl dgst -sha256 -sign " + dir.file("key.pem") + " " +
                                            dir.file("data.bin")).output);

  std::string der = "kept:";
  ASSERT_TRUE(CertManager::signData(signer.certificatePem, extra.certificatePem, signer.keyPem, data, der, ""));
  ASSERT_EQ(der.substr(0, 5), "kept:");
  writeFile(dir.file("sig.der"), der.substr(5));
  const std::string verify = "openssl smime -verify -binary -inform DER -noverify -out /dev/null -in " +
                             dir.file("sig.der") + " 2>/dev/null -content " + dir.file("data.bin");
  EXPECT_EQ(run(verify).status, 0);
  EXPECT_EQ(run("openssl pkcs7 -inform DER -print_certs -in " + dir.file("sig.der") + " | grep -c subject=").output,
            "2\n");
  writeFile(dir.file("data.bin"), "changed");
  EXPECT_NE(run(verify).status, 0);
  EXPECT_FALSE(CertManager::signData("garbage", "", signer.keyPem, data, der, ""));
}

// The request as the openssl tool reads it.
std::string requestText(const StringList& names, bool useEc, std::string* key = nullptr) {
  std::string request, privateKey;
  if (!CertManager::makeCertificateSigningRequest(names, request, privateKey, useEc, "")) return "refused";
  TempDir dir;
  writeFile(dir.file("req.der"), base64UrlDecode(request));
  writeFile(dir.file("key.pem"), privateKey);
  if (key != nullptr) *key = run("openssl pkey -pubout -in " + dir.file("key.pem")).output;
  // The key identifier must be the one a CA computes from the request's key.
  const std::string python = "/usr/bin/python3 -c \"import sys; from cryptography import x509\n"
                             "r = x509.load_der_x509_csr(open(sys.argv[1], 'rb').read())\n"
                             "s = r.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value\n"
                             "print('key identifier', s == x509.SubjectKeyIdentifier.from_public_key(r.public_key()))\" ";
  return run("openssl req -inform DER -verify -noout -text -pubkey -in " + dir.file("req.der") + " 2>&1").output +
         run(python + dir.file("req.der")).output;
}

TEST(SigningRequest, CarriesTheNamesUsagesAndKeyIdentifier) {
  for (bool useEc : {true, false}) {
    std::string key;
    const std::string text = requestText({"server01", "alias"}, useEc, &key);
    for (std::string expected :
         {std::string("verify OK"), std::string("Subject: CN = server01\n"), key, std::string("key identifier True"),
          std::string(useEc ? "ASN1 OID: prime256v1" : "Public-Key: (4096 bit)"),
          std::string("Signature Algorithm: ") + (useEc ? "ecdsa-with-SHA256" : "sha256WithRSAEncryption"),
          std::string("DNS:server01, DNS:alias\n"),
          "Usage: \n" + std::string(20, ' ') + (useEc ? "Digital Signature\n" : "Digital Signature, Key Encipherment\n"),
          std::string("TLS Web Client Authentication, TLS Web Server Authentication\n")}) {
      EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
  }
}

TEST(SigningRequest, NamesAreEntriesNotText) {
  const std::pair<StringList, std::string> cases[] = {
      {{}, "refused"}, {{std::string("a\0b", 3)}, "refused"}, {{std::string(65, 'a')}, "refused"},
      {{std::string(64, 'a')}, "Subject: CN = " + std::string(64, 'a')},
      {{"a", "b, IP:10.0.0.1"}, "DNS:a, DNS:b, IP:10.0.0.1\n"}};
  for (const auto& [names, expected] : cases) {
    EXPECT_NE(requestText(names, true).find(expected), std::string::npos) << expected;
  }
}

}  // namespace
