#pragma once

#include "common/base/QuorvelException.h"

namespace quorvel::http {

class CookieException : public QuorvelException {
 public:
  CookieException(const std::string& message, const std::string& file, const std::string& function,
                  std::int64_t line, int code)
      : QuorvelException(message, file, function, line, code) {}

  std::string getExceptionName() const override { return "CookieException"; }
};

}  // namespace quorvel::http
