#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "common/openssl/CertManager.h"
#include "common/openssl/OpenSslPtr.h"

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

}  // namespace
