#include "common/authentication/AuthInfo.h"

#include <gtest/gtest.h>

namespace {

using quorvel::authentication::AuthInfo;

// The prefix of every log line about a connection; only the identity of the moment may show.
TEST(AuthInfoTest, LogPrefixFollowsIdAndIdentity) {
  AuthInfo info;
  info.setConnectionId("cid:7");
  EXPECT_EQ(info.toString(), "[cid:7]  ");
  info.setAuthenticated("u1", {"g1"}, "tok", 0, true, false);
  EXPECT_EQ(info.toString(), "[cid:7 u:u1]  ");
  info.setAuthenticated("svc", {}, "tok", 0, false, true);
  info.setConnectionId("cid:9");
  EXPECT_EQ(info.toString(), "[cid:9 s:svc]  ");
  // A failed check drops the identity.
  EXPECT_FALSE(info.isValid("toK"));
  EXPECT_EQ(info.toString(), "[cid:9]  ");
  info.setAuthenticated("u1", {}, "tok", time(nullptr) - 10, false, false);
  EXPECT_FALSE(info.isValid("tok"));
  info.setAuthenticated("u1", {}, "tok", time(nullptr) + 3600, false, false);
  EXPECT_TRUE(info.isValid("tok"));
  info.reset();
  EXPECT_EQ(info.toString(), "[cid:9]  ");
}

}  // namespace
