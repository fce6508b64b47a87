// Certificate material and file helpers for the certificate tests.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/openssl/OpenSslPtr.h"

namespace certtest {

using quorvel::certificate::EvpPkeyPtr;
using quorvel::certificate::X509Ptr;

// Elliptic-curve keys: instant to make, and the checks do not care about the key type.
EvpPkeyPtr makeEcKey();

// Self-signed certificate; altNames in OpenSSL's "DNS:x,IP:y" form, empty for none;
// an empty commonName leaves the subject with an organisation only.
X509Ptr makeCertificate(const std::string& commonName, const std::string& altNames, EVP_PKEY* key, int days = 30);

std::string certificatePem(X509* certificate);
std::string privateKeyPem(EVP_PKEY* key);
// PKCS#8 encrypted, or the older header-encrypted form.
std::string encryptedPrivateKeyPem(EVP_PKEY* key, bool traditional);

// A server certificate for "server01" with its key, made once per process.
struct ServerMaterial {
  EvpPkeyPtr key;
  X509Ptr certificate;
  std::string certificatePem;
  std::string keyPem;
};
const ServerMaterial& serverMaterial();

// Three unrelated certificates, concatenated as PEM.
const std::string& threeCertificateChain();

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string dir;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
mode_t fileMode(const std::string& path);
bool pathExists(const std::string& path);

// Runs a shell command; returns its exit status and, when asked, its standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

// Makes writes beyond the given size fail with EFBIG while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();

 private:
  rlimit previous{};
  void (*previousHandler)(int);
};

}  // namespace certtest
