// Host-name checks and certificate validation against the store.
#include <arpa/inet.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslSupport.h"

namespace quorvel::certificate {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("CertManager");

namespace {

using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslFree<&X509_STORE_CTX_free>>;

std::vector<std::string> lowerLabels(const std::string& name) {
  std::vector<std::string> labels(1);
  for (char c : name) {
    if (c == '.') {
      labels.emplace_back();
    } else {
      labels.back() += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return labels;
}

// The bytes of an IP address text, empty when the text is none.
std::string ipBytes(const std::string& host) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, host.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 4);
  if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 16);
  return "";
}

bool logFailure(const std::string& logPrefix, const char* what, std::string* errorText = nullptr) {
  unsigned long code = 0;
  std::string message;
  takeFailure(code, message);
  LOG4CPLUS_ERROR(logger, logPrefix + what + std::to_string(code) + "' and message '" + message + "'!");
  if (errorText != nullptr) *errorText = message;
  return false;
}

// OpenSSL's verdict for the certificate as a TLS server certificate, or -1
// when verification could not be run.
int verify(X509_STORE* store, X509* certificate, STACK_OF(X509) * untrusted, const std::string& logPrefix,
           std::string* errorText) {
  StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context) {
    logFailure(logPrefix, "X509_STORE_CTX_new failed with error '", errorText);
    return -1;
  }
  if (X509_STORE_CTX_init(context.get(), store, certificate, untrusted) != 1) {
    logFailure(logPrefix, "X509_STORE_CTX_init failed with error '", errorText);
    return -1;
  }
  // Without a purpose a leaf made for client authentication would pass.
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  int verdict = X509_verify_cert(context.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context.get());
  ERR_clear_error();
  return verdict;
}

}  // namespace

time_t asn1UtcTimeToTime(const ASN1_TIME* time) {
  time_t seconds = 0;
  return toEpoch(time, seconds) ? seconds : -1;
}

bool CertManager::matchHostName(const std::string& certificateName, const std::string& hostName) {
  if (certificateName.empty() || hostName.empty() || hostName[0] == '.' ||
      certificateName.find('\0') != std::string::npos || hostName.find('\0') != std::string::npos) {
    return false;
  }
  std::vector<std::string> pattern = lowerLabels(certificateName);
  std::vector<std::string> host = lowerLabels(hostName);
  if (pattern.size() != host.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (host[i].empty() || pattern[i].empty()) return false;
    // "*" stands for one whole left-most label, and never for most of a domain ("*.com").
    bool wildcard = i == 0 && pattern[i] == "*" && pattern.size() >= 3;
    if (!wildcard && pattern[i] != host[i]) return false;
  }
  return true;
}

bool CertManager::checkHostName(X509* certificate, const std::string& hostName, const std::string& logPrefix) {
  if (certificate == nullptr) return false;
  const std::string address = ipBytes(hostName);
  GeneralNamesPtr altNames(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  ERR_clear_error();
  bool hostEntries = false;
  for (int i = 0; altNames && i < sk_GENERAL_NAME_num(altNames.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(altNames.get(), i);
    if (entry->type == GEN_IPADD) {
      if (!isIpAddressEntry(entry->d.iPAddress, logPrefix)) continue;
      hostEntries = true;
      if (!address.empty() && asn1Text(entry->d.iPAddress) == address) return true;
    } else if (entry->type == GEN_DNS) {
      hostEntries = true;
      if (address.empty() && matchHostName(asn1Text(entry->d.dNSName), hostName)) return true;
    }
  }
  if (hostEntries || !address.empty()) return false;
  X509_NAME* subject = X509_get_subject_name(certificate);
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return false;
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) {
    ERR_clear_error();
    return false;
  }
  std::string commonName(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return matchHostName(commonName, hostName);
}

bool CertManager::validateCertificate(const std::string& certificatePem, const std::string& chainPem,
                                      const std::string& hostName, uint32_t& error, const std::string& logPrefix) {
  error = 1;
  ERR_clear_error();
  StorePtr store = acquireStore(logPrefix);
  if (!store) return false;
  X509StackPtr untrusted(sk_X509_new_null());
  if (!untrusted) return logFailure(logPrefix, "sk_X509_new_null failed with error '");
  BioPtr chainBio = memoryBio(chainPem);
  if (!chainBio) return logFailure(logPrefix, "BIO_new_mem_buf failed with error '");
  while (X509Ptr next = readCertificate(chainBio.get())) {
    if (sk_X509_push(untrusted.get(), next.get()) <= 0) return logFailure(logPrefix, "sk_X509_push failed with error '");
    next.release();
  }
  ERR_clear_error();  // the end of the chain text
  BioPtr certificateBio = memoryBio(certificatePem);
  if (!certificateBio) return logFailure(logPrefix, "BIO_new_mem_buf failed with error '");
  X509Ptr certificate = readCertificate(certificateBio.get());
  if (!certificate) return logFailure(logPrefix, "PEM_read_bio_X509 failed with error '");

  int verdict = verify(store.get(), certificate.get(), untrusted.get(), logPrefix, nullptr);
  if (verdict < 0) return false;
  error = static_cast<uint32_t>(verdict);
  if (verdict != X509_V_OK) return false;
  if (!checkHostName(certificate.get(), hostName, logPrefix)) {
    error = X509_V_ERR_HOSTNAME_MISMATCH;
    return false;
  }
  return true;
}

bool CertManager::validateCertificate(SSL* ssl, const std::string& hostName, std::string& certificatePem,
                                      std::string& chainPem, uint32_t& error, std::string& errorText,
                                      const std::string& logPrefix) {
  error = 1;
  ERR_clear_error();
  StorePtr store = acquireStore(logPrefix);
  if (!store) return false;
  X509Ptr certificate(ssl != nullptr ? SSL_get1_peer_certificate(ssl) : nullptr);
  if (!certificate) {
    LOG4CPLUS_ERROR(logger,
                    logPrefix + "SSL_get_peer_certificate failed! Could not get certificate from socket.");
    return false;
  }
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
  BioPtr pem(BIO_new(BIO_s_mem()));
  if (!pem || PEM_write_bio_X509(pem.get(), certificate.get()) != 1) {
    return logFailure(logPrefix, "PEM_write_bio_X509 failed with error '", &errorText);
  }
  certificatePem = bioToString(pem.get());
  chainPem.clear();
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    if (PEM_write_bio_X509(pem.get(), sk_X509_value(chain, i)) != 1) {
      return logFailure(logPrefix, "PEM_write_bio_X509 failed with error '", &errorText);
    }
    chainPem += bioToString(pem.get());
  }

  int verdict = verify(store.get(), certificate.get(), chain, logPrefix, &errorText);
  if (verdict < 0) return false;
  if (verdict == X509_V_OK && !checkHostName(certificate.get(), hostName, logPrefix)) {
    verdict = X509_V_ERR_HOSTNAME_MISMATCH;
  }
  error = static_cast<uint32_t>(verdict);
  errorText = verdict == X509_V_OK ? "" : X509_verify_cert_error_string(verdict);
  return verdict == X509_V_OK;
}

}  // namespace quorvel::certificate
