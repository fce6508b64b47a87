// Who gets room in the body budget, and when.
#include "common/connection/BodyBudget.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvel::transport {
namespace {

TEST(BodyBudget, WaitersAreServedInArrivalOrderOnceRoomIsFree) {
  BodyBudget budget(100);
  std::string granted;
  auto grant = [&granted](char who) { return [&granted, who] { granted += who; }; };
  ASSERT_TRUE(budget.acquire(60, grant('a')));
  EXPECT_FALSE(budget.acquire(50, grant('b')));
  // Would fit, but must not overtake the waiting body.
  EXPECT_FALSE(budget.acquire(10, grant('c')));
  budget.release(60);
  EXPECT_EQ(granted, "bc");
  EXPECT_EQ(budget.held(), 60u);
}

TEST(BodyBudget, ABodyLargerThanTheBudgetPassesAlone) {
  BodyBudget budget(100);
  bool granted = false;
  ASSERT_TRUE(budget.acquire(10, [] {}));
  EXPECT_FALSE(budget.acquire(500, [&granted] { granted = true; }));
  budget.release(10);
  EXPECT_TRUE(granted);
  EXPECT_FALSE(budget.acquire(1, [] {}));
}

}  // namespace
}  // namespace quorvel::transport
