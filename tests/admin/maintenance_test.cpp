#include "admin/maintenance.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "server/server_core.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

std::int64_t Count(const fs::path& db, const char* table) {
  Database d;
  EXPECT_TRUE(d.Open(db.string(), false).IsOk());
  DatabaseLock lock(d);
  Statement st(d, std::string("select count(*) from ") + table);
  EXPECT_TRUE(st.Step());
  return st.ColumnInt64(0);
}

// A name planted where an older copy wrote its temporary file is left alone,
// and the backup is private whatever the umask.
TEST(BackupPrivacyTest, BackupIsOwnerOnlyAndAPlantedTemporaryNameIsNotFollowed) {
  const mode_t saved = ::umask(022);
  test::TempDir dir;
  const fs::path live = dir.Path() / "Corvan_Server.mdb";
  Database db;
  ASSERT_TRUE(db.Open(live.string()).IsOk());
  {
    DatabaseLock lock(db);
    db.Exec("create table t(x); insert into t values (1);");
  }
  fs::create_directory(dir.Path() / "elsewhere");
  { std::ofstream(dir.Path() / "elsewhere" / "victim") << "keep"; }
  const fs::path target = dir.Path() / "copy.mdb";
  fs::path planted = target;
  planted += ".part-" + std::to_string(::getpid());
  fs::create_symlink(dir.Path() / "elsewhere" / "victim", planted);
  MaintenanceResult r = BackupDatabaseTo(db, live, target);
  ::umask(saved);
  EXPECT_TRUE(r.status.IsOk()) << r.status.Message();
  struct stat st {};
  ASSERT_EQ(::lstat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(fs::is_symlink(planted));
  std::ifstream in(dir.Path() / "elsewhere" / "victim");
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "keep");
}

TEST(BackupNameTest, AppendsTheEndingUnlessPresentInAnyCase) {
  EXPECT_EQ(BackupTargetName("/x/backup1"), fs::path("/x/backup1.mdb"));
  EXPECT_EQ(BackupTargetName("/x/B.MDB"), fs::path("/x/B.MDB"));
  EXPECT_EQ(BackupTargetName("/x/b.Mdb"), fs::path("/x/b.Mdb"));
  EXPECT_EQ(BackupTargetName("/x/b.mdb.bak"), fs::path("/x/b.mdb.bak.mdb"));
  EXPECT_EQ(BackupTargetName("db"), fs::path("db.mdb"));
}

class MaintenanceTest : public ::testing::Test {
 protected:
  MaintenanceTest() : server_(Seeded()) {}
  static test::TestServer::Setup Seeded() {
    test::TestServer::Setup s;
    s.users = {{"ALICE", "pw", "Alice", "001", 100}};
    s.start = true;
    return s;
  }
  ServerCore& Core() { return server_.Core(); }
  fs::path File(const char* name) { return server_.Home() / name; }
  test::TestServer server_;
};

TEST_F(MaintenanceTest, BackupAsksBeforeOverwritingAndNeverTargetsTheLiveFile) {
  MaintenanceResult first = BackupDatabase(Core().Db(), Core().DatabasePath(), File("b"), false);
  EXPECT_TRUE(first.status.IsOk());
  EXPECT_EQ(first.status.Message(), "备份数据成功");
  EXPECT_EQ(Count(File("b.mdb"), "authreg"), 1);

  std::ofstream(File("keep.mdb")) << "precious";
  MaintenanceResult ask = BackupDatabase(Core().Db(), Core().DatabasePath(), File("keep.mdb"), false);
  EXPECT_TRUE(ask.needsConfirmation);
  EXPECT_EQ(ask.status.Message(), "目标已经存在，是否继续？");
  EXPECT_EQ(fs::file_size(File("keep.mdb")), 8u);
  EXPECT_TRUE(BackupDatabase(Core().Db(), Core().DatabasePath(), File("keep.mdb"), true).status.IsOk());
  EXPECT_EQ(Count(File("keep.mdb"), "authreg"), 1);

  // Backing up onto the live file would replace it under the open connection.
  MaintenanceResult self = BackupDatabase(Core().Db(), Core().DatabasePath(), Core().DatabasePath(), true);
  EXPECT_FALSE(self.status.IsOk());
  EXPECT_EQ(self.status.Message(), "备份数据失败");
  EXPECT_EQ(Count(Core().DatabasePath(), "authreg"), 1);
  // A folder as target fails without leaving a part file.
  fs::create_directory(File("dir.mdb"));
  EXPECT_EQ(BackupDatabase(Core().Db(), Core().DatabasePath(), File("dir.mdb"), true).status.Message(), "备份数据失败");
}

// A failure says what the system refused after its message, in the console
// and in corvanctl alike.
TEST_F(MaintenanceTest, FailedBackupCarriesTheSystemsReason) {
  MaintenanceResult missing = BackupDatabase(Core().Db(), Core().DatabasePath(), File("no-such-folder/b"), true);
  EXPECT_FALSE(missing.status.IsOk());
  EXPECT_EQ(missing.status.Message(), "备份数据失败");
  EXPECT_NE(missing.reason.find(File("no-such-folder").string()), std::string::npos) << missing.reason;
  EXPECT_NE(missing.reason.find("No such file or directory"), std::string::npos) << missing.reason;
  EXPECT_EQ(missing.Shown(), "备份数据失败：" + File("no-such-folder").string() + ": No such file or directory");

  fs::create_directory(File("dir.mdb"));
  EXPECT_NE(BackupDatabase(Core().Db(), Core().DatabasePath(), File("dir.mdb"), true).reason.find("Is a directory"),
            std::string::npos);
  EXPECT_FALSE(BackupDatabase(Core().Db(), Core().DatabasePath(), Core().DatabasePath(), true).reason.empty());

  MaintenanceResult done = BackupDatabase(Core().Db(), Core().DatabasePath(), File("b"), true);
  EXPECT_TRUE(done.status.IsOk());
  EXPECT_TRUE(done.reason.empty());
}

TEST_F(MaintenanceTest, RestoreRefusedWhileRunning) {
  ASSERT_TRUE(BackupDatabase(Core().Db(), Core().DatabasePath(), File("b"), false).status.IsOk());
  MaintenanceResult r = RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("b.mdb"), true);
  EXPECT_FALSE(r.status.IsOk());
  EXPECT_EQ(r.status.Message(), "请先停止服务器");
}

TEST_F(MaintenanceTest, RestoreChecksTheFileAndLeavesTheLiveDatabaseOnFailure) {
  Core().Lifecycle().StopServer();
  MaintenanceResult missing =
      RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("missing.mdb"), true);
  EXPECT_EQ(missing.status.Message(), "");  // the console ends without a word
  EXPECT_EQ(missing.reason, File("missing.mdb").string() + ": No such file or directory");
  std::ofstream(File("junk.mdb")) << "not a database at all";
  EXPECT_EQ(RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("junk.mdb"), true).Shown(),
            "恢复数据失败：" + File("junk.mdb").string() + ": file is not a database");
  {
    Database other;  // an SQLite file without the directory tables
    ASSERT_TRUE(other.Open(File("other.mdb").string()).IsOk());
    DatabaseLock lock(other);
    other.Exec("create table t(x)");
  }
  EXPECT_EQ(RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("other.mdb"), true).Shown(),
            "恢复数据失败：" + File("other.mdb").string() + ": 缺少表 authreg");
  EXPECT_TRUE(Core().Dir().Get()->UserExists("ALICE"));
  EXPECT_EQ(Count(Core().DatabasePath(), "authreg"), 1);
  MaintenanceResult ask =
      RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("other.mdb"), false);
  EXPECT_TRUE(ask.needsConfirmation);
  EXPECT_EQ(ask.status.Message(), "是否确定恢复数据？");
}

TEST_F(MaintenanceTest, RestoreOfAnOlderFileUpgradesItAndReloadsTheDirectory) {
  Core().Lifecycle().StopServer();
  {
    // An old layout: the directory tables only, organize without orgID.
    Database old;
    ASSERT_TRUE(old.Open(File("old.mdb").string()).IsOk());
    DatabaseLock lock(old);
    old.Exec(
        "create table authreg(username text, pwd text, nickname text, organizeNo text);"
        "create table vcard(username text, organizeNo text, nickname text, url text, tel text, email text,"
        " title text, bday text, n_given text, n_family text, adr_street text, adr_country text,"
        " org_orgname text, org_orgunit text, work_tel text, work_fax text, mobilephone text, work_adr text,"
        " sex text, self_desc text);"
        "create table organize(organizeNo text, organizename text, parNo text);"
        "insert into organize values('Root','旧公司','');"
        "insert into organize values('Root001','旧部门','Root');"
        "insert into authreg values('OLDIE','1','Old','Root001');"
        "insert into vcard(username,organizeNo,nickname) values('OLDIE','Root001','Old');");
  }
  MaintenanceResult r = RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("old.mdb"), true);
  EXPECT_TRUE(r.status.IsOk()) << r.status.Message();
  EXPECT_EQ(r.status.Message(), "恢复数据成功");
  auto dir = Core().Dir().Get();
  EXPECT_EQ(dir->CompanyName(), "旧公司");
  EXPECT_TRUE(dir->UserExists("OLDIE"));
  EXPECT_FALSE(dir->UserExists("ALICE"));
  DatabaseLock lock(Core().Db());
  EXPECT_TRUE(Core().Db().TableExists("OfflineInfo"));
  EXPECT_TRUE(Core().Db().TableExists("OfflineFiles"));
  auto cols = Core().Db().ColumnNames("select * from organize");
  EXPECT_NE(std::find(cols.begin(), cols.end(), "orgID"), cols.end());
  Statement st(Core().Db(), "select count(*) from sqlite_master where type='index' and name like 'Offline%_ToUser'");
  ASSERT_TRUE(st.Step());
  EXPECT_EQ(st.ColumnInt64(0), 2);
}

// A backup carries the offline indexes along; restoring it (indexes already
// there) works as before.
TEST_F(MaintenanceTest, BackupWithTheOfflineIndexesRestores) {
  MaintenanceResult b = BackupDatabase(Core().Db(), Core().DatabasePath(), File("copy"), false);
  ASSERT_TRUE(b.status.IsOk()) << b.status.Message();
  Core().Lifecycle().StopServer();
  MaintenanceResult r = RestoreDatabase(Core().Lifecycle(), Core().Db(), Core().DatabasePath(), File("copy.mdb"), true);
  EXPECT_TRUE(r.status.IsOk()) << r.status.Message();
  EXPECT_TRUE(Core().Dir().Get()->UserExists("ALICE"));
  DatabaseLock lock(Core().Db());
  Statement st(Core().Db(), "select count(*) from sqlite_master where type='index' and name like 'Offline%_ToUser'");
  ASSERT_TRUE(st.Step());
  EXPECT_EQ(st.ColumnInt64(0), 2);
}

}  // namespace
}  // namespace corvan
