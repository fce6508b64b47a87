#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

namespace quorvel::certificate {

// fopen with an errno-style result. A read-only open does not wait for a
// writer, so a FIFO given as a certificate cannot block the caller.
int fopen_s(FILE** file, const char* path, const char* mode);

// Points past a leading UTF-8 byte-order mark, if there is one.
void skipUtf8Bom(const char* data, size_t length, const char** outData, size_t* outLength);

// False for an empty path and for a path that cannot be examined.
bool fileExists(const std::string& path);

std::vector<char> readBio(BIO* bio);
std::string bioToString(BIO* bio);

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

 private:
  struct StoreFree {
    void operator()(X509_STORE* store) const;
  };
  std::unique_ptr<X509_STORE, StoreFree> certStore;
};

}  // namespace quorvel::certificate
