#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

namespace quorvel::certificate {

// fopen with an errno-style result. A read-only open does not wait for a
// writer, so a FIFO given as a certificate cannot block the caller.
int fopen_s(FILE** file, const char* path, const char* mode);

enum class FileRead { Ok, OpenFailed, NotRegular, Empty, TooLarge, ReadFailed };
// Reads a regular file of at most maxSize bytes without ever blocking: a pipe
// or device is refused before anything is read. openError is the errno of a
// failed open.
FileRead readWholeFile(const std::string& path, long maxSize, std::vector<char>& content, int& openError);

// Points past a leading UTF-8 byte-order mark, if there is one.
void skipUtf8Bom(const char* data, size_t length, const char** outData, size_t* outLength);

// False for an empty path and for a path that cannot be examined.
bool fileExists(const std::string& path);

std::vector<char> readBio(BIO* bio);
std::string bioToString(BIO* bio);

// Seconds since the epoch (UTC) of an ASN.1 UTCTime or GeneralizedTime, -1
// when it cannot be read. Two-digit years below 50 are 20xx (RFC 5280).
time_t asn1UtcTimeToTime(const ASN1_TIME* time);

class CertManager {
 public:
  CertManager();
  virtual ~CertManager();
  CertManager(const CertManager&) = delete;
  CertManager& operator=(const CertManager&) = delete;

  virtual bool init(const std::string& logPrefix);
  virtual bool deinit();

  bool initCertStore(const std::string& logPrefix);
  void freeCertStore();

  // Takes the earliest error off this thread's OpenSSL error queue and
  // discards the rest, so the next operation does not report a stale error.
  static void getOpenSslError(unsigned long& errorCode, std::string& errorMessage);

  // Self-signed certificate. A serial of 0 or below asks for a random
  // positive serial number.
  static int mkit(X509** certificate, EVP_PKEY** key, int bits, int serial, int days, std::string commonName,
                  std::string hostName, bool withOrgUnit, std::string& errorMessage, const std::string& logPrefix);

  // Writes a new self-signed certificate and its private key (mode 0600) for
  // hostName and removes an existing chain file. Either both files are
  // replaced or neither is touched.
  static bool createSelfSign(const std::string& hostName, const std::string& certFile, const std::string& keyFile,
                             const std::string& chainFile, bool withOrgUnit, unsigned long& errorCode,
                             std::string& errorMessage, const std::string& logPrefix);

  static bool checkCertificateFile(const std::string& path, std::string* certText, std::string* certDer,
                                   std::string* commonName, StringList* names, time_t* validFrom, time_t* validTo,
                                   const std::string& logPrefix);
  static bool checkKeyFile(const std::string& path, std::string* pemOut, const std::string& logPrefix);

  static bool checkPemCertInMemory(const char* data, size_t length, std::string& commonName, unsigned long& errorCode,
                                   std::string& errorMessage, const std::string& logPrefix);
  static bool checkPemKeyInMemory(const char* data, size_t length, unsigned long& errorCode, std::string& errorMessage,
                                  const std::string& logPrefix);
  static bool checkPemChainInMemory(const char* data, size_t length, unsigned long& errorCode,
                                    std::string& errorMessage, const std::string& logPrefix);

  // Both imports check that the key belongs to the certificate before any
  // file is written, then replace the files together.
  static bool checkPEMAndWritePEM(const char* certData, size_t certLength, const char* keyData, size_t keyLength,
                                  const char* chainData, size_t chainLength, const std::string& certFile,
                                  const std::string& keyFile, const std::string& chainFile, std::string& commonName,
                                  unsigned long& errorCode, std::string& errorMessage, const std::string& logPrefix);
  static bool checkPFXAndWritePEM(const char* pfxData, size_t pfxLength, const char* password,
                                  const std::string& certFile, const std::string& keyFile, const std::string& chainFile,
                                  std::string& commonName, unsigned long& errorCode, std::string& errorMessage,
                                  const std::string& logPrefix);

  // Appends a detached DER PKCS#7 signature of data.
  static bool signData(const std::string& certificatePem, const std::string& extraCertificatesPem,
                       const std::string& keyPem, const std::string& data, std::string& signature,
                       const std::string& logPrefix);
  // SHA-256 signature, base64url; empty on failure.
  static std::string sign(const std::string& data, EVP_PKEY* key, const std::string& logPrefix);
  // Lower-case hexadecimal text of the MAC; empty on failure.
  static std::string hmacSha256(const std::string& key, const std::string& data);
  static std::string sha256USBase64(const std::string& data, const std::string& logPrefix);
  static std::string sha256USBase64IgnoringWhitespace(const std::string& data);
  static std::string bignumToBase64Url(const BIGNUM* number);

  // A new EC P-256 or RSA 4096 key and a PKCS#10 request for the names, the
  // first of them as CN; the outputs are written only on success.
  static bool makeCertificateSigningRequest(const StringList& hostNames, std::string& request,
                                            std::string& privateKey, bool useEc, const std::string& logPrefix);

  // Host names are matched as RFC 6125 says: an IP address only against IP
  // entries, a DNS name against DNS entries, the CN only without either.
  static bool checkHostName(X509* certificate, const std::string& hostName, const std::string& logPrefix);
  static bool matchHostName(const std::string& certificateName, const std::string& hostName);
  // Verifies as a TLS server certificate against the store; error is 1 for a
  // failure to try, else OpenSSL's verdict, 62 for a host name mismatch.
  bool validateCertificate(const std::string& certificatePem, const std::string& chainPem,
                           const std::string& hostName, uint32_t& error, const std::string& logPrefix);
  bool validateCertificate(SSL* ssl, const std::string& hostName, std::string& certificatePem, std::string& chainPem,
                           uint32_t& error, std::string& errorText, const std::string& logPrefix);

  // Each backup and each restore replaces its whole set or nothing.
  static bool backupCertificate(const std::string& certFile, const std::string& keyFile, const std::string& chainFile,
                                const std::string& certBackupFile, const std::string& keyBackupFile,
                                const std::string& chainBackupFile, const std::string& logPrefix);
  static bool restoreCertificate(const std::string& certFile, const std::string& keyFile,
                                 const std::string& chainFile, const std::string& certBackupFile,
                                 const std::string& keyBackupFile, const std::string& chainBackupFile,
                                 const std::string& logPrefix);
  static bool removeCertificate(const std::string& certFile, const std::string& keyFile,
                                const std::string& chainFile, const std::string& logPrefix);

 private:
  struct StoreFree {
    void operator()(X509_STORE* store) const;
  };
  using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
  static StorePtr makeStore(const std::string& logPrefix);
  // A reference to the store for one validation, made on demand; null when none can be made.
  StorePtr acquireStore(const std::string& logPrefix);

  // Validations may run on any thread while init and deinit replace the store.
  std::mutex storeMutex;
  StorePtr certStore;
};

}  // namespace quorvel::certificate
