#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <thread>

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

TEST_F(Validation, PeerOfATlsConnection) {
  Issued server = issue({.commonName = "server01", .altNames = "DNS:server01"}, &ca);
  writeFile(trust.file("server.pem"), server.certificatePem + server.keyPem);
  // -www answers by itself instead of reading standard input.
  FILE* process = ::popen(("exec timeout 20 openssl s_server -www -naccept 1 -accept 127.0.0.1:0 -cert " +
                           trust.file("server.pem") + " -cert_chain " + trust.file("ca.pem") + " 2>&1").c_str(), "r");
  char line[256] = {};
  while (std::fgets(line, sizeof(line), process) != nullptr && std::strncmp(line, "ACCEPT ", 7) != 0) {
  }
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  BioPtr connection(BIO_new_ssl_connect(context.get()));
  BIO_set_conn_hostname(connection.get(), std::string(line + 7, std::strcspn(line + 7, "\n")).c_str());
  ASSERT_EQ(BIO_do_handshake(connection.get()), 1) << line;
  SSL* ssl = nullptr;
  BIO_get_ssl(connection.get(), &ssl);
  std::string certificate, chain, text = "stale";
  uint32_t error = 99;
  EXPECT_TRUE(manager.validateCertificate(ssl, "server01", certificate, chain, error, text, ""));
  EXPECT_EQ(std::to_string(error) + text + certificate + chain, "0" + server.certificatePem + server.certificatePem +
                                                                     ca.certificatePem);
  EXPECT_FALSE(manager.validateCertificate(ssl, "other", certificate, chain, error, text, ""));
  EXPECT_EQ(std::to_string(error) + " " + text, "62 hostname mismatch");
  connection.reset();
  ::pclose(process);
}

// Run under the sanitizer build: validations must never see a store being freed.
TEST_F(Validation, ValidatesWhileTheStoreIsReplaced) {
  const std::string leaf = issue({.commonName = "server01", .altNames = "DNS:server01"}, &ca).certificatePem;
  std::atomic<int> verified{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      uint32_t error = 0;
      for (int round = 0; round < 50; ++round) verified += manager.validateCertificate(leaf, "", "server01", error, "");
    });
  }
  for (int round = 0; round < 200; ++round) manager.init("") && manager.deinit();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(verified, 400);
}


}  // namespace
