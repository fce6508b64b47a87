#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include "CertTestSupport.h"
#include "common/openssl/CertManager.h"

using namespace quorvel::certificate;

namespace {

TEST(CertManagerStore, InitTwiceAndDeinit) {
  CertManager manager;
  EXPECT_TRUE(manager.init(""));
  EXPECT_TRUE(manager.init(""));  // the first store is released, which the leak checker confirms
  EXPECT_TRUE(manager.deinit());
  EXPECT_TRUE(manager.deinit());
}

TEST(CertManagerStore, OpenSslErrorTakesEarliestAndEmptiesQueue) {
  ERR_clear_error();
  unsigned long code = 99;
  std::string message;
  CertManager::getOpenSslError(code, message);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(message, "sucess.");

  BioPtr bio(BIO_new_mem_buf("no certificate here", -1));
  EXPECT_EQ(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), nullptr);
  ERR_raise(ERR_LIB_X509, X509_R_KEY_VALUES_MISMATCH);  // a second queued error
  unsigned long earliest = ERR_peek_error();
  CertManager::getOpenSslError(code, message);
  EXPECT_EQ(code, earliest);
  EXPECT_NE(message.find("no start line"), std::string::npos) << message;
  EXPECT_EQ(ERR_peek_error(), 0u) << "stale errors must not reach the next operation";
}

struct BomCase {
  std::string input;
  std::string expected;
};

class SkipUtf8Bom : public ::testing::TestWithParam<BomCase> {};

TEST_P(SkipUtf8Bom, StripsOnlyACompleteMark) {
  const char* out = nullptr;
  size_t length = 0;
  skipUtf8Bom(GetParam().input.data(), GetParam().input.size(), &out, &length);
  EXPECT_EQ(std::string(out, length), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SkipUtf8Bom,
                         ::testing::Values(BomCase{"\xEF\xBB\xBF", ""}, BomCase{"\xEF\xBB", "\xEF\xBB"},
                                           BomCase{"\xEF\xBB\xBF-----BEGIN", "-----BEGIN"},
                                           BomCase{"\xEF\xBB\xBE-", "\xEF\xBB\xBE-"}, BomCase{"", ""},
                                           BomCase{"\xBB\xBF\xEF", "\xBB\xBF\xEF"}));

TEST(CertManagerFiles, FileExists) {
  certtest::TempDir dir;
  certtest::writeFile(dir.file("present"), "x");
  EXPECT_FALSE(fileExists(""));
  EXPECT_TRUE(fileExists(dir.file("present")));
  EXPECT_TRUE(fileExists(dir.path()));
  EXPECT_FALSE(fileExists(dir.file("missing")));
  EXPECT_FALSE(fileExists(dir.file("present/below")));
  ASSERT_EQ(::symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
  EXPECT_FALSE(fileExists(dir.file("dangling")));
}

TEST(CertManagerFiles, ReadBioIsExactAndBinarySafe) {
  BioPtr empty(BIO_new(BIO_s_mem()));
  EXPECT_TRUE(readBio(empty.get()).empty());

  std::string data(3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  BioPtr bio(BIO_new(BIO_s_mem()));
  ASSERT_EQ(BIO_write(bio.get(), data.data(), static_cast<int>(data.size())), 3000);
  std::vector<char> read = readBio(bio.get());
  EXPECT_EQ(std::string(read.begin(), read.end()), data);

  BioPtr again(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  EXPECT_EQ(bioToString(again.get()), data);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
