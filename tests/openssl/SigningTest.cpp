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
  EXPECT_FALSE(CertManager::signData("garbage", "", signer.keyPem, data, der, ""));
}

// The request as the openssl tool reads it, and whether the key handed out is its own;
// "refused" when none was made.
std::string requestText(const StringList& names, bool useEc) {
  std::string request, key;
  if (!CertManager::makeCertificateSigningRequest(names, request, key, useEc, "")) return "refused";
  TempDir dir;
  writeFile(dir.file("req.der"), base64UrlDecode(request));
  writeFile(dir.file("key.pem"), key);
  const std::string text =
      run("openssl req -inform DER -verify -noout -text -pubkey -in " + dir.file("req.der") + " 2>&1").output;
  const bool sameKey = text.find(run("openssl pkey -pubout -in " + dir.file("key.pem")).output) != std::string::npos;
  return text + (sameKey ? "its own key" : "");
}

TEST(SigningRequest, CarriesTheNamesUsagesAndKey) {
  const std::string usage = "Usage: \n" + std::string(20, ' ');
  const std::string purposes = "TLS Web Client Authentication, TLS Web Server Authentication\n";
  const struct {
    StringList names;
    bool useEc;
    std::vector<std::string> expected;
  } cases[] = {
      {{"server01", "alias"}, true, {"verify OK", "Subject: CN = server01\n", "DNS:server01, DNS:alias\n",
                                     "ASN1 OID: prime256v1", "ecdsa-with-SHA256", usage + "Digital Signature\n",
                                     purposes, "X509v3 Subject Key Identifier", "its own key"}},
      {{"server01"}, false, {"Public-Key: (4096 bit)", usage + "Digital Signature, Key Encipherment\n"}},
      {{"a", "b, IP:10.0.0.1"}, true, {"DNS:a, DNS:b, IP:10.0.0.1\n"}},  // a name, not a second entry
      {{std::string(64, 'a')}, true, {"CN = " + std::string(64, 'a')}},
      {{std::string(65, 'a')}, true, {"refused"}},
      {{std::string("a\0b", 3)}, true, {"refused"}},
  };
  for (const auto& c : cases) {
    const std::string text = requestText(c.names, c.useEc);
    for (const std::string& expected : c.expected) EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
