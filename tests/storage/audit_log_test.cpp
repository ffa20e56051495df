#include "storage/audit_log.h"

#include <gtest/gtest.h>

#include "storage/schema.h"
#include "storage/storage_test_support.h"

namespace corvan {
namespace {

using storage_test::TempDir;

AuditRow Row(std::string time, std::string kind, std::string op, std::string target = "ZHANG") {
  return AuditRow{std::move(time), std::move(kind), "admin", "uid 1000", std::move(op), std::move(target), "", "ok"};
}

class AuditLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenDatabase(db_, (dir_ / "a.mdb").string()).IsOk());
    for (const AuditRow& r :
         {Row("2026-01-05 10:00:00", "console", "user add"), Row("2026-02-01 09:00:00", "corvanctl", "user del"),
          Row("2026-02-01 09:30:00", "sync", "directory-sync", ""),
          Row("2026-03-01 08:00:00", "web", "user add", "LI")})
      ASSERT_TRUE(AppendAudit(db_, r).IsOk());
  }
  std::vector<std::string> Targets(const AuditQuery& q) {
    Result<std::vector<AuditRow>> rows = ReadAudit(db_, q);
    EXPECT_TRUE(rows.IsOk());
    std::vector<std::string> out;
    for (const AuditRow& r : rows.Value()) out.push_back(r.operation + "/" + r.actorKind);
    return out;
  }
  TempDir dir_;
  Database db_;
};

TEST_F(AuditLogTest, FiltersBySinceActorAndOperation) {
  struct Case {
    AuditQuery query;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{}, {"user add/console", "user del/corvanctl", "directory-sync/sync", "user add/web"}},
      {{"2026-02-01", "", ""}, {"user del/corvanctl", "directory-sync/sync", "user add/web"}},
      {{"2026-02-01 09:15:00", "", ""}, {"directory-sync/sync", "user add/web"}},
      {{"", "sync", ""}, {"directory-sync/sync"}},
      {{"", "", "user add"}, {"user add/console", "user add/web"}},
      {{"2026-02-01", "web", "user add"}, {"user add/web"}},
      {{"2027-01-01", "", ""}, {}},
      {{"", "nobody", ""}, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Targets(c.query), c.expected) << c.query.since << "|" << c.query.actorKind << "|" << c.query.operation;
}

TEST_F(AuditLogTest, PurgeKeepsTheRetentionAndOpenPurges) {
  auto now = std::chrono::system_clock::now();
  Result<std::int64_t> none = PurgeAudit(db_, now, 10000);
  ASSERT_TRUE(none.IsOk());
  EXPECT_EQ(none.Value(), 0);
  Result<std::int64_t> all = PurgeAudit(db_, now, 0);
  ASSERT_TRUE(all.IsOk());
  EXPECT_EQ(all.Value(), 4);

  // A row older than the retention is gone after the next open.
  ASSERT_TRUE(AppendAudit(db_, Row("2000-01-01 00:00:00", "console", "org del")).IsOk());
  ASSERT_TRUE(AppendAudit(db_, Row("", "console", "org add")).IsOk());
  db_.Close();
  ASSERT_TRUE(OpenDatabase(db_, (dir_ / "a.mdb").string()).IsOk());
  EXPECT_EQ(Targets({}), std::vector<std::string>{"org add/console"});
}

TEST_F(AuditLogTest, BoundsLongTextsAndFillsTheTime) {
  AuditRow r = Row("", "web", "announce");
  r.detail = std::string(3 * kMaxAuditText, 'x') + "公告";
  ASSERT_TRUE(AppendAudit(db_, r).IsOk());
  Result<std::vector<AuditRow>> rows = ReadAudit(db_, {"", "", "announce"});
  ASSERT_TRUE(rows.IsOk());
  ASSERT_EQ(rows.Value().size(), 1u);
  EXPECT_EQ(rows.Value()[0].detail.size(), kMaxAuditText);
  EXPECT_EQ(rows.Value()[0].time.size(), 19u);
  EXPECT_EQ(AuditResult(false, "部门不存在：9"), "refused: 部门不存在：9");
  EXPECT_EQ(AuditResult(true, "x"), "ok");
}

TEST(AuditLogMissingTable, ReadsNothingFromAFileWithoutTheTable) {
  TempDir dir;
  Database db;
  ASSERT_TRUE(db.Open((dir / "b.mdb").string()).IsOk());
  Result<std::vector<AuditRow>> rows = ReadAudit(db, {});
  ASSERT_TRUE(rows.IsOk());
  EXPECT_TRUE(rows.Value().empty());
}

}  // namespace
}  // namespace corvan
