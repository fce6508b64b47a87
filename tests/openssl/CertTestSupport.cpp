#include "CertTestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace certtest {

using quorvel::certificate::BioPtr;
using quorvel::certificate::X509ExtensionPtr;

EvpPkeyPtr makeEcKey() {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) throw std::runtime_error("EC key generation failed");
  return key;
}

X509Ptr makeCertificate(const std::string& commonName, const std::string& altNames, EVP_PKEY* key, int days) {
  X509Ptr certificate(X509_new());
  X509_set_version(certificate.get(), X509_VERSION_3);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), static_cast<long>(days) * 86400);
  X509_set_pubkey(certificate.get(), key);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0);
  if (!commonName.empty()) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
  }
  X509_set_issuer_name(certificate.get(), name);
  if (!altNames.empty()) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.c_str()));
    if (!extension) throw std::runtime_error("bad alternative names " + altNames);
    X509_add_ext(certificate.get(), extension.get(), -1);
  }
  if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) throw std::runtime_error("signing failed");
  return certificate;
}

static std::string drain(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string certificatePem(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), certificate);
  return drain(bio.get());
}

std::string privateKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return drain(bio.get());
}

std::string encryptedPrivateKeyPem(EVP_PKEY* key, bool traditional) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  static char password[] = "secret";
  if (traditional) {
    PEM_write_bio_PrivateKey_traditional(bio.get(), key, EVP_aes_256_cbc(), nullptr, 0, nullptr, password);
  } else {
    PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), nullptr, 0, nullptr, password);
  }
  return drain(bio.get());
}

const ServerMaterial& serverMaterial() {
  static const ServerMaterial material = [] {
    ServerMaterial made;
    made.key = makeEcKey();
    made.certificate = makeCertificate("server01", "DNS:server01,DNS:alias,IP:10.0.0.1,IP:::1", made.key.get());
    made.certificatePem = certificatePem(made.certificate.get());
    made.keyPem = privateKeyPem(made.key.get());
    return made;
  }();
  return material;
}

const std::string& threeCertificateChain() {
  static const std::string chain = [] {
    std::string pem;
    for (const char* name : {"Intermediate One", "Intermediate Two", "Root"}) {
      EvpPkeyPtr key = makeEcKey();
      X509Ptr certificate = makeCertificate(name, "", key.get(), 365);
      pem += certificatePem(certificate.get());
    }
    return pem;
  }();
  return chain;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/certtest-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir = pattern;
}

TempDir::~TempDir() {
  // Tests may leave read-only or odd entries behind; rm copes with all of them.
  std::string command = "rm -rf '" + dir + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  if (DIR* handle = ::opendir(dir.c_str())) {
    while (dirent* entry = ::readdir(handle)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(handle);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

mode_t fileMode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

int runCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + (output != nullptr ? " 2>/dev/null" : " >/dev/null 2>&1")).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    if (output != nullptr) output->append(buffer, read);
  }
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  // Without this the process is killed instead of the write failing.
  previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::getrlimit(RLIMIT_FSIZE, &previous);
  rlimit limited = previous;
  limited.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &limited);
}

FileSizeLimit::~FileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
}

}  // namespace certtest
