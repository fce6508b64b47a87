// A throw-away self-signed certificate and key in PEM form, made in memory.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace quorvel::testing {

struct PemPair {
  std::string certificate;
  std::string key;
};

inline PemPair makeSelfSigned(const std::string& commonName = "localhost") {
  using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
  using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  Cert cert(X509_new(), &X509_free);
  if (!key || !cert) {
    throw std::runtime_error("cannot make test certificate");
  }
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    throw std::runtime_error("cannot sign test certificate");
  }

  auto toText = [](Bio& bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
  };
  Bio certBio(BIO_new(BIO_s_mem()), &BIO_free);
  Bio keyBio(BIO_new(BIO_s_mem()), &BIO_free);
  PEM_write_bio_X509(certBio.get(), cert.get());
  PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  return {toText(certBio), toText(keyBio)};
}

}  // namespace quorvel::testing
