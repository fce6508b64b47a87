#pragma once

#include <cstdint>
#include <string>

namespace quorvel::http {

// A Content-Disposition value taken apart. Parse problems are logged and the
// parameter concerned skipped; nothing is thrown.
class ContentDisposition {
 public:
  virtual bool isParsed() const;
  virtual std::string getDispositionType() const;
  virtual std::string getFilename() const;
  virtual std::string getCreationDate() const;
  virtual std::string getModificationDate() const;
  virtual std::string getReadDate() const;
  virtual std::uint64_t getSize() const;
  // Always returns true; fields the value does not mention keep their content.
  virtual bool parseContentDisposition(const std::string& value, const std::string& logPrefix);
  virtual void clear();

 private:
  bool parsed = false;
  std::string dispositionType;
  std::string filename;
  std::string creationDate;
  std::string modificationDate;
  std::string readDate;
  std::uint64_t size = 0;
};

}  // namespace quorvel::http
