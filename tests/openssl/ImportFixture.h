// Common ground of the import tests: a directory holding an older set of
// certificate, key and chain, and the outputs every import reports.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CertTestSupport.h"
#include "support/LogCapture.h"

namespace certtest {

class ImportFixture : public ::testing::Test {
 protected:
  using Entries = std::vector<std::string>;

  void writeOldSet() {
    writeFile(certFile, "old cert");
    writeFile(keyFile, "old key");
    writeFile(chainFile, "old chain");
  }
  // A refused import must leave every file of the older set as it was.
  void expectOldSet() {
    EXPECT_EQ(dir.entries(), (Entries{"cert.pem", "chain.pem", "key.pem"}));
    EXPECT_EQ(readFile(certFile), "old cert");
    EXPECT_EQ(readFile(keyFile), "old key");
    EXPECT_EQ(readFile(chainFile), "old chain");
  }

  TempDir dir;
  const ServerMaterial& material = serverMaterial();
  std::string certFile = dir.file("cert.pem");
  std::string keyFile = dir.file("key.pem");
  std::string chainFile = dir.file("chain.pem");
  std::string commonName, message;
  unsigned long code = 0;
  quorvel::testing::LogCapture log;
};

}  // namespace certtest
