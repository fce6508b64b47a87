#include "common/openssl/CertManager.h"

#include <fcntl.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/locale/generator.hpp>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/openssl/OpenSslSupport.h"
#include "common/utils/FileSetWriter.h"

namespace quorvel::certificate {

using utils::FileSetWriter;

static log4cplus::Logger logger = log4cplus::Logger::getInstance("CertManager");

namespace {

// BIO contents are read in steps of this size.
constexpr int kBioReadStep = 1024;
// OpenSSL documents 256 bytes as enough for an error string; we allow more.
constexpr size_t kErrorTextSize = 512;
// Positive and within the 20 octets a serial number may have.
constexpr int kSerialBits = 159;
constexpr unsigned long kRsaExponent = 65537;
// The service's own certificate is made once and kept: a strong key and ten years.
constexpr int kSelfSignKeyBits = 4096;
constexpr int kSelfSignValidityDays = 3650;
constexpr long kSecondsPerDay = 86400;
constexpr const char* kEmailAddress = "security@quorvel.invalid";
constexpr const char* kEncryptedKeyMessage = "Private key is encrypted; only unencrypted private keys are supported";
constexpr const char* kKeyMismatchMessage = "The private key does not match the certificate!";

std::string reasonText(unsigned long code) {
  const char* text = ERR_reason_error_string(code);
  return text != nullptr ? text : "unknown error";
}

// First "CN" entry of the subject up to its first zero byte; false when none.
bool firstCommonName(X509* certificate, std::string& commonName) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return false;
  const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  const char* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
  commonName.assign(bytes, strnlen(bytes, static_cast<size_t>(ASN1_STRING_length(value))));
  return true;
}

bool printCertificate(BIO* bio, X509* certificate) { return X509_print_ex(bio, certificate, 0, 0) > 0; }

bool appendPem(BIO* bio, X509* certificate) { return PEM_write_bio_X509(bio, certificate) > 0; }

bool writeKeyPem(BIO* bio, EVP_PKEY* key) {
  return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) > 0;
}

void removeChainFile(const std::string& chainFile, const std::string& logPrefix) {
  if (!fileExists(chainFile)) return;
  boost::system::error_code ec;
  boost::filesystem::remove(chainFile, ec);
  if (ec) {
    LOG4CPLUS_WARN(logger, logPrefix + "boost::filesystem::remove failed with error message: " + ec.message() +
                               " for file " + chainFile);
  }
}

// Paths given as UTF-8 text stay UTF-8 whatever the process locale is.
void installUtf8PathLocale() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      boost::filesystem::path::imbue(boost::locale::generator()("en_US.UTF-8"));
    } catch (const std::exception&) {
      // Without the locale narrow paths are passed through unchanged, which is what Linux does anyway.
    }
  });
}

// Reads a whole certificate or key file for the checks. what is "certificate"
// or "key file", as it appears in the log.
bool readSmallFile(const std::string& path, const char* what, std::vector<char>& content,
                   const std::string& logPrefix) {
  int openError = 0;
  const char* problem = nullptr;
  switch (readWholeFile(path, kMaxCertificateFileSize, content, openError)) {
    case FileRead::Ok:
      return true;
    case FileRead::OpenFailed:
      LOG4CPLUS_ERROR(logger, logPrefix + "fopen_s of " + what + " '" + path + "'  failed with error " +
                                  std::to_string(openError));
      return false;
    case FileRead::NotRegular:
      problem = "is not a regular file (pipe, device or directory).";
      break;
    case FileRead::Empty:
      problem = "has a length of 0.";
      break;
    case FileRead::TooLarge:
      problem = "has a length larger than 2 MB.";
      break;
    case FileRead::ReadFailed:
      problem = "could not be read completely.";
      break;
  }
  LOG4CPLUS_ERROR(logger, logPrefix + "file '" + path + "'  " + problem);
  return false;
}

// Memory BIO over a file read by readSmallFile, after its byte-order mark.
BioPtr fileContentBio(const std::vector<char>& content, const std::string& logPrefix) {
  const char* data = nullptr;
  size_t length = 0;
  skipUtf8Bom(content.data(), content.size(), &data, &length);
  BioPtr bio = memoryBio(data, length);
  if (!bio) LOG4CPLUS_ERROR(logger, logPrefix + " BIO_new_mem_buf failed ");
  return bio;
}

void collectNames(X509* certificate, const std::string& commonName, StringList& names, const std::string& logPrefix) {
  names.clear();
  if (!commonName.empty()) names.push_back(commonName);
  GeneralNamesPtr altNames(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  ERR_clear_error();  // a certificate without the extension is not an error
  if (!altNames) return;
  for (int i = 0; i < sk_GENERAL_NAME_num(altNames.get()); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(altNames.get(), i);
    std::string text;
    if (entry->type == GEN_DNS) {
      text = asn1Text(entry->d.dNSName);
      text.resize(strnlen(text.c_str(), text.size()));
    } else if (entry->type == GEN_IPADD) {
      if (!isIpAddressEntry(entry->d.iPAddress, logPrefix)) continue;
      text = ipText(entry->d.iPAddress);
    } else {
      continue;  // e-mail, URI and directory names are no host names
    }
    if (std::find(names.begin(), names.end(), text) == names.end()) names.push_back(std::move(text));
  }
}

int errnoOrEio() { return errno != 0 ? errno : EIO; }

}  // namespace

int fopen_s(FILE** file, const char* path, const char* mode) {
  *file = nullptr;
  errno = 0;
  if (std::strcmp(mode, "r") == 0) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errnoOrEio();
    *file = ::fdopen(fd, mode);
    if (*file == nullptr) {
      int err = errnoOrEio();
      ::close(fd);
      return err;
    }
    return 0;
  }
  *file = std::fopen(path, mode);
  return *file != nullptr ? 0 : errnoOrEio();
}

void skipUtf8Bom(const char* data, size_t length, const char** outData, size_t* outLength) {
  static const unsigned char bom[] = {0xEF, 0xBB, 0xBF};
  if (length > 2 && std::memcmp(data, bom, sizeof(bom)) == 0) {
    *outData = data + 3;
    *outLength = length - 3;
  } else {
    *outData = data;
    *outLength = length;
  }
}

bool fileExists(const std::string& path) {
  if (path.empty()) return false;
  boost::system::error_code ec;
  return boost::filesystem::exists(boost::filesystem::status(path, ec));
}

std::vector<char> readBio(BIO* bio) {
  std::vector<char> data(kBioReadStep);
  size_t used = 0;
  for (;;) {
    int read = BIO_read(bio, data.data() + used, kBioReadStep);
    if (read <= 0) break;
    used += static_cast<size_t>(read);
    data.resize(used + kBioReadStep);
  }
  ERR_clear_error();  // reading up to the end may queue an error
  data.resize(used);
  data.shrink_to_fit();
  return data;
}

std::string bioToString(BIO* bio) {
  std::vector<char> data = readBio(bio);
  return std::string(data.begin(), data.end());
}

void CertManager::StoreFree::operator()(X509_STORE* store) const { X509_STORE_free(store); }

CertManager::CertManager() = default;

CertManager::~CertManager() = default;

bool CertManager::init(const std::string& logPrefix) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  if (!initCertStore(logPrefix)) {
    LOG4CPLUS_ERROR(logger, logPrefix + "Initializing cert store failed!");
    return false;
  }
  return true;
}

bool CertManager::deinit() {
  freeCertStore();
  return true;
}

CertManager::StorePtr CertManager::makeStore(const std::string& logPrefix) {
  ERR_clear_error();
  unsigned long code = 0;
  std::string message;
  StorePtr store(X509_STORE_new());
  const char* failed = nullptr;
  if (!store) {
    failed = "X509_STORE_new";
  } else if (X509_STORE_set_default_paths(store.get()) != 1) {
    failed = "X509_STORE_set_default_paths";
  } else if (X509_STORE_add_lookup(store.get(), X509_LOOKUP_file()) == nullptr) {
    failed = "X509_STORE_add_lookup";
  }
  if (failed == nullptr) return store;
  takeFailure(code, message);
  LOG4CPLUS_ERROR(logger, logPrefix + failed + " failed with error '" + std::to_string(code) + "' and message '" +
                              message + "'!");
  return nullptr;
}

bool CertManager::initCertStore(const std::string& logPrefix) {
  std::lock_guard<std::mutex> lock(storeMutex);
  certStore.reset();
  certStore = makeStore(logPrefix);
  return certStore != nullptr;
}

void CertManager::freeCertStore() {
  std::lock_guard<std::mutex> lock(storeMutex);
  certStore.reset();
}

CertManager::StorePtr CertManager::acquireStore(const std::string& logPrefix) {
  std::lock_guard<std::mutex> lock(storeMutex);
  if (!certStore) certStore = makeStore("");
  if (!certStore || X509_STORE_up_ref(certStore.get()) != 1) {
    LOG4CPLUS_ERROR(logger, logPrefix + "Cannot validate the certificate without working certificate store!");
    return nullptr;
  }
  return StorePtr(certStore.get());
}

void CertManager::getOpenSslError(unsigned long& errorCode, std::string& errorMessage) {
  errorCode = ERR_get_error();
  ERR_clear_error();
  if (errorCode == 0) {
    errorMessage = "sucess.";
    return;
  }
  char text[kErrorTextSize] = {};
  ERR_error_string_n(errorCode, text, sizeof(text));
  errorMessage = text;
}

int CertManager::mkit(X509** certificate, EVP_PKEY** key, int bits, int serial, int days, std::string commonName,
                      std::string hostName, bool withOrgUnit, std::string& errorMessage, const std::string&) {
  ERR_clear_error();
  if (certificate == nullptr || key == nullptr) {
    errorMessage = "No place given for the certificate or the key";
    return 1;
  }
  boost::algorithm::trim(hostName);
  boost::algorithm::trim(commonName);

  // Objects the caller handed in stay the caller's; only new ones are ours to free.
  EvpPkeyPtr ownedKey;
  EVP_PKEY* pkey = *key;
  if (pkey == nullptr) {
    ownedKey.reset(EVP_PKEY_new());
    pkey = ownedKey.get();
    if (pkey == nullptr) {
      errorMessage = "Could not create new EVP PKEY";
      return 1;
    }
  }
  X509Ptr ownedCertificate;
  X509* cert = *certificate;
  if (cert == nullptr) {
    ownedCertificate.reset(X509_new());
    cert = ownedCertificate.get();
    if (cert == nullptr) {
      errorMessage = "Could not create new X509";
      return 1;
    }
  }

  EvpPkeyCtxPtr keyContext(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  BignumPtr exponent(BN_new());
  // The key is generated into pkey itself, so an object handed in by the caller is filled.
  EVP_PKEY* generated = pkey;
  bool keyMade = keyContext && exponent && BN_set_word(exponent.get(), kRsaExponent) == 1 &&
                 EVP_PKEY_keygen_init(keyContext.get()) > 0 &&
                 EVP_PKEY_CTX_set_rsa_keygen_bits(keyContext.get(), bits) > 0 &&
                 EVP_PKEY_CTX_set1_rsa_keygen_pubexp(keyContext.get(), exponent.get()) > 0 &&
                 EVP_PKEY_generate(keyContext.get(), &generated) > 0;
  if (generated != pkey) {
    EVP_PKEY_free(generated);
    keyMade = false;
  }
  if (!keyMade) {
    ERR_clear_error();
    errorMessage = "RSA_generate_key_ex failed!";
    return 1;
  }

  // Equal issuer and serial on two certificates with different keys make browsers refuse both.
  BignumPtr serialNumber(BN_new());
  bool serialSet = false;
  if (serial > 0) {
    serialSet = ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) == 1;
  } else if (serialNumber) {
    do {
      serialSet = BN_rand(serialNumber.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1;
    } while (serialSet && BN_is_zero(serialNumber.get()));
    serialSet = serialSet && BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert)) != nullptr;
  }
  if (X509_set_version(cert, X509_VERSION_3) != 1 || !serialSet ||
      X509_gmtime_adj(X509_getm_notBefore(cert), 0) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(days) * kSecondsPerDay) == nullptr ||
      X509_set_pubkey(cert, pkey) != 1) {
    errorMessage = "Could not set the certificate's version, serial number, validity or public key";
    return takeReasonCode();
  }

  struct Field {
    const char* name;
    std::string value;
  };
  std::vector<Field> fields = {
      {"C", "ZZ"}, {"ST", "Vestmark"}, {"L", "Tallobrunn"}, {"O", "Quorvel Technologies Gmbh"}};
  if (withOrgUnit) fields.push_back({"OU", "ACME"});
  fields.push_back({"CN", commonName});
  fields.push_back({"emailAddress", kEmailAddress});

  auto addFields = [&](X509_NAME* name) {
    for (const Field& field : fields) {
      // The ASCII conversion enforces a minimum length of 1; an empty common
      // name (no host name known) goes in as a plain UTF8String instead.
      int type = field.value.empty() ? V_ASN1_UTF8STRING : MBSTRING_ASC;
      if (X509_NAME_add_entry_by_txt(name, field.name, type,
                                     reinterpret_cast<const unsigned char*>(field.value.c_str()), -1, -1, 0) != 1) {
        errorMessage = std::string("Could not add attribute ") + field.name + " with value " + field.value +
                       " to a X509_NAME_OBJECT";
        return false;
      }
    }
    return true;
  };
  X509NamePtr issuer(X509_NAME_new());
  if (!issuer) {
    errorMessage = "Could not create new X509_NAME";
    return takeReasonCode();
  }
  if (!addFields(issuer.get())) return takeReasonCode();
  if (X509_set_issuer_name(cert, issuer.get()) != 1) {
    errorMessage = "Could not set the issuer name";
    return takeReasonCode();
  }
  issuer.reset();
  if (!addFields(X509_get_subject_name(cert))) return takeReasonCode();

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  auto addExtension = [&](X509_EXTENSION* made, const std::string& what) {
    X509ExtensionPtr extension(made);
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) {
      errorMessage = "Could not add extension " + what;
      return false;
    }
    return true;
  };
  if (!hostName.empty()) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(hostName, ec);
    std::string altName = (ec ? "DNS:" : "IP:") + hostName;
    if (!addExtension(X509V3_EXT_conf(nullptr, &context, "subjectAltName", altName.c_str()),
                      "subjectAltName " + altName) ||
        !addExtension(X509V3_EXT_conf_nid(nullptr, &context, NID_netscape_ssl_server_name, hostName.c_str()),
                      "nsSslServerName " + hostName)) {
      return takeReasonCode();
    }
  }
  if (!addExtension(X509V3_EXT_conf_nid(nullptr, &context, NID_key_usage,
                                        "Key Encipherment, Data Encipherment, digitalSignature"),
                    "keyUsage") ||
      !addExtension(X509V3_EXT_conf_nid(nullptr, &context, NID_ext_key_usage, "TLS Web Server Authentication"),
                    "extKeyUsage")) {
    return takeReasonCode();
  }

  if (X509_sign(cert, pkey, EVP_sha256()) <= 0) {
    errorMessage = "X509_sign failed!";
    return takeReasonCode();
  }

  *certificate = cert;
  *key = pkey;
  ownedCertificate.release();
  ownedKey.release();
  return 0;
}

bool CertManager::createSelfSign(const std::string& hostName, const std::string& certFile, const std::string& keyFile,
                                 const std::string& chainFile, bool withOrgUnit, unsigned long& errorCode,
                                 std::string& errorMessage, const std::string& logPrefix) {
  ERR_clear_error();
  X509* rawCertificate = nullptr;
  EVP_PKEY* rawKey = nullptr;
  int code = mkit(&rawCertificate, &rawKey, kSelfSignKeyBits, 0, kSelfSignValidityDays, hostName, hostName, withOrgUnit,
                  errorMessage, logPrefix);
  X509Ptr certificate(rawCertificate);
  EvpPkeyPtr key(rawKey);
  if (code != 0) {
    LOG4CPLUS_ERROR(
        logger, logPrefix + "mkit failed with error " + std::to_string(code) + " and error message: " + errorMessage);
    errorCode = static_cast<unsigned long>(code);
    return false;
  }
  installUtf8PathLocale();

  BioPtr certBio(BIO_new(BIO_s_mem()));
  if (!certBio || !printCertificate(certBio.get(), certificate.get())) {
    LOG4CPLUS_WARN(logger, logPrefix + "X509_print_ex failed!");
    errorMessage = "X509_print_ex failed";
    errorCode = takeErrorCode();
    return false;
  }
  if (!appendPem(certBio.get(), certificate.get())) {
    LOG4CPLUS_WARN(logger, logPrefix + "Error writing pem file");
    errorMessage = "PEM_write_bio_X509 failed!";
    errorCode = takeErrorCode();
    return false;
  }
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  if (!keyBio || !writeKeyPem(keyBio.get(), key.get())) {
    LOG4CPLUS_WARN(logger, logPrefix + "PEM_write_bio_PrivateKey failed!");
    errorCode = takeErrorCode();
    errorMessage = "PEM_write_bio_PrivateKey failed!";
    return false;
  }

  FileSetWriter files;
  auto fileFailure = [&](const char* writeWarning) {
    errorCode = static_cast<unsigned long>(files.error());
    errorMessage = std::strerror(files.error());
    if (writeWarning != nullptr) LOG4CPLUS_WARN(logger, logPrefix + writeWarning);
    return false;
  };
  if (!files.add(certFile, bioToString(certBio.get()), kPublicFileMode)) {
    return fileFailure(files.failedStage() == FileSetWriter::Stage::Write ? "Error writing pem file" : nullptr);
  }
  if (!files.add(keyFile, bioToString(keyBio.get()), kKeyFileMode)) {
    return fileFailure(files.failedStage() == FileSetWriter::Stage::Write ? "Error writing private key pem file"
                                                                          : "Error writing private key file");
  }
  if (!files.commit()) {
    errorCode = static_cast<unsigned long>(files.error());
    errorMessage = std::strerror(files.error());
    LOG4CPLUS_WARN(logger, logPrefix + "Cannot replace " + files.failedPath() + ": " + errorMessage);
    return false;
  }
  removeChainFile(chainFile, logPrefix);
  return true;
}

bool CertManager::checkCertificateFile(const std::string& path, std::string* certText, std::string* certDer,
                                       std::string* commonName, StringList* names, time_t* validFrom, time_t* validTo,
                                       const std::string& logPrefix) {
  ERR_clear_error();
  std::vector<char> content;
  if (!readSmallFile(path, "certificate", content, logPrefix)) return false;
  BioPtr bio = fileContentBio(content, logPrefix);
  if (!bio) return false;
  X509Ptr certificate = readCertificate(bio.get());
  bio.reset();
  if (!certificate) {
    ERR_clear_error();
    return false;
  }

  if (certText != nullptr) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || !printCertificate(out.get(), certificate.get()) || !appendPem(out.get(), certificate.get())) {
      LOG4CPLUS_ERROR(logger, logPrefix + "Printing the certificate failed: " + path);
      ERR_clear_error();
      return false;
    }
    *certText = bioToString(out.get());
  }
  if (certDer != nullptr) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_X509_bio(out.get(), certificate.get()) != 1) {
      LOG4CPLUS_ERROR(logger, logPrefix + "Encoding the certificate as DER failed: " + path);
      ERR_clear_error();
      return false;
    }
    *certDer = bioToString(out.get());
  }
  if (commonName != nullptr || names != nullptr) {
    char buffer[kCommonNameBufferSize] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, buffer, sizeof(buffer)) <
        0) {
      buffer[0] = 0;
    }
    ERR_clear_error();
    if (commonName != nullptr) *commonName = buffer;
    if (names != nullptr) collectNames(certificate.get(), buffer, *names, logPrefix);
  }
  if (validTo != nullptr && !toEpoch(X509_get0_notAfter(certificate.get()), *validTo)) {
    LOG4CPLUS_ERROR(logger, logPrefix + "ASN1_TIME_to_tm failed for valid to date!");
    ERR_clear_error();
    return false;
  }
  if (validFrom != nullptr && !toEpoch(X509_get0_notBefore(certificate.get()), *validFrom)) {
    LOG4CPLUS_ERROR(logger, logPrefix + "ASN1_TIME_to_tm failed for valid from date!");
    ERR_clear_error();
    return false;
  }
  return true;
}

bool CertManager::checkKeyFile(const std::string& path, std::string* pemOut, const std::string& logPrefix) {
  ERR_clear_error();
  std::vector<char> content;
  if (!readSmallFile(path, "key file", content, logPrefix)) return false;
  BioPtr bio = fileContentBio(content, logPrefix);
  if (!bio) return false;
  bool encrypted = false;
  EvpPkeyPtr key = readPrivateKey(bio.get(), encrypted);
  bio.reset();
  ERR_clear_error();
  if (!key) {
    if (encrypted) {
      LOG4CPLUS_ERROR(logger, logPrefix + kEncryptedKeyMessage + ": " + path);
    } else {
      LOG4CPLUS_ERROR(logger, logPrefix + "No or invalid private key: " + path);
    }
    return false;
  }
  if (pemOut != nullptr) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || !writeKeyPem(out.get(), key.get())) {
      LOG4CPLUS_ERROR(logger, logPrefix + "PEM_write_bio_PrivateKey failed!");
      ERR_clear_error();
      return false;
    }
    *pemOut = bioToString(out.get());
  }
  return true;
}

bool CertManager::checkPemCertInMemory(const char* data, size_t length, std::string& commonName,
                                       unsigned long& errorCode, std::string& errorMessage,
                                       const std::string& logPrefix) {
  ERR_clear_error();
  BioPtr bio = memoryBio(data, length);
  if (!bio) {
    errorCode = takeErrorCode();
    errorMessage = "BIO_new_mem_buf failed.";
    LOG4CPLUS_ERROR(logger, logPrefix + "BIO_new_mem_buf failed.");
    return false;
  }
  X509Ptr certificate = readCertificate(bio.get());
  if (!certificate) {
    errorCode = takeErrorCode();
    errorMessage = "Invalid X.509 Certificate";
    return false;
  }
  firstCommonName(certificate.get(), commonName);
  return true;
}

bool CertManager::checkPemKeyInMemory(const char* data, size_t length, unsigned long& errorCode,
                                      std::string& errorMessage, const std::string& logPrefix) {
  ERR_clear_error();
  const char* keyData = nullptr;
  size_t keyLength = 0;
  skipUtf8Bom(data, length, &keyData, &keyLength);
  BioPtr bio = memoryBio(keyData, keyLength);
  if (!bio) {
    errorCode = takeErrorCode();
    errorMessage = "BIO_new_mem_buf failed.";
    LOG4CPLUS_ERROR(logger, logPrefix + " BIO_new_mem_buf failed ");
    return false;
  }
  bool encrypted = false;
  EvpPkeyPtr key = readPrivateKey(bio.get(), encrypted);
  if (!key) {
    errorCode = takeErrorCode();
    errorMessage = encrypted ? kEncryptedKeyMessage : "No or invalid private key";
    return false;
  }
  return true;
}

bool CertManager::checkPemChainInMemory(const char* data, size_t length, unsigned long& errorCode,
                                        std::string& errorMessage, const std::string& logPrefix) {
  ERR_clear_error();
  BioPtr bio = memoryBio(data, length);
  if (!bio) {
    errorCode = takeErrorCode();
    errorMessage = "BIO_new_mem_buf failed.";
    LOG4CPLUS_ERROR(logger, logPrefix + " BIO_new_mem_buf failed ");
    return false;
  }
  int count = 0;
  while (X509Ptr certificate = readCertificate(bio.get())) ++count;
  // The loop ends on "no start line" at the end of the data; any other error
  // is a damaged certificate block, which would fail later when the chain is loaded.
  unsigned long last = ERR_peek_last_error();
  bool cleanEnd = ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
  if (count == 0) {
    ERR_clear_error();
    return false;
  }
  if (!cleanEnd) {
    errorCode = takeErrorCode();
    errorMessage = "Invalid X.509 Certificate in chain";
    return false;
  }
  ERR_clear_error();
  return true;
}

bool CertManager::checkPEMAndWritePEM(const char* certData, size_t certLength, const char* keyData, size_t keyLength,
                                      const char* chainData, size_t chainLength, const std::string& certFile,
                                      const std::string& keyFile, const std::string& chainFile, std::string& commonName,
                                      unsigned long& errorCode, std::string& errorMessage,
                                      const std::string& logPrefix) {
  ERR_clear_error();
  skipUtf8Bom(certData, certLength, &certData, &certLength);
  skipUtf8Bom(keyData, keyLength, &keyData, &keyLength);
  if (chainLength > 0) skipUtf8Bom(chainData, chainLength, &chainData, &chainLength);

  auto refuse = [&](const std::string& message) {
    LOG4CPLUS_ERROR(logger, logPrefix + message);
    errorMessage = message;
    return false;
  };
  std::string foundCommonName;
  if (!checkPemCertInMemory(certData, certLength, foundCommonName, errorCode, errorMessage, logPrefix)) {
    return refuse("In memory check of uploaded certificate failed!");
  }
  if (!checkPemKeyInMemory(keyData, keyLength, errorCode, errorMessage, logPrefix)) {
    return refuse("In memory check of uploaded key failed!");
  }
  unsigned long chainCode = 1;  // a chain without any certificate leaves the code as it is
  if (chainLength > 0 && !checkPemChainInMemory(chainData, chainLength, chainCode, errorMessage, logPrefix)) {
    errorCode = chainCode;
    return refuse("In memory check of uploaded chain failed!");
  }

  // Both parsed successfully above, so only the pairing can fail here.
  BioPtr certBio = memoryBio(certData, certLength);
  BioPtr keyBio = memoryBio(keyData, keyLength);
  X509Ptr certificate = certBio ? readCertificate(certBio.get()) : nullptr;
  bool encrypted = false;
  EvpPkeyPtr key = keyBio ? readPrivateKey(keyBio.get(), encrypted) : nullptr;
  if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) {
    errorCode = takeErrorCode();
    return refuse(kKeyMismatchMessage);
  }
  ERR_clear_error();

  FileSetWriter files;
  auto fileFailure = [&](const char* openLog, const char* openMessage, const char* writeMessage) {
    errorCode = static_cast<unsigned long>(files.error());
    const std::string& path = files.failedPath();
    if (files.failedStage() == FileSetWriter::Stage::Open) {
      LOG4CPLUS_ERROR(logger, logPrefix + openLog + path);
      errorMessage = openMessage + path;
      return false;
    }
    return refuse(writeMessage + path);
  };
  if (!files.add(certFile, certData, certLength, kPublicFileMode)) {
    return fileFailure("Cannot open certificate file for writing: ", "cannot open certificate file for writing: ",
                       "write failed of cert file ");
  }
  if (!files.add(keyFile, keyData, keyLength, kKeyFileMode)) {
    return fileFailure("Cannot open private key file for writing: ", "cannot open private key file for writing: ",
                       "write failed of key file ");
  }
  if (chainLength > 0 && !files.add(chainFile, chainData, chainLength, kPublicFileMode)) {
    return fileFailure(
        "Cannot open chain file for writing: ", "cannot open chain file for writing: ", "write failed of chain file ");
  }
  if (!files.commit()) {
    errorCode = static_cast<unsigned long>(files.error());
    return refuse("Cannot replace " + files.failedPath() + ": " + std::strerror(files.error()));
  }
  if (chainLength == 0) removeChainFile(chainFile, logPrefix);
  commonName = foundCommonName;
  return true;
}

bool CertManager::checkPFXAndWritePEM(const char* pfxData, size_t pfxLength, const char* password,
                                      const std::string& certFile, const std::string& keyFile,
                                      const std::string& chainFile, std::string& commonName, unsigned long& errorCode,
                                      std::string& errorMessage, const std::string& logPrefix) {
  ERR_clear_error();
  auto refuse = [&](unsigned long code, const std::string& message) {
    LOG4CPLUS_ERROR(logger, logPrefix + message);
    errorCode = nonZero(code);
    errorMessage = message;
    return false;
  };
  skipUtf8Bom(pfxData, pfxLength, &pfxData, &pfxLength);
  if (pfxLength > static_cast<size_t>(LONG_MAX)) return refuse(1, "unknown error");
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(pfxData);
  Pkcs12Ptr archive(d2i_PKCS12(nullptr, &cursor, static_cast<long>(pfxLength)));
  if (!archive) {
    unsigned long code = takeErrorCode();
    return refuse(code, reasonText(code));
  }

  EVP_PKEY* rawKey = nullptr;
  X509* rawCertificate = nullptr;
  STACK_OF(X509)* rawExtra = nullptr;
  int parsed = PKCS12_parse(archive.get(), password, &rawKey, &rawCertificate, &rawExtra);
  EvpPkeyPtr key(rawKey);
  X509Ptr certificate(rawCertificate);
  X509StackPtr extra(rawExtra);
  archive.reset();
  if (parsed != 1) {
    unsigned long code = ERR_peek_error();
    // A password that does not fit shows as a MAC failure, not always at the front of the queue.
    for (unsigned long queued; (queued = ERR_get_error()) != 0;) {
      if (ERR_GET_LIB(queued) == ERR_LIB_PKCS12 && ERR_GET_REASON(queued) == PKCS12_R_MAC_VERIFY_FAILURE) {
        ERR_clear_error();
        return refuse(queued, "wrong password");
      }
    }
    return refuse(code, reasonText(code));
  }
  if (!certificate) return refuse(1, "Certificate could not be loaded.");
  if (!key) return refuse(1, "Private key could not be loaded.");
  if (X509_check_private_key(certificate.get(), key.get()) != 1) return refuse(takeErrorCode(), kKeyMismatchMessage);

  BioPtr certBio(BIO_new(BIO_s_mem()));
  if (!certBio || !printCertificate(certBio.get(), certificate.get())) {
    return refuse(takeErrorCode(), "X509_print_ex_fp failed!");
  }
  if (!appendPem(certBio.get(), certificate.get())) {
    return refuse(takeErrorCode(), "PEM_write_X509 failed while writing the certificate!");
  }
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  if (!keyBio || !writeKeyPem(keyBio.get(), key.get()))
    return refuse(takeErrorCode(), "Error writing private key file.");
  BioPtr chainBio(BIO_new(BIO_s_mem()));
  int extraCount = extra ? sk_X509_num(extra.get()) : 0;
  for (int i = 0; i < extraCount; ++i) {
    if (!chainBio || !appendPem(chainBio.get(), sk_X509_value(extra.get(), i))) {
      return refuse(takeErrorCode(), "PEM_write_X509 failed while writing the chain file!");
    }
  }
  firstCommonName(certificate.get(), commonName);

  FileSetWriter files;
  auto fileFailure = [&](const char* what) {
    const std::string& path = files.failedPath();
    if (files.failedStage() == FileSetWriter::Stage::Open) {
      return refuse(files.error(), std::string("Could not open ") + what + " file '" + path + "' for writing !");
    }
    return refuse(files.error(),
                  std::string("Error writing ") + what + " file '" + path + "': " + std::strerror(files.error()));
  };
  if (!files.add(certFile, bioToString(certBio.get()), kPublicFileMode)) return fileFailure("certificate");
  if (!files.add(keyFile, bioToString(keyBio.get()), kKeyFileMode)) return fileFailure("private key");
  if (extraCount > 0 && !files.add(chainFile, bioToString(chainBio.get()), kPublicFileMode)) {
    return fileFailure("chain");
  }
  if (!files.commit()) {
    return refuse(files.error(), "Cannot replace " + files.failedPath() + ": " + std::strerror(files.error()));
  }
  if (extraCount == 0) removeChainFile(chainFile, logPrefix);
  return true;
}

}  // namespace quorvel::certificate
