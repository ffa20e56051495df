#include "base/failure_backoff.h"

#include <gtest/gtest.h>

namespace corvan {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

FailureBackoff::Policy Policy() {
  FailureBackoff::Policy p;
  p.freeFailures = 3;
  p.firstWait = seconds(1);
  p.maxWait = seconds(5);
  p.forgetAfter = seconds(60);
  p.maxKeys = 3;
  return p;
}

TEST(FailureBackoff, WaitsOnceTheFreeFailuresAreSpentAndDoublesUpToTheCeiling) {
  FailureBackoff t(Policy());
  const auto t0 = FailureBackoff::Clock::time_point() + seconds(1000);
  // After the failure numbered `n`, the wait that follows it.
  const std::pair<int, milliseconds> table[] = {{1, milliseconds(0)}, {2, milliseconds(0)}, {3, seconds(1)},
                                                {4, seconds(2)},      {5, seconds(4)},      {6, seconds(5)},
                                                {9, seconds(5)}};
  int failures = 0;
  for (const auto& [n, wait] : table) {
    while (failures < n) t.Failed("alice", t0), ++failures;
    EXPECT_EQ(t.Wait("alice", t0), wait) << "after failure " << n;
  }
  EXPECT_EQ(t.Wait("alice", t0 + seconds(2)), seconds(3));
  EXPECT_EQ(t.Wait("alice", t0 + seconds(5)), milliseconds(0));
  EXPECT_EQ(t.Wait("bob", t0), milliseconds(0)) << "keys are apart";
}

TEST(FailureBackoff, SuccessAndQuietTimeStartAfresh) {
  FailureBackoff t(Policy());
  const auto t0 = FailureBackoff::Clock::time_point() + seconds(1000);
  for (int i = 0; i < 3; ++i) t.Failed("a", t0);
  t.Succeeded("a");
  EXPECT_EQ(t.Wait("a", t0), milliseconds(0));
  for (int i = 0; i < 3; ++i) t.Failed("a", t0);
  EXPECT_EQ(t.Wait("a", t0 + seconds(61)), milliseconds(0));
  t.Failed("a", t0 + seconds(61));  // counted from one again
  EXPECT_EQ(t.Wait("a", t0 + seconds(61)), milliseconds(0));
}

TEST(FailureBackoff, HoldsNoMoreKeysThanItsBound) {
  FailureBackoff t(Policy());
  const auto t0 = FailureBackoff::Clock::time_point() + seconds(1000);
  for (int i = 0; i < 100; ++i) t.Failed("k" + std::to_string(i), t0 + milliseconds(i));
  EXPECT_EQ(t.KeyCount(), 3u);
}

}  // namespace
}  // namespace corvan
