// Keys and certificates made in memory for tests: self-signed ones, a CA and the leaves it signs.
#pragma once

#include <string>

#include "common/openssl/OpenSslPtr.h"

namespace quorvel::testing {

struct CertOptions {
  std::string commonName{};
  std::string altNames{};                        // OpenSSL's "DNS:a,IP:b" form; empty for none
  std::string extendedKeyUsage = "serverAuth";   // empty for none
  bool ca = false;
  long notBefore = -3600, notAfter = 30 * 86400;  // seconds from now
  bool rsa = false;                              // a 2048-bit RSA key instead of P-256
};

struct Issued {
  certificate::EvpPkeyPtr key;
  certificate::X509Ptr certificate;
  std::string certificatePem, keyPem;
};

// Self-signed when issuer is null.
Issued issue(const CertOptions& options, const Issued* issuer = nullptr);
std::string toPem(X509* certificate);

}  // namespace quorvel::testing
