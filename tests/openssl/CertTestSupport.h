// Certificate material and file helpers for the certificate tests.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslPtr.h"

namespace certtest {

using namespace quorvel::certificate;

// Elliptic-curve keys: instant to make, and the checks do not care about the key type.
inline EvpPkeyPtr makeEcKey() { return EvpPkeyPtr(EVP_EC_gen("P-256")); }

// Self-signed, valid for 30 days; altNames in OpenSSL's "DNS:x,IP:y" form, empty for none.
inline X509Ptr makeCertificate(const std::string& commonName, const std::string& altNames, EVP_PKEY* key) {
  static long serial = 1000;
  X509Ptr certificate(X509_new());
  X509_set_version(certificate.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30 * 86400L);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  if (!altNames.empty()) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.c_str()));
    X509_add_ext(certificate.get(), extension.get(), -1);
  }
  if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) throw std::runtime_error("signing failed");
  return certificate;
}

inline std::string certificatePem(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), certificate);
  return bioToString(bio.get());
}

// Unencrypted, PKCS#8 encrypted, or in the older header-encrypted form.
enum class KeyForm { Plain, Encrypted, Traditional };
inline std::string privateKeyPem(EVP_PKEY* key, KeyForm form = KeyForm::Plain) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  static char password[] = "secret";
  if (form == KeyForm::Plain) PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  if (form == KeyForm::Encrypted) {
    PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), nullptr, 0, nullptr, password);
  } else if (form == KeyForm::Traditional) {
    PEM_write_bio_PrivateKey_traditional(bio.get(), key, EVP_aes_256_cbc(), nullptr, 0, nullptr, password);
  }
  return bioToString(bio.get());
}

// A certificate for "server01" with its key and an unrelated two-certificate chain, made once per process.
struct ServerMaterial {
  EvpPkeyPtr key;
  X509Ptr certificate;
  std::string certificatePem, keyPem, chainPem;
};
inline const ServerMaterial& serverMaterial() {
  static const ServerMaterial material = [] {
    ServerMaterial made;
    made.key = makeEcKey();
    made.certificate = makeCertificate("server01", "DNS:server01", made.key.get());
    made.certificatePem = certificatePem(made.certificate.get());
    made.keyPem = privateKeyPem(made.key.get());
    for (const char* name : {"Intermediate", "Root"}) {
      EvpPkeyPtr key = makeEcKey();
      made.chainPem += certificatePem(makeCertificate(name, "", key.get()).get());
    }
    return made;
  }();
  return material;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "certtest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return dir + "/" + name; }
  const std::string& path() const { return dir; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string dir;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(data.data(), static_cast<std::streamsize>(data.size())).flush()) throw std::runtime_error(path);
}

inline mode_t fileMode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Makes writes beyond the given size fail with EFBIG while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : previousHandler(std::signal(SIGXFSZ, SIG_IGN)) {
    // Ignoring the signal makes the write fail instead of killing the process.
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit limited = previous;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
  }

 private:
  void (*previousHandler)(int);
  rlimit previous{};
};

}  // namespace certtest
