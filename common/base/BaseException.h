#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace quorvel::common {

// Root of the system's exceptions. The what() text names the most derived
// class, so it is composed on the first call (a constructor cannot reach
// overrides); once composed, every call returns the same pointer.
class BaseException : public std::exception {
 public:
  BaseException(const std::string& message, const std::string& file, const std::string& function,
                std::int64_t line, int code);
  // A copy composes its own text: the once-flag cannot be shared.
  BaseException(const BaseException& other);
  BaseException& operator=(const BaseException&) = delete;
  ~BaseException() override = default;

  const char* what() const noexcept override;
  virtual std::string getExceptionName() const;

  const std::string& getMessage() const noexcept { return message; }
  const std::string& getFile() const noexcept { return file; }
  const std::string& getFunction() const noexcept { return function; }
  std::int64_t getLine() const noexcept { return line; }
  int getCode() const noexcept { return code; }

 private:
  std::int64_t line;
  std::string file;
  std::string function;
  std::string message;
  int code;
  mutable std::once_flag composed;
  mutable std::string whatText;
};

}  // namespace quorvel::common
