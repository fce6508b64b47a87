// Keys and certificates made in memory for tests: self-signed ones, a CA and the leaves it signs.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>
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

// The PEM form of a certificate, or with a key also of that key.
inline std::string toPem(X509* certificate, EVP_PKEY* key = nullptr) {
  certificate::BioPtr bio(BIO_new(BIO_s_mem()));
  if (key != nullptr) {
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  } else {
    PEM_write_bio_X509(bio.get(), certificate);
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

// Self-signed when issuer is null.
inline Issued issue(const CertOptions& options, const Issued* issuer = nullptr) {
  using namespace certificate;
  static long serial = 1000;
  Issued made{EvpPkeyPtr(options.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256")), X509Ptr(X509_new()), "", ""};
  X509* certificate = made.certificate.get();
  X509* signer = issuer != nullptr ? issuer->certificate.get() : certificate;
  X509_set_version(certificate, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), options.notBefore);
  X509_gmtime_adj(X509_getm_notAfter(certificate), options.notAfter);
  X509_set_pubkey(certificate, made.key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate, X509_get_subject_name(signer));
  const std::pair<int, std::string> extensions[] = {
      {NID_basic_constraints, options.ca ? "critical,CA:TRUE" : "CA:FALSE"},
      {NID_key_usage, options.ca ? "critical,keyCertSign,cRLSign" : ""},
      {NID_subject_alt_name, options.altNames},
      {NID_ext_key_usage, options.extendedKeyUsage}};
  for (const auto& [nid, value] : extensions) {
    if (value.empty()) continue;
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) throw std::runtime_error(value);
  }
  EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : made.key.get();
  if (X509_sign(certificate, signingKey, EVP_sha256()) <= 0) throw std::runtime_error("signing failed");
  made.certificatePem = toPem(certificate);
  made.keyPem = toPem(nullptr, made.key.get());
  return made;
}

}  // namespace quorvel::testing
