#include "common/authentication/AuthInfo.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

using quorvel::authentication::AuthInfo;
using quorvel::authentication::AuthInfoPtr;

AuthInfoPtr makeRecord(const std::string& id = "cid:7") {
  auto info = std::make_shared<AuthInfo>();
  info->setConnectionId(id);
  return info;
}

TEST(AuthInfoPrefix, FollowsIdAndIdentityChanges) {
  auto info = makeRecord();
  EXPECT_FALSE(info->isValid(""));
  EXPECT_EQ(info->toString(), "[cid:7]  ");
  info->setAuthenticated("u1", {"g1"}, "tok", 0, true, false);
  EXPECT_EQ(info->toString(), "[cid:7 u:u1]  ");
  info->setAuthenticated("svc", {}, "tok", 0, false, true);
  info->setConnectionId("cid:9");
  EXPECT_EQ(info->toString(), "[cid:9 s:svc]  ");
  info->reset();
  EXPECT_EQ(info->toString(), "[cid:9]  ");
  EXPECT_FALSE(info->getSecondFlag());
  EXPECT_EQ(info->getExpiry(), -1);
}

TEST(AuthInfoValidity, TokenAndExpiryChecks) {
  const time_t now = time(nullptr);
  const struct {
    time_t expiry;
    std::string given;
    bool valid;
  } cases[] = {{-1, "", true},       {0, "", true},         {now + 3600, "secret", true}, {-1, "secreT", false},
               {-1, "secre", false}, {now - 10, "", false}, {now - 10, "secret", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.expiry) + " '" + c.given + "'");
    auto info = makeRecord();
    info->setAuthenticated("u1", {"g1"}, "secret", c.expiry, false, false);
    EXPECT_EQ(info->isValid(c.given), c.valid);
    // A failed check drops the identity; a passed one keeps it.
    EXPECT_EQ(info->toString(), c.valid ? "[cid:7 u:u1]  " : "[cid:7]  ");
  }
}

}  // namespace
