#include <gtest/gtest.h>

#include "CertTestSupport.h"
#include "common/utils/ByteUtils.h"

using namespace certtest;

namespace {

TEST(Digests, KnownValues) {
  BignumPtr number(BN_new());
  BN_set_word(number.get(), 65537);
  BignumPtr zero(BN_new());
  const std::pair<std::string, std::string> cases[] = {
      {CertManager::sha256USBase64("", ""), "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU"},
      {CertManager::sha256USBase64IgnoringWhitespace("a b\nc"), "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0"},
      {CertManager::sha256USBase64IgnoringWhitespace("\xE0" "abc"), CertManager::sha256USBase64("\xE0" "abc", "")},
      {CertManager::hmacSha256("key", "data"), "5031fe3d989c6d1537a013fa6e739da23463fdaec3b70137d828e36ace221bd0"},
      {CertManager::bignumToBase64Url(number.get()), "AQAB"},
      {CertManager::bignumToBase64Url(zero.get()), ""},
      {CertManager::bignumToBase64Url(nullptr), ""},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(Signatures, MatchWhatTheOpensslToolMakesAndVerifies) {
  TempDir dir;
  Issued signer = issue({.commonName = "signer", .rsa = true}), extra = issue({.commonName = "extra"});
  writeFile(dir.file("key.pem"), signer.keyPem);
  writeFile(dir.file("data.bin"), std::string("payload\0with zero", 17));
  std::string signature = CertManager::sign(readFile(dir.file("data.bin")), signer.key.get(), "");
  EXPECT_EQ(signature.size(), 342u);
  EXPECT_EQ(signature,
            quorvel::utils::base64UrlEncode(
                run("openssl dgst -sha256 -sign " + dir.file("key.pem") + " " + dir.file("data.bin")).output));

  std::string der = "kept:";
  ASSERT_TRUE(CertManager::signData(signer.certificatePem, extra.certificatePem, signer.keyPem,
                                    readFile(dir.file("data.bin")), der, ""));
  ASSERT_EQ(der.substr(0, 5), "kept:");
  writeFile(dir.file("sig.der"), der.substr(5));
  const std::string verify = "openssl smime -verify -binary -inform DER -in " + dir.file("sig.der") +
                             " -noverify -out /dev/null 2>/dev/null -content ";
  EXPECT_EQ(run(verify + dir.file("data.bin")).status, 0);
  EXPECT_EQ(run("openssl pkcs7 -inform DER -print_certs -in " + dir.file("sig.der") + " | grep -c subject=").output,
            "2\n");
  writeFile(dir.file("data.bin"), "changed");
  EXPECT_NE(run(verify + dir.file("data.bin")).status, 0);
  EXPECT_FALSE(CertManager::signData("garbage", "", signer.keyPem, "data", der, ""));
}

TEST(SigningRequest, CarriesTheNamesUsagesAndKeyIdentifier) {
  const struct {
    bool useEc;
    const char* keyText;
    const char* usage;
  } cases[] = {
      {true, "ASN1 OID: prime256v1", "Digital Signature\n"},
      {false, "Public-Key: (4096 bit)", "Digital Signature, Key Encipherment\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyText);
    TempDir dir;
    std::string request, key;
    ASSERT_TRUE(CertManager::makeCertificateSigningRequest({"server01", "alias"}, request, key, c.useEc, ""));
    writeFile(dir.file("req.der"), quorvel::utils::base64UrlDecode(request));
    Output text = run("openssl req -inform DER -verify -noout -text -in " + dir.file("req.der") + " 2>&1");
    EXPECT_EQ(text.status, 0);
    for (std::string expected :
         {std::string("verify OK"), std::string("Subject: CN = server01\n"), std::string(c.keyText),
          std::string("Signature Algorithm: ") + (c.useEc ? "ecdsa-with-SHA256" : "sha256WithRSAEncryption"),
          std::string("DNS:server01, DNS:alias\n"), "Key Usage: \n                    " + std::string(c.usage),
          std::string("TLS Web Client Authentication, TLS Web Server Authentication\n")}) {
      EXPECT_NE(text.output.find(expected), std::string::npos) << expected << "\n" << text.output;
    }
    writeFile(dir.file("key.pem"), key);
    EXPECT_EQ(run("openssl pkey -pubout -in " + dir.file("key.pem")).output,
              run("openssl req -inform DER -pubkey -noout -in " + dir.file("req.der")).output);
    EXPECT_EQ(run("/usr/bin/python3 -c \"import sys; from cryptography import x509\n"
                  "r = x509.load_der_x509_csr(open(sys.argv[1], 'rb').read())\n"
                  "ski = r.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value\n"
                  "print(ski == x509.SubjectKeyIdentifier.from_public_key(r.public_key()))\" " +
                  dir.file("req.der")).output,
              "True\n");
  }
}

TEST(SigningRequest, NamesAreEntriesNotText) {
  const struct {
    StringList names;
    bool made;
  } cases[] = {{{}, false}, {{std::string("a\0b", 3)}, false}, {{std::string(65, 'a')}, false},
               {{std::string(64, 'a')}, true}, {{"a", "b, IP:10.0.0.1"}, true}};
  for (const auto& c : cases) {
    std::string request = "unchanged", key = "unchanged";
    ASSERT_EQ(CertManager::makeCertificateSigningRequest(c.names, request, key, true, ""), c.made);
    if (!c.made) {
      EXPECT_EQ(request + key, "unchangedunchanged");
    } else if (c.names.size() == 2) {
      TempDir dir;
      writeFile(dir.file("req.der"), quorvel::utils::base64UrlDecode(request));
      EXPECT_NE(run("openssl req -inform DER -noout -text -in " + dir.file("req.der")).output.find(
                    "DNS:a, DNS:b, IP:10.0.0.1\n"),
                std::string::npos);
    }
  }
}

}  // namespace
