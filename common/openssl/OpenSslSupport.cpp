#include "common/openssl/OpenSslSupport.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <climits>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "common/openssl/CertManager.h"

namespace quorvel::certificate {

namespace {

// Never asks for a password: a prompt would block the calling thread (at
// start, the whole service). Records that one was wanted, so an encrypted
// key can be reported as such.
int refusePassword(char*, int, int, void* asked) {
  if (asked != nullptr) *static_cast<bool*>(asked) = true;
  return -1;
}

}  // namespace

unsigned long nonZero(unsigned long code) { return code != 0 ? code : 1; }

unsigned long takeErrorCode() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  return nonZero(code);
}

int takeReasonCode() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  int reason = ERR_GET_REASON(code);
  return reason != 0 ? reason : 1;
}

void takeFailure(unsigned long& errorCode, std::string& errorMessage) {
  CertManager::getOpenSslError(errorCode, errorMessage);
  if (errorCode == 0) {
    errorCode = 1;
    errorMessage = "unknown error";
  }
}

BioPtr memoryBio(const char* data, size_t length) {
  // BIO_new_mem_buf takes an int and treats -1 as "up to the first zero byte".
  if (length > static_cast<size_t>(INT_MAX)) return nullptr;
  return BioPtr(BIO_new_mem_buf(data, static_cast<int>(length)));
}

X509Ptr readCertificate(BIO* bio) { return X509Ptr(PEM_read_bio_X509(bio, nullptr, refusePassword, nullptr)); }

EvpPkeyPtr readPrivateKey(BIO* bio, bool& encrypted) {
  encrypted = false;
  return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio, nullptr, refusePassword, &encrypted));
}

bool toEpoch(const ASN1_TIME* time, time_t& out) {
  struct tm parts {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
    ERR_clear_error();
    return false;
  }
  out = timegm(&parts);
  return true;
}

bool isIpAddressEntry(const ASN1_OCTET_STRING* address, const std::string& logPrefix) {
  int length = ASN1_STRING_length(address);
  if (length == 4 || length == 16) return true;
  LOG4CPLUS_WARN(log4cplus::Logger::getInstance("CertManager"),
                 logPrefix + "Subject Alt Name detected as ip address type, but got length of string of '" +
                     std::to_string(length) + "', ignoring this entry!");
  return false;
}

std::string ipText(const ASN1_OCTET_STRING* address) {
  const unsigned char* bytes = ASN1_STRING_get0_data(address);
  char text[48];
  if (ASN1_STRING_length(address) == 4) {
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  } else {
    std::snprintf(text, sizeof(text), "%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  }
  return text;
}

std::string asn1Text(const ASN1_STRING* value) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                     static_cast<size_t>(ASN1_STRING_length(value)));
}

FileRead readWholeFile(const std::string& path, long maxSize, std::vector<char>& content, int& openError) {
  FILE* raw = nullptr;
  openError = fopen_s(&raw, path.c_str(), "r");
  FilePtr file(raw);
  if (openError != 0) return FileRead::OpenFailed;
  // Pipes and devices have no size; reading one could block or never end.
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::NotRegular;
  long size = -1;
  if (std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
  if (size < 0) return FileRead::NotRegular;
  std::rewind(file.get());
  if (size == 0) return FileRead::Empty;
  if (size > maxSize) return FileRead::TooLarge;
  content.assign(static_cast<size_t>(size), 0);
  if (std::fread(content.data(), 1, content.size(), file.get()) != content.size()) return FileRead::ReadFailed;
  return FileRead::Ok;
}

}  // namespace quorvel::certificate
