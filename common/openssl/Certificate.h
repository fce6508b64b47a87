#pragma once

#include <openssl/types.h>

#include <string>

namespace quorvel::certificate {

// Printable description of one X.509 certificate, or why it could not be read.
class Certificate {
 public:
  explicit Certificate(X509* certificate);
  explicit Certificate(const std::string& path);
  virtual ~Certificate() = default;

  bool hasError() const { return errorCode != 0; }
  int getErrorCode() const { return errorCode; }
  std::string getErrorMessage() const { return errorMessage; }
  int getVersion() const { return version; }
  // -1 when the serial number does not fit.
  int getSerialNumber() const { return serialNumber; }
  std::string getSubjectCN() const { return subjectCN; }
  std::string getSignatureAlgorithm() const { return signatureAlgorithm; }
  // "%Y:%m:%d:%H:%M:%S" in UTC.
  std::string getValidFrom() const { return validFrom; }
  std::string getValidTo() const { return validTo; }

  void setErrorCode(int code) { errorCode = code; }
  void setErrorMessage(std::string message) { errorMessage = std::move(message); }
  void setVersion(int value) { version = value; }
  void setSerialNumber(int value) { serialNumber = value; }
  void setSubjectCN(std::string value) { subjectCN = std::move(value); }
  void setSignatureAlgorithm(std::string value) { signatureAlgorithm = std::move(value); }
  void setValidFrom(std::string value) { validFrom = std::move(value); }
  void setValidTo(std::string value) { validTo = std::move(value); }

 private:
  void describe(X509* certificate);

  int errorCode = 0;
  std::string errorMessage;
  int version = 0;
  int serialNumber = 0;
  std::string subjectCN;
  std::string signatureAlgorithm;
  std::string validFrom;
  std::string validTo;
};

}  // namespace quorvel::certificate
