#pragma once

#include "common/base/BaseException.h"

namespace quorvel {

class QuorvelException : public common::BaseException {
 public:
  using BaseException::BaseException;

  std::string getExceptionName() const override { return "QuorvelException"; }
};

}  // namespace quorvel
