#include "common/openssl/Certificate.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslSupport.h"

namespace quorvel::certificate {

namespace {


// Empty when the time cannot be converted.
std::string dateText(const ASN1_TIME* time) {
  time_t seconds = asn1UtcTimeToTime(time);
  struct tm parts {};
  char text[256];
  if (seconds == -1 || gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(text, sizeof(text), "%Y:%m:%d:%H:%M:%S", &parts) == 0) {
    return "";
  }
  return text;
}

}  // namespace

Certificate::Certificate(X509* certificate) { describe(certificate); }

Certificate::Certificate(const std::string& path) {
  std::vector<char> content;
  int openError = 0;
  switch (readWholeFile(path, kMaxCertificateFileSize, content, openError)) {
    case FileRead::Ok:
      break;
    case FileRead::OpenFailed:
      errorCode = openError;
      errorMessage = "Could not open file " + path;
      return;
    case FileRead::Empty:
      errorCode = 1;
      errorMessage = "Improper File Length: Zero";
      return;
    case FileRead::TooLarge:
      errorCode = 1;
      errorMessage = "Improper File Length: larger than 2 MB";
      return;
    case FileRead::NotRegular:
    case FileRead::ReadFailed:
      errorCode = 1;
      errorMessage = "Improper File Length: not a readable regular file";
      return;
  }
  ERR_clear_error();
  BioPtr bio = memoryBio(content.data(), content.size());
  if (!bio) {
    errorCode = takeReasonCode();
    errorMessage = "BIO_new_mem_buf failed";
    return;
  }
  X509Ptr certificate = readCertificate(bio.get());
  if (!certificate) {
    errorCode = takeReasonCode();
    errorMessage = "Invalid X.509 Certificate";
    return;
  }
  describe(certificate.get());
}

void Certificate::describe(X509* certificate) {
  version = static_cast<int>(X509_get_version(certificate));
  long serial = ASN1_INTEGER_get(X509_get0_serialNumber(certificate));
  serialNumber = serial >= INT_MIN && serial <= INT_MAX ? static_cast<int>(serial) : -1;
  char commonName[kCommonNameBufferSize] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, commonName,
                                sizeof(commonName)) < 0) {
    commonName[0] = 0;
  }
  subjectCN = commonName;
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(nullptr, &algorithm, certificate);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  const char* name = OBJ_nid2ln(OBJ_obj2nid(object));
  signatureAlgorithm = name != nullptr ? name : "";
  validFrom = dateText(X509_get0_notBefore(certificate));
  validTo = dateText(X509_get0_notAfter(certificate));
  ERR_clear_error();
  if (validFrom.empty() || validTo.empty()) {
    errorCode = 1;
    errorMessage = "Invalid validity date";
    validFrom.clear();
    validTo.clear();
  }
}

}  // namespace quorvel::certificate
