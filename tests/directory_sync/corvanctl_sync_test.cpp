// "corvanctl directory-sync" as a program, on a data folder no server runs
// on: the dry run, the run, and the refusal without settings.
#include <gtest/gtest.h>

#include "directory_sync/corvanctl_support.h"
#include "directory_sync/slapd_support.h"
#include "storage/database.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

int Accounts(const fs::path& db, const std::string& name) {
  Database d;
  if (!d.Open(db.string(), false).IsOk()) return -1;
  DatabaseLock lock(d);
  Statement st(d, "select count(*) from authreg where username=:u");
  st.BindText(":u", name);
  return st.Step() ? static_cast<int>(st.ColumnInt64(0)) : -1;
}

TEST(CorvanctlDirectorySync, DryRunThenRunOnAStoppedServersFolder) {
  CORVAN_REQUIRE_SLAPD();
  test::Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  test::TempDir home;
  const fs::path db = home.Path() / "Corvan_Server.mdb";
  test::SeedDatabase(db, {{"LOCAL", "pw", "本地"}});

  test::CtlRun none = test::Corvanctl(home.Path(), "directory-sync");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("DirectorySync.conf"), std::string::npos) << none.err;

  test::WriteDirectorySettings(home.Path(), slapd.Url());
  test::CtlRun dry = test::Corvanctl(home.Path(), "directory-sync --dry-run");
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("新增用户 ZHANGSAN 张三"), std::string::npos) << dry.out;
  EXPECT_EQ(Accounts(db, "ZHANGSAN"), 0);

  test::CtlRun run = test::Corvanctl(home.Path(), "directory-sync");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Accounts(db, "ZHANGSAN"), 1);
  EXPECT_EQ(Accounts(db, "LOCAL"), 1);
}

}  // namespace
}  // namespace corvan
