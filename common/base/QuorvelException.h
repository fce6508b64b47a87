#pragma once

#include "common/base/BaseException.h"

namespace quorvel {

class QuorvelException : public common::BaseException {
 public:
  QuorvelException(const std::string& message, const std::string& file, const std::string& function,
                   std::int64_t line, int code)
      : QuorvelException("QuorvelException", message, file, function, line, code) {}

  std::string getExceptionName() const override { return "QuorvelException"; }

 protected:
  QuorvelException(std::string_view exceptionName, const std::string& message, const std::string& file,
                   const std::string& function, std::int64_t line, int code)
      : BaseException(exceptionName, message, file, function, line, code) {}
};

}  // namespace quorvel
