#include <gtest/gtest.h>

#include "CertTestSupport.h"

using namespace certtest;

namespace {

TEST(HostNames, MatchAsRfc6125Says) {
  const struct {
    const char *commonName, *altNames, *host;
    bool matches;
  } cases[] = {
      {"", "DNS:*.q.r", "x.q.r", true},            {"", "DNS:*.q.r", "w.x.q.r", false},
      {"", "DNS:*.q.r", "q.r", false},             {"", "DNS:Q.R", "q.r", true},
      {"", "DNS:Q.R", "x.q.r", false},             {"", "DNS:x*.q.r", "xy.q.r", false},
      {"", "DNS:q.*.r", "q.x.r", false},           {"", "DNS:*.com", "x.com", false},
      {"", "DNS:a..b", "a..b", false},             {"host1", "", "host1", true},
      {"host1", "DNS:other", "host1", false},      {"host1", "IP:10.0.0.1", "host1", false},
      {"x.q", "email:a@x.q", "x.q", true},         {"", "IP:::1", "0:0:0:0:0:0:0:1", true},
      {"", "DNS:a,IP:10.0.0.2", "10.0.0.2", true}, {"", "DNS:10.0.0.1", "10.0.0.1", false},
      {"10.0.0.1", "", "10.0.0.1", false},
  };
  for (const auto& c : cases) {
    Issued made = issue({.commonName = c.commonName, .altNames = c.altNames});
    EXPECT_EQ(CertManager::checkHostName(made.certificate.get(), c.host, ""), c.matches) << c.altNames << c.host;
  }
  EXPECT_FALSE(CertManager::matchHostName(std::string("a.q.r\0.x", 8), "a.q.r"));
  EXPECT_FALSE(CertManager::matchHostName("", ""));
}

TEST(Asn1Time, ConvertsUtcAndGeneralizedTime) {
  const std::pair<const char*, time_t> cases[] = {
      {"491231235959Z", 2524607999}, {"20500101000000Z", 2524608000}, {"500101000000Z", -631152000},
      {"700101000000Z", 0},          {"4912312359Z", 2524607940},     {"491231235", -1}};
  for (const auto& [text, seconds] : cases) {
    ASN1StringPtr time(ASN1_STRING_type_new(std::strlen(text) == 15 ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME));
    ASN1_STRING_set(time.get(), text, -1);
    EXPECT_EQ(asn1UtcTimeToTime(time.get()), seconds) << text;
  }
}

// The test CA is trusted through OpenSSL's default locations, which the store reads.
class Validation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    writeFile(trust.file("ca.pem"), ca.certificatePem);
    ::setenv("SSL_CERT_FILE", trust.file("ca.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", trust.path().c_str(), 1);  // holds no hashed names
  }
  static inline TempDir trust;
  static inline Issued ca = issue({.commonName = "Test CA", .ca = true});
  CertManager manager;
};

TEST_F(Validation, VerdictsAgainstTheStore) {
  Issued intermediate = issue({.commonName = "CA 2", .ca = true}, &ca), stranger = issue({.commonName = "CA 3"});
  auto leaf = [](const Issued& issuer, const char* usage = "serverAuth", long notAfter = 86400) {
    return issue({.commonName = "server01", .altNames = "DNS:server01", .extendedKeyUsage = usage,
                  .notBefore = -2 * 86400, .notAfter = notAfter}, &issuer).certificatePem;
  };
  const struct {
    std::string certificate, chain;
    const char* host;
    uint32_t error;
  } cases[] = {
      {leaf(ca), "", "server01", 0},
      {leaf(ca), "", "other", 62},
      {leaf(ca, "serverAuth", -60), "", "server01", 10},
      {leaf(stranger), "", "server01", 20},
      {leaf(ca, "clientAuth"), "", "server01", 26},
      {leaf(intermediate), intermediate.certificatePem, "server01", 0},
      {issue({.commonName = "server01"}).certificatePem, "", "server01", 18},  // self-signed, as the service's own
      {"garbage", "", "server01", 1},
  };
  for (const auto& c : cases) {
    uint32_t error = 99;
    EXPECT_EQ(manager.validateCertificate(c.certificate, c.chain, c.host, error, ""), c.error == 0) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
