// Who gets room in the body budget, and when.
#include "common/connection/BodyBudget.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvel::transport {
namespace {

constexpr BodyBudget::Ticket kNow = BodyBudget::kGrantedNow;

TEST(BodyBudget, WaitersAreServedInArrivalOrderOnceRoomIsFree) {
  BodyBudget budget(100);
  std::string granted;
  auto grant = [&granted](char who) { return [&granted, who] { granted += who; }; };
  ASSERT_EQ(budget.acquire(60, grant('a')), kNow);
  EXPECT_NE(budget.acquire(50, grant('b')), kNow);
  // Would fit, but must not overtake the waiting body.
  EXPECT_NE(budget.acquire(10, grant('c')), kNow);
  budget.release(60);
  EXPECT_EQ(granted, "bc");
  EXPECT_EQ(budget.held(), 60u);
}

TEST(BodyBudget, ABodyThatStopsWaitingLetsTheOnesBehindItIn) {
  BodyBudget budget(100);
  std::string granted;
  auto grant = [&granted](char who) { return [&granted, who] { granted += who; }; };
  ASSERT_EQ(budget.acquire(60, grant('a')), kNow);
  const auto large = budget.acquire(50, grant('b'));
  const auto small = budget.acquire(10, grant('c'));
  EXPECT_TRUE(budget.cancel(large));
  EXPECT_EQ(granted, "c");
  // Granted already: nothing to take back.
  EXPECT_FALSE(budget.cancel(small));
  budget.release(70);
  EXPECT_EQ(budget.held(), 0u);
  EXPECT_EQ(granted, "c");
}

TEST(BodyBudget, ABodyLargerThanTheBudgetPassesAlone) {
  BodyBudget budget(100);
  bool granted = false;
  ASSERT_EQ(budget.acquire(10, [] {}), kNow);
  EXPECT_NE(budget.acquire(500, [&granted] { granted = true; }), kNow);
  budget.release(10);
  EXPECT_TRUE(granted);
  EXPECT_NE(budget.acquire(1, [] {}), kNow);
}

}  // namespace
}  // namespace quorvel::transport
