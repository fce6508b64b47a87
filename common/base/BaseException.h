#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace quorvel::common {

// Root of the system's exceptions. The what() text is composed once, at
// construction, so the pointer it returns stays valid for the object's
// lifetime and concurrent callers only read.
class BaseException : public std::exception {
 public:
  BaseException(const std::string& message, const std::string& file, const std::string& function,
                std::int64_t line, int code);
  ~BaseException() override = default;

  const char* what() const noexcept override;
  virtual std::string getExceptionName() const;

  const std::string& getMessage() const noexcept { return message; }
  const std::string& getFile() const noexcept { return file; }
  const std::string& getFunction() const noexcept { return function; }
  std::int64_t getLine() const noexcept { return line; }
  int getCode() const noexcept { return code; }

 protected:
  // Subclasses pass their own name: virtual calls cannot reach them while the
  // base is being constructed, and that is when the text is composed.
  BaseException(std::string_view exceptionName, const std::string& message, const std::string& file,
                const std::string& function, std::int64_t line, int code);

 private:
  std::int64_t line;
  std::string file;
  std::string function;
  std::string message;
  int code;
  std::string whatText;
};

}  // namespace quorvel::common
