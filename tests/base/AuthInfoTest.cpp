#include "common/authentication/AuthInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

TEST(AuthInfoMembership, UserGroupsAndFlags) {
  auto info = makeRecord();
  info->setAuthenticated("alice", {"admins", "staff"}, "", -1, false, false);
  EXPECT_TRUE(info->isMemberOf({"bob", "alice"}, true));
  EXPECT_TRUE(info->isMemberOf({"staff"}, false));
  EXPECT_FALSE(info->isMemberOf({"staff"}, true));
  EXPECT_FALSE(info->isMemberOf({"Alice", "STAFF"}, false));
  // A service identity is no member of anything.
  info->setAuthenticated("alice", {"admins", "staff"}, "", -1, false, true);
  EXPECT_FALSE(info->isMemberOf({"alice", "staff"}, false));
}

TEST(AuthInfoConcurrency, ReadersAndWritersAgree) {
  auto info = makeRecord("cid:1");
  const std::set<std::string> allowed = {"[cid:1]  ",          "[cid:2]  ",           "[cid:1 u:reader]  ",
                                         "[cid:2 u:reader]  ", "[cid:1 s:service]  ", "[cid:2 s:service]  "};
  std::atomic<bool> stop{false};
  std::atomic<int> badPrefixes{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 2000; ++i) {
      info->setAuthenticated(i % 2 == 0 ? "reader" : "service", {"g"}, "t", -1, i % 2 == 0, i % 2 != 0);
      info->setConnectionId(i % 3 == 0 ? "cid:1" : "cid:2");
      if (i % 5 == 0) info->reset();
    }
    stop = true;
  });
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&, r] {
      while (!stop) {
        if (allowed.count(info->toString()) == 0) ++badPrefixes;
        info->isValid("t");
        info->isMemberOf({"reader", "g"}, r % 2 == 0);
        info->getGroups();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(badPrefixes.load(), 0);
}

}  // namespace
