#include "common/base/BaseException.h"

#include <sstream>

namespace quorvel::common {

namespace {

std::string composeWhat(std::string_view name, const std::string& message, const std::string& file,
                        const std::string& function, std::int64_t line) {
  std::ostringstream out;
  out << std::endl << (name.empty() ? std::string_view("Exception") : name) << std::endl;
  if (line == -1) {
    out << " thrown.";
  } else {
    out << " thrown at " << file << "/" << function << "/" << line << ".";
  }
  out << std::endl << "Message was: " << message;
  return std::move(out).str();
}

}  // namespace

BaseException::BaseException(const std::string& message, const std::string& file, const std::string& function,
                             std::int64_t line, int code)
    : BaseException(std::string_view(), message, file, function, line, code) {}

BaseException::BaseException(std::string_view exceptionName, const std::string& message, const std::string& file,
                             const std::string& function, std::int64_t line, int code)
    : line(line),
      file(file),
      function(function),
      message(message),
      code(code),
      whatText(composeWhat(exceptionName, message, file, function, line)) {}

const char* BaseException::what() const noexcept { return whatText.c_str(); }

std::string BaseException::getExceptionName() const { return {}; }

}  // namespace quorvel::common
