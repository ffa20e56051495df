// The web console's record of directory syncs, and which request bodies it
// refuses before reading them.
#include <gtest/gtest.h>

#include <string>

#include "web/http_policy.h"
#include "web/sync_runs.h"

namespace corvan {
namespace {

TEST(SyncRuns, OneRunAtATimeAndItsReportKept) {
  SyncRuns runs;
  EXPECT_FALSE(runs.Current().running);
  std::optional<std::uint64_t> first = runs.Begin("admin1", true, false, 100);
  ASSERT_TRUE(first);
  EXPECT_FALSE(runs.Begin("admin2", false, false, 101)) << "a second run waits until the first has ended";
  runs.Progress(3, 7);
  SyncProgress p = runs.Current();
  EXPECT_TRUE(p.running);
  EXPECT_EQ(p.run, *first);
  EXPECT_TRUE(p.dryRun);
  EXPECT_EQ(p.actor, "admin1");
  EXPECT_EQ(p.done, 3);
  EXPECT_EQ(p.total, 7);

  runs.Finish(true, "计划 2 项变更", {"新增部门 研发部", "新增用户 zhangsan 张三"}, 105);
  EXPECT_FALSE(runs.Current().running);
  runs.Progress(9, 9);  // a late step of an ended run changes nothing
  EXPECT_EQ(runs.Current().done, 3);
  runs.Finish(false, "again", {}, 106);  // nor does a second end
  std::vector<SyncReport> reports = runs.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].run, *first);
  EXPECT_EQ(reports[0].started, 100);
  EXPECT_EQ(reports[0].ended, 105);
  EXPECT_TRUE(reports[0].ok);
  EXPECT_TRUE(reports[0].dryRun);
  EXPECT_EQ(reports[0].summary, "计划 2 项变更");
  EXPECT_EQ(reports[0].lines.size(), 2u);

  std::optional<std::uint64_t> second = runs.Begin("admin2", false, true, 110);
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, *first + 1);
  EXPECT_EQ(runs.Current().done, 0) << "a new run starts its progress afresh";
}

TEST(SyncRuns, KeepsTheNewestReportsFirst) {
  SyncRuns runs;
  const int count = static_cast<int>(SyncRuns::kKeptReports) + 3;
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(runs.Begin("a", i % 2 == 0, i % 3 == 0, i));
    runs.Finish(i % 2 == 0, "run " + std::to_string(i + 1), {}, i);
  }
  std::vector<SyncReport> reports = runs.Reports();
  ASSERT_EQ(reports.size(), SyncRuns::kKeptReports);
  EXPECT_EQ(reports.front().summary, "run " + std::to_string(count));
  EXPECT_EQ(reports.back().run, static_cast<std::uint64_t>(count - SyncRuns::kKeptReports + 1));
  EXPECT_EQ(reports.front().removeMissing, (count - 1) % 3 == 0);
}

TEST(WebPolicy, BodiesOverTheirRoutesBoundAreRefusedUnread) {
  const std::string restoreBound = std::to_string(kMaxRestoreBytes);
  const std::string bodyBound = std::to_string(kMaxWebBodyBytes);
  struct Case {
    std::string_view path;
    std::string length;
    bool chunked;
    int expected;
  };
  const Case cases[] = {
      {"/api/commands/user-add", "", false, 0},
      {"/api/commands/user-add", "17", false, 0},
      {"/api/commands/user-add", bodyBound, false, 0},
      {"/api/commands/user-add", std::to_string(kMaxWebBodyBytes + 1), false, 413},
      {"/api/commands/user-add", restoreBound, false, 413},
      {"/api/commands/user-add", "", true, 411},
      {"/api/login", "12x", false, 413},
      {"/api/login", "-1", false, 413},
      {"/api/login", "99999999999999999999999", false, 413},
      {"/api/restore", restoreBound, false, 0},
      {"/api/restore", std::to_string(kMaxRestoreBytes + 1), false, 413},
      {"/api/restore", "", true, 0},
      {"/api/restore/", std::to_string(kMaxWebBodyBytes + 1), false, 413},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BodyRefusal(c.path, c.length, c.chunked), c.expected)
        << c.path << " Content-Length " << c.length << (c.chunked ? " chunked" : "");
}

}  // namespace
}  // namespace corvan
