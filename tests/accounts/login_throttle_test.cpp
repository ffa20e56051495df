// The failed-login throttle as a pure component: scripts of attempts at
// chosen times, and the verdict each one gets.
#include "accounts/login_throttle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvan {
namespace {

using Outcome = LoginOutcome;

// One step of a script: at `at` seconds, `op` is 'B' (begin an attempt,
// expecting `refused` and, when refused, `remaining` seconds), or 'W', 'R',
// 'U' (end the attempt begun last of that account wrong, right, unjudged).
struct Step {
  int at;
  char op;
  const char* account;
  const char* address;
  bool refused = false;
  int remaining = 0;
};

struct Script {
  const char* name;
  std::vector<Step> steps;
};

constexpr int kMin = 60;

const Script kScripts[] = {
    {"two failures pass, then 1, 8 and 60 minutes",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {1, 'B', "A", "10.0.0.1"},
      {1, 'W', "A", "10.0.0.1"},
      {2, 'B', "A", "10.0.0.1", true, 59},
      {60, 'B', "A", "10.0.0.1", true, 1},
      {61, 'B', "A", "10.0.0.2"},
      {61, 'W', "A", "10.0.0.2"},
      {61 + 8 * kMin - 1, 'B', "A", "10.0.0.3", true, 1},
      {61 + 8 * kMin, 'B', "A", "10.0.0.3"},
      {61 + 8 * kMin, 'W', "A", "10.0.0.3"},
      {61 + 8 * kMin + 1, 'B', "A", "10.0.0.3", true, 60 * kMin - 1},
      {61 + 68 * kMin, 'B', "A", "10.0.0.3"},
      {61 + 68 * kMin, 'W', "A", "10.0.0.3"},
      {61 + 68 * kMin, 'B', "A", "10.0.0.3", true, 60 * kMin}}},
    {"a right password after the delay logs in and clears the count",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {60, 'B', "A", "10.0.0.1"},
      {60, 'R', "A", "10.0.0.1"},
      {61, 'B', "A", "10.0.0.1"},
      {61, 'W', "A", "10.0.0.1"},
      {62, 'B', "A", "10.0.0.1"}}},
    {"attempts in flight count: no more at once than failures are left",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.2"},
      {0, 'B', "A", "10.0.0.3", true, 0},
      {0, 'U', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.3"}}},
    {"unjudged attempts are not failures",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'U', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1"},
      {0, 'U', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1"},
      {0, 'U', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1"}}},
    {"failures are forgotten 15 quiet minutes after the last delay",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {15 * kMin, 'B', "A", "10.0.0.1"},
      {15 * kMin, 'W', "A", "10.0.0.1"},
      {15 * kMin, 'B', "A", "10.0.0.1"}}},
    {"one account's delay leaves the others alone",
     {{0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1"},
      {0, 'W', "A", "10.0.0.1"},
      {0, 'B', "A", "10.0.0.1", true, 60},
      {0, 'B', "B", "10.0.0.1"},
      {0, 'R', "B", "10.0.0.1"}}},
};

class ThrottleScript : public ::testing::TestWithParam<Script> {};

TEST_P(ThrottleScript, GivesEachAttemptItsVerdict) {
  LoginThrottle throttle;
  const LoginThrottle::Time t0{};
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const Step& s = GetParam().steps[i];
    const auto now = t0 + std::chrono::seconds(s.at);
    if (s.op == 'B') {
      LoginThrottle::Verdict v = throttle.Begin(s.account, s.address, now);
      EXPECT_EQ(v.refused, s.refused) << "step " << i;
      if (s.refused) {
        EXPECT_EQ(v.remaining.count(), s.remaining) << "step " << i;
      }
      continue;
    }
    const Outcome outcome = s.op == 'W' ? Outcome::kWrong : s.op == 'R' ? Outcome::kRight : Outcome::kUnjudged;
    throttle.End(s.account, s.address, outcome, now);
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ThrottleScript, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return "Script" + std::to_string(info.index); });

// Password spraying: one address, one guess per account.
TEST(LoginThrottle, AnAddressIsStoppedAfterTwentyFailuresOnAnyAccounts) {
  LoginThrottle throttle;
  const LoginThrottle::Time t0{};
  for (int i = 0; i < 20; ++i) {
    const std::string account = "U" + std::to_string(i);
    ASSERT_FALSE(throttle.Begin(account, "10.0.0.9", t0).refused) << i;
    throttle.End(account, "10.0.0.9", Outcome::kWrong, t0);
  }
  LoginThrottle::Verdict v = throttle.Begin("FRESH", "10.0.0.9", t0);
  EXPECT_TRUE(v.refused);
  EXPECT_EQ(v.key, LoginThrottle::Key::kAddress);
  EXPECT_EQ(v.remaining, std::chrono::minutes(1));
  // The same account from another machine is not held up.
  EXPECT_FALSE(throttle.Begin("FRESH", "10.0.0.8", t0).refused);
  // A refusal by the address did not count against the account.
  throttle.End("FRESH", "10.0.0.8", Outcome::kRight, t0);
  EXPECT_FALSE(throttle.Begin("FRESH", "10.0.0.8", t0).refused);
}

TEST(LoginThrottle, OneLogLinePerBurst) {
  LoginThrottle throttle;
  const LoginThrottle::Time t0{};
  for (int i = 0; i < 2; ++i) {
    throttle.Begin("A", "10.0.0.1", t0);
    throttle.End("A", "10.0.0.1", Outcome::kWrong, t0);
  }
  std::vector<bool> first;
  for (int i = 0; i < 5; ++i) first.push_back(throttle.Begin("A", "10.0.0.1", t0).firstOfBurst);
  EXPECT_EQ(first, (std::vector<bool>{true, false, false, false, false}));
  // The next failure after the delay starts a new burst.
  const auto later = t0 + std::chrono::minutes(1);
  ASSERT_FALSE(throttle.Begin("A", "10.0.0.1", later).refused);
  throttle.End("A", "10.0.0.1", Outcome::kWrong, later);
  EXPECT_TRUE(throttle.Begin("A", "10.0.0.1", later).firstOfBurst);
  EXPECT_FALSE(throttle.Begin("A", "10.0.0.1", later).firstOfBurst);
}

TEST(LoginThrottle, KeysStayBoundedUnderAFlood) {
  LoginThrottle throttle(LoginThrottle::kAccountPolicy, LoginThrottle::kAddressPolicy, 64);
  const LoginThrottle::Time t0{};
  for (int i = 0; i < 10000; ++i) {
    const std::string account = "U" + std::to_string(i);
    const std::string address = "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1";
    if (!throttle.Begin(account, address, t0).refused) throttle.End(account, address, Outcome::kWrong, t0);
    ASSERT_LE(throttle.Keys(), 128u) << i;
  }
  // Right passwords and unjudged attempts leave nothing behind.
  LoginThrottle quiet;
  for (int i = 0; i < 1000; ++i) {
    const std::string account = "U" + std::to_string(i);
    quiet.Begin(account, "10.0.0.1", t0);
    quiet.End(account, "10.0.0.1", i % 2 ? Outcome::kRight : Outcome::kUnjudged, t0);
  }
  EXPECT_EQ(quiet.Keys(), 0u);
}

}  // namespace
}  // namespace corvan
