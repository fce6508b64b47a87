// Shared by the certificate tests: material, scratch files and the openssl tool as the oracle.
#pragma once

#include <cstdio>

#include "common/openssl/CertManager.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace certtest {
using namespace quorvel::certificate;
using namespace quorvel::testing;
struct Output {
  int status = -1;
  std::string output;
};
inline Output run(const std::string& command) {
  Output result;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) result.output.append(buffer, n);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}
}  // namespace certtest
