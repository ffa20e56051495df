// "corvanctl directory-sync" as a program, on a data folder no server runs
// on: the dry run, the run, and the refusal without settings; and the audit
// log it writes beside the other front ends' rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "admin/admin_codec.h"
#include "admin/operations.h"
#include "directory_sync/corvanctl_support.h"
#include "directory_sync/slapd_support.h"
#include "server/server_core.h"
#include "storage/database.h"
#include "support/test_server.h"

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

namespace corvan {
namespace {

// A console edit (the console runs the operations with its own actor in the
// server's process), a corvanctl edit and a sync, listed by "corvanctl
// audit" each with its actor.
TEST(CorvanctlAudit, ListsConsoleCorvanctlAndSyncEditsWithTheirActors) {
  CORVAN_REQUIRE_SLAPD();
  test::Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  test::TempDir home;
  test::SeedDatabase(home.Path() / "Corvan_Server.mdb", {{"LOCAL", "pw", "本地"}});
  {
    CoreOptions options;
    options.home = home.Path();
    options.ioThreads = options.requestThreads = options.jobThreads = 1;
    ServerCore core(options);
    ASSERT_TRUE(core.Lifecycle().OpenDatabase().IsOk());
    ASSERT_TRUE(core.Lifecycle().LoadDirectory());
    OpsContext ops = MakeOpsContext(core, false);
    ASSERT_TRUE(AddDepartment(ops, Actor::Console(), "Root", "控制台部门", "100").IsOk());
  }
  const fs::path csv = home.Path() / "new.csv";
  std::ofstream(csv) << "username,pwd,nickname,organizeNo\nNEWBIE,pw,新人,Root001\n";
  test::CtlRun edit = test::Corvanctl(home.Path(), "user import " + csv.string());
  ASSERT_EQ(edit.status, 0) << edit.err;
  ASSERT_EQ(test::Corvanctl(home.Path(), "config set AllowReg False").status, 0);
  test::WriteDirectorySettings(home.Path(), slapd.Url());
  ASSERT_EQ(test::Corvanctl(home.Path(), "directory-sync").status, 0);

  test::CtlRun all = test::Corvanctl(home.Path(), "audit");
  ASSERT_EQ(all.status, 0) << all.err;
  const std::string uid = "uid " + std::to_string(::getuid());
  for (const std::string& expected :
       {std::string("\tconsole\tconsole\t\torg add\tRoot001\t"),
        "\tcorvanctl\t" + Actor::Corvanctl(::getuid()).name + "\t" + uid + "\tuser import\t",
        "\t" + uid + "\tconfig set\tConfigure.xml\t",
        std::string("\tsync\tsync\trequested\tdirectory-sync\t\t目录同步完成：")})
    EXPECT_NE(all.out.find(expected), std::string::npos) << expected << "\n" << all.out;

  test::CtlRun sync = test::Corvanctl(home.Path(), "--json audit --actor sync");
  EXPECT_EQ(sync.status, 0) << sync.err;
  EXPECT_EQ(ReadJson(sync.out).value_or(JsonValue())["data"]["rows"].AsArray().size(), 1u) << sync.out;
  test::CtlRun bad = test::Corvanctl(home.Path(), "audit --actor robot");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("用法：corvanctl audit"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace corvan
