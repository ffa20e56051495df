#include "base/quiet_failure.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace corvan {
namespace {

using Clock = QuietFailureBudget::Clock;
using std::chrono::seconds;

TEST(QuietFailure, NamesTheExceptionBeingHandled) {
  std::string text;
  try {
    throw std::runtime_error("disk full");
  } catch (...) {
    text = CurrentExceptionText();
  }
  EXPECT_EQ(text, "disk full");
  try {
    throw 42;
  } catch (...) {
    text = CurrentExceptionText();
  }
  EXPECT_EQ(text, "unknown exception");
  EXPECT_EQ(CurrentExceptionText(), "no exception");
}

TEST(QuietFailure, BudgetRefusesABurstAndCountsItAtTheNextWindow) {
  QuietFailureBudget budget(2, seconds(60));
  Clock::time_point t0{};
  std::size_t leftOut = 99;
  EXPECT_TRUE(budget.Take(t0, leftOut));
  EXPECT_EQ(leftOut, 0u);
  EXPECT_TRUE(budget.Take(t0 + seconds(1), leftOut));
  EXPECT_FALSE(budget.Take(t0 + seconds(2), leftOut));
  EXPECT_FALSE(budget.Take(t0 + seconds(59), leftOut));
  // A new window: a line again, and the two refused lines are reported.
  EXPECT_TRUE(budget.Take(t0 + seconds(60), leftOut));
  EXPECT_EQ(leftOut, 2u);
  EXPECT_TRUE(budget.Take(t0 + seconds(61), leftOut));
  EXPECT_EQ(leftOut, 0u);
}

TEST(QuietFailure, LineNamesWhereAndWhatAndTheLinesLeftOut) {
  EXPECT_EQ(QuietFailureLine("request handler", "bad xml", 0), "corvan: request handler failed quietly: bad xml\n");
  EXPECT_EQ(QuietFailureLine("job", "", 3),
            "corvan: 3 more quiet failures were not shown\n"
            "corvan: job failed quietly: unknown exception\n");
}

}  // namespace
}  // namespace corvan
