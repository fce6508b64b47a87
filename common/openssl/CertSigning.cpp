// Signatures, digests and certificate signing requests.
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslSupport.h"
#include "common/utils/ByteUtils.h"

namespace quorvel::certificate {

static log4cplus::Logger logger = log4cplus::Logger::getInstance("CertManager");

namespace {

constexpr int kSignFlags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_NOATTR | PKCS7_NOSMIMECAP | PKCS7_PARTIAL;
// Requests are for the long term: a key a CA accepts for years.
constexpr int kRequestRsaBits = 4096;
// The upper bound X.520 sets for a common name.
constexpr size_t kMaxCommonNameLength = 64;

using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslFree<&PKCS7_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, OpenSslFree<&X509_REQ_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<&EVP_MD_CTX_free>>;
struct ExtensionStackFree {
  void operator()(STACK_OF(X509_EXTENSION) * stack) const { sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free); }
};
using ExtensionStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), ExtensionStackFree>;

BioPtr pemBio(const std::string& pem) {
  const char* data = nullptr;
  size_t length = 0;
  skipUtf8Bom(pem.data(), pem.size(), &data, &length);
  return memoryBio(data, length);
}

// logPrefix + what + code + "' and message '" + text + "'!", the form every failure here is logged in.
bool logFailure(const std::string& logPrefix, const std::string& what) {
  unsigned long code = 0;
  std::string message;
  takeFailure(code, message);
  LOG4CPLUS_ERROR(logger, logPrefix + what + std::to_string(code) + "' and message '" + message + "'!");
  return false;
}

GENERAL_NAMES* dnsNames(const StringList& hostNames) {
  GeneralNamesPtr names(GENERAL_NAMES_new());
  for (const std::string& host : hostNames) {
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    if (name == nullptr || text == nullptr || ASN1_STRING_set(text, host.data(), static_cast<int>(host.size())) != 1) {
      GENERAL_NAME_free(name);
      ASN1_IA5STRING_free(text);
      return nullptr;
    }
    GENERAL_NAME_set0_value(name, GEN_DNS, text);
    if (sk_GENERAL_NAME_push(names.get(), name) <= 0) {
      GENERAL_NAME_free(name);
      return nullptr;
    }
  }
  return names.release();
}

EvpPkeyPtr requestKey(bool useEc, const std::string& logPrefix) {
  if (!useEc) {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kRequestRsaBits)));
    if (!key) logFailure(logPrefix, "EVP_PKEY_Q_keygen failed with error '");
    return key;
  }
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
  EVP_PKEY* key = nullptr;
  if (!context) {
    logFailure(logPrefix, "EVP_PKEY_CTX_new_id failed with error '");
  } else if (EVP_PKEY_keygen_init(context.get()) != 1) {
    logFailure(logPrefix, "EVP_PKEY_keygen_init failed with error '");
  } else if (EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context.get(), NID_X9_62_prime256v1) <= 0) {
    logFailure(logPrefix, "EVP_PKEY_CTX_set_ec_paramgen_curve_nid failed with error '");
  } else if (EVP_PKEY_keygen(context.get(), &key) <= 0) {
    logFailure(logPrefix, "EVP_PKEY_keygen failed with error '");
  }
  return EvpPkeyPtr(key);
}

}  // namespace

bool CertManager::signData(const std::string& certificatePem, const std::string& extraCertificatesPem,
                           const std::string& keyPem, const std::string& data, std::string& signature,
                           const std::string& logPrefix) {
  ERR_clear_error();
  auto fail = [&](const char* message) {
    ERR_clear_error();
    LOG4CPLUS_ERROR(logger, logPrefix + message);
    return false;
  };
  BioPtr certificateBio = pemBio(certificatePem);
  if (!certificateBio) return fail(" BIO_new_mem_buf failed ");
  X509Ptr certificate = readCertificate(certificateBio.get());
  if (!certificate) return fail(" PEM_read_bio_X509 failed ");
  BioPtr keyBio = pemBio(keyPem);
  if (!keyBio) return fail(" BIO_new_mem_buf failed ");
  bool encrypted = false;
  EvpPkeyPtr key = readPrivateKey(keyBio.get(), encrypted);
  if (!key) return fail(" PEM_read_bio_RSAPrivateKey failed ");
  X509StackPtr extra(sk_X509_new_null());
  if (!extraCertificatesPem.empty()) {
    BioPtr extraBio = pemBio(extraCertificatesPem);
    if (!extraBio || !extra) return fail(" BIO_new_mem_buf failed ");
    while (X509Ptr next = readCertificate(extraBio.get())) {
      if (sk_X509_push(extra.get(), next.get()) <= 0) return fail(" PKCS7_add_certificate failed ");
      next.release();
    }
    ERR_clear_error();  // the end of the text
  }
  BioPtr dataBio = memoryBio(data);
  if (!dataBio) return fail(" BIO_new_mem_buf failed ");

  Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, dataBio.get(), kSignFlags));
  if (!p7 || PKCS7_sign_add_signer(p7.get(), certificate.get(), key.get(), nullptr, kSignFlags) == nullptr) {
    return fail(" PKCS7_sign_add_signer failed ");
  }
  for (int i = 0; i < sk_X509_num(extra.get()); ++i) {
    if (PKCS7_add_certificate(p7.get(), sk_X509_value(extra.get(), i)) != 1) {
      return fail(" PKCS7_add_certificate failed ");
    }
  }
  if (PKCS7_final(p7.get(), dataBio.get(), kSignFlags) != 1) return fail(" PKCS7_final failed ");
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out) return fail(" BIO_new_mem_buf failed ");
  if (i2d_PKCS7_bio_stream(out.get(), p7.get(), dataBio.get(), kSignFlags) != 1) {
    return fail(" i2d_PKCS7_bio_stream failed ");
  }
  signature += bioToString(out.get());
  return true;
}

std::string CertManager::sign(const std::string& data, EVP_PKEY* key, const std::string& logPrefix) {
  ERR_clear_error();
  MdCtxPtr context(EVP_MD_CTX_new());
  const EVP_MD* digest = EVP_get_digestbyname("SHA256");
  size_t length = 0;
  if (!context || key == nullptr || EVP_DigestSignInit(context.get(), nullptr, digest, nullptr, key) != 1 ||
      EVP_DigestSignUpdate(context.get(), data.data(), data.size()) != 1 ||
      EVP_DigestSignFinal(context.get(), nullptr, &length) != 1) {
    logFailure(logPrefix, "Error creating SHA256 digest, error '");
    return "";
  }
  std::string signature(length, '\0');
  if (EVP_DigestSignFinal(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length) != 1) {
    logFailure(logPrefix, "Error creating SHA256 digest in final signature, error '");
    return "";
  }
  signature.resize(length);
  return utils::base64UrlEncode(signature);
}

std::string CertManager::hmacSha256(const std::string& key, const std::string& data) {
  if (key.size() > static_cast<size_t>(INT_MAX)) return "";
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
           data.size(), mac, &length) == nullptr) {
    ERR_clear_error();
    return "";
  }
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += digits[mac[i] >> 4];
    text += digits[mac[i] & 0x0F];
  }
  return text;
}

std::string CertManager::sha256USBase64(const std::string& data, const std::string& logPrefix) {
  ERR_clear_error();
  MdCtxPtr context(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    logFailure(logPrefix, "sha256USBase64 failed,  with error '");
    return "";
  }
  return utils::base64UrlEncode(std::string(reinterpret_cast<char*>(digest), length));
}

std::string CertManager::sha256USBase64IgnoringWhitespace(const std::string& data) {
  std::string text;
  text.reserve(data.size());
  for (char c : data) {
    if (!std::isspace(static_cast<unsigned char>(c))) text += c;
  }
  return sha256USBase64(text, "");
}

std::string CertManager::bignumToBase64Url(const BIGNUM* number) {
  if (number == nullptr) return "";
  std::string bytes(static_cast<size_t>(BN_num_bytes(number)), '\0');
  BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
  return utils::base64UrlEncode(bytes);
}

bool CertManager::makeCertificateSigningRequest(const StringList& hostNames, std::string& request,
                                                std::string& privateKey, bool useEc, const std::string& logPrefix) {
  ERR_clear_error();
  if (hostNames.empty()) {
    LOG4CPLUS_ERROR(logger, logPrefix + "A certificate signing request needs at least one host name!");
    return false;
  }
  for (const std::string& host : hostNames) {
    if (host.empty() || host.find('\0') != std::string::npos || host.size() > static_cast<size_t>(INT_MAX)) {
      LOG4CPLUS_ERROR(logger, logPrefix + "Host name '" + host.c_str() + "' is empty or holds a zero byte!");
      return false;
    }
  }
  const std::string& commonName = hostNames.front();
  if (commonName.size() > kMaxCommonNameLength) {
    LOG4CPLUS_ERROR(logger, logPrefix + "Host name '" + commonName +
                                "' is longer than the 64 characters a common name may have!");
    return false;
  }

  EvpPkeyPtr key = requestKey(useEc, logPrefix);
  if (!key) return false;
  X509ReqPtr req(X509_REQ_new());
  if (!req || X509_NAME_add_entry_by_txt(X509_REQ_get_subject_name(req.get()), "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) != 1) {
    return logFailure(logPrefix, "X509_NAME_add_entry_by_txt failed with error '");
  }
  // The key identifier is a hash of the request's key, so the key goes in first.
  if (X509_REQ_set_pubkey(req.get(), key.get()) != 1) {
    return logFailure(logPrefix, "X509_REQ_set_pubkey failed with error '");
  }

  ExtensionStackPtr extensions(sk_X509_EXTENSION_new_null());
  auto push = [&](X509_EXTENSION* made, const char* what) {
    X509ExtensionPtr extension(made);
    if (!extensions || !extension || sk_X509_EXTENSION_push(extensions.get(), extension.get()) <= 0) {
      return logFailure(logPrefix, std::string("sk_X509_EXTENSION_push failed (") + what + ") with error '");
    }
    extension.release();
    return true;
  };
  // Built as names, not parsed from text, so a name cannot smuggle in more entries.
  GeneralNamesPtr altNames(dnsNames(hostNames));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, nullptr, nullptr, req.get(), nullptr, 0);
  if (!push(altNames ? X509V3_EXT_i2d(NID_subject_alt_name, 0, altNames.get()) : nullptr,
            "Unable to add Subject Alternative Name to extensions") ||
      !push(X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage,
                                useEc ? "digitalSignature" : "digitalSignature, Key Encipherment"),
            "Unable to add Key Usage") ||
      !push(X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage,
                                "TLS Web Client Authentication, TLS Web Server Authentication"),
            "Unable to add extended Key Usage") ||
      !push(X509V3_EXT_conf_nid(nullptr, &context, NID_subject_key_identifier, "hash"),
            "Unable to add extended Subject Key identifier")) {
    return false;
  }
  if (X509_REQ_add_extensions(req.get(), extensions.get()) != 1) {
    return logFailure(logPrefix,
                      "X509_REQ_add_extensions failed (Unable to add Subject Alternative Names to CSR) with error '");
  }
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  if (!keyBio || PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return logFailure(logPrefix, "PEM_write_bio_PrivateKey failed (Failure in PEM_write_bio_PrivateKey) with error '");
  }
  if (X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0) {
    return logFailure(logPrefix, "X509_REQ_sign failed with error '");
  }
  BioPtr der(BIO_new(BIO_s_mem()));
  if (!der || i2d_X509_REQ_bio(der.get(), req.get()) <= 0) {
    return logFailure(logPrefix, "i2d_X509_REQ_bio failed with error '");
  }
  request = utils::base64UrlEncode(bioToString(der.get()));
  privateKey = bioToString(keyBio.get());
  return true;
}

}  // namespace quorvel::certificate
