#include "common/base/BaseException.h"

#include <sstream>

namespace quorvel::common {

BaseException::BaseException(const std::string& message, const std::string& file, const std::string& function,
                             std::int64_t line, int code)
    : line(line), file(file), function(function), message(message), code(code) {}

BaseException::BaseException(const BaseException& other)
    : std::exception(other),
      line(other.line),
      file(other.file),
      function(other.function),
      message(other.message),
      code(other.code) {}

const char* BaseException::what() const noexcept {
  std::call_once(composed, [this] {
    try {
      const std::string name = getExceptionName();
      std::ostringstream out;
      out << std::endl << (name.empty() ? std::string("Exception") : name) << std::endl;
      if (line == -1) {
        out << " thrown.";
      } else {
        out << " thrown at " << file << "/" << function << "/" << line << ".";
      }
      out << std::endl << "Message was: " << message;
      whatText = std::move(out).str();
    } catch (...) {
      // Out of memory: what() must not throw; an empty text is all that is left.
    }
  });
  return whatText.c_str();
}

std::string BaseException::getExceptionName() const { return {}; }

}  // namespace quorvel::common
