#include "storage/schema.h"

#include <gtest/gtest.h>

#include "storage/storage_test_support.h"

namespace corvan {
namespace {

using storage_test::TempDir;

std::vector<std::string> Tables(Database& db) {
  DatabaseLock lock(db);
  Statement st(db, "select name from sqlite_master where type='table' order by name");
  std::vector<std::string> names;
  while (st.Step()) names.push_back(st.ColumnText(0));
  return names;
}

void Exec(Database& db, std::string_view sql) {
  DatabaseLock lock(db);
  db.Exec(sql);
}

std::int64_t Count(Database& db, std::string_view sql) {
  DatabaseLock lock(db);
  Statement st(db, sql);
  st.Step();
  return st.ColumnInt64(0);
}

void AddAccount(Database& db, const std::string& name, const std::string& org, std::optional<double> userId,
                bool withVcard = true) {
  DatabaseLock lock(db);
  Statement a(db, "insert into authreg(username,pwd,nickname,organizeNo,USERID) values(:u,'pw',:n,:o,:id)");
  a.BindText(":u", name).BindText(":n", "nick-" + name).BindText(":o", org);
  if (userId) a.BindDouble(":id", *userId);
  else a.BindNull(":id");
  a.Run();
  if (withVcard) {
    Statement v(db, "insert into vcard(username,organizeNo,email,self_desc) values(:u,:o,:e,'me')");
    v.BindText(":u", name).BindText(":o", org).BindText(":e", name + "@x");
    v.Run();
  }
}

TEST(SchemaTest, CreatesEveryTableInANewFileAndNothingOnTheSecondOpen) {
  TempDir dir;
  std::string path = (dir / "Corvan_Server.mdb").string();
  const std::vector<std::string> all{"AuditLog", "OfflineFiles", "OfflineInfo", "authreg", "organize", "vcard"};
  {
    Database db;
    ASSERT_TRUE(OpenDatabase(db, path).IsOk());
    EXPECT_EQ(Tables(db), all);
    Exec(db, "insert into authreg(username) values('X')");
    EXPECT_EQ(Count(db, "select USERID from authreg"), 100);  // the column default
    Exec(db, "insert into OfflineInfo values('A','B','2024-01-02 03:04:05',x'00ff')");
  }
  Database db;
  ASSERT_TRUE(OpenDatabase(db, path).IsOk());
  EXPECT_EQ(Tables(db), all);
  EXPECT_EQ(Count(db, "select count(*) from OfflineInfo"), 1);
  EXPECT_EQ(Count(db, "select count(*) from authreg"), 1);
  // One self-contained file: no journal or WAL files left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(SchemaTest, OldFileGainsMissingTablesAndColumns) {
  TempDir dir;
  std::string path = (dir / "old.mdb").string();
  {
    Database db;
    ASSERT_TRUE(db.Open(path).IsOk());
    Exec(db,
         "create table authreg(username TEXT,pwd TEXT,nickname TEXT,organizeNo TEXT);"
         "create table vcard(username TEXT,organizeNo TEXT);"
         "create table organize(organizeNo TEXT,organizename TEXT,parNo TEXT);"
         "insert into organize values('Root','Acme','');"
         "insert into organize values('Root001','Sales','Root');");
  }
  Database db;
  ASSERT_TRUE(OpenDatabase(db, path).IsOk());
  EXPECT_TRUE(db.IsOpen());
  {
    DatabaseLock lock(db);
    EXPECT_TRUE(db.TableExists("OfflineInfo"));
    EXPECT_TRUE(db.TableExists("OfflineFiles"));
  }
  EXPECT_EQ(Count(db, "select orgID from organize where organizeNo='Root001'"), 100);
  Exec(db, "insert into authreg(username) values('X')");
  EXPECT_EQ(Count(db, "select USERID from authreg"), 100);
}

std::vector<std::string> Indexes(Database& db) {
  DatabaseLock lock(db);
  Statement st(db, "select name from sqlite_master where type='index' order by name");
  std::vector<std::string> names;
  while (st.Step()) names.push_back(st.ColumnText(0));
  return names;
}

// How SQLite would run a statement, one line per step.
std::string Plan(Database& db, const std::string& sql) {
  DatabaseLock lock(db);
  Statement st(db, "explain query plan " + sql);
  std::string plan;
  while (st.Step()) plan += st.ColumnText(3) + "\n";
  return plan;
}

// An older file with the offline tables but no indexes gets them at open,
// its rows kept, and the recipient look-ups at login and the account
// changes by name use them (whatever the column's collation, as the index
// takes the column's own).
TEST(SchemaTest, OldOfflineTablesGainRecipientIndexesThatTheLookupsUse) {
  TempDir dir;
  std::string path = (dir / "old.mdb").string();
  {
    Database db;
    ASSERT_TRUE(db.Open(path).IsOk());
    Exec(db,
         "create table authreg(username TEXT,pwd TEXT,nickname TEXT,organizeNo TEXT);"
         "create table vcard(username TEXT,organizeNo TEXT);"
         "create table organize(organizeNo TEXT,organizename TEXT,parNo TEXT);"
         "create table OfflineInfo(FromUser TEXT,ToUser TEXT,SendTime TEXT,SendContent BLOB);"
         "create table OfflineFiles(FromUser TEXT,FromNick TEXT,ToUser TEXT,FileType TEXT,FileName TEXT,"
         "FilePath TEXT,SendTime TEXT);"
         "insert into OfflineInfo values('A','bob','2024-01-02 03:04:05',x'00');");
    EXPECT_TRUE(Indexes(db).empty());
  }
  const std::vector<std::string> all{"OfflineFiles_ToUser", "OfflineInfo_ToUser", "authreg_username", "vcard_username"};
  Database db;
  ASSERT_TRUE(OpenDatabase(db, path).IsOk());
  EXPECT_EQ(Indexes(db), all);
  EXPECT_NE(Plan(db, "update authreg set pwd='x' where username='BOB'").find("authreg_username"), std::string::npos);
  EXPECT_NE(Plan(db, "update vcard set organizeNo='1' where username='BOB'").find("vcard_username"), std::string::npos);
  EXPECT_EQ(Count(db, "select count(*) from OfflineInfo where ToUser='bob'"), 1);
  EXPECT_NE(Plan(db, "select rowid, SendContent from OfflineInfo where ToUser = 'BOB'").find("OfflineInfo_ToUser"),
            std::string::npos);
  EXPECT_NE(Plan(db, "select rowid, FromUser from OfflineFiles where ToUser = 'BOB'").find("OfflineFiles_ToUser"),
            std::string::npos);
  db.Close();
  // Opened again: nothing doubled, nothing fails.
  Database again;
  ASSERT_TRUE(OpenDatabase(again, path).IsOk());
  EXPECT_EQ(Indexes(again), all);
}

TEST(SchemaTest, NewFileHasTheRecipientIndexesAndLookupsIgnoreCase) {
  Database db;
  ASSERT_TRUE(OpenDatabase(db, ":memory:").IsOk());
  EXPECT_EQ(Indexes(db), (std::vector<std::string>{"OfflineFiles_ToUser", "OfflineInfo_ToUser", "authreg_username",
                                                   "vcard_username"}));
  Exec(db, "insert into OfflineInfo values('A','Bob','2024-01-02 03:04:05',x'00')");
  EXPECT_EQ(Count(db, "select count(*) from OfflineInfo where ToUser='BOB'"), 1);
  EXPECT_NE(Plan(db, "select rowid from OfflineInfo where ToUser = 'BOB'").find("OfflineInfo_ToUser"),
            std::string::npos);
}

TEST(SchemaTest, OpenDatabaseFailsOnAFileThatIsNotADatabase) {
  TempDir dir;
  storage_test::WriteFile(dir / "bad.mdb", std::string(2048, '\x7f'));
  Database db;
  EXPECT_FALSE(OpenDatabase(db, (dir / "bad.mdb").string()).IsOk());
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THROW(LoadOrgs(db), DatabaseError);
}

TEST(SchemaTest, EmptyOrganizeIsSeeded) {
  Database db;
  ASSERT_TRUE(OpenDatabase(db, ":memory:").IsOk());
  LoadedOrgs loaded = LoadOrgs(db);
  EXPECT_EQ(loaded.companyName, "组织机构");
  ASSERT_EQ(loaded.orgs.size(), 1u);
  EXPECT_EQ(loaded.orgs[0]->organizeNo, "001");
  EXPECT_EQ(loaded.orgs[0]->organizename, "未分组");
  EXPECT_EQ(loaded.orgs[0]->parNo, "Root");
  EXPECT_EQ(loaded.orgs[0]->orgID, 0);

  {
    DatabaseLock lock(db);
    Statement st(db, "select organizeNo,organizename,parNo,orgID from organize order by rowid");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.ColumnText(0), "Root");
    EXPECT_EQ(st.ColumnText(1), "组织机构");
    EXPECT_EQ(st.ColumnText(2), "");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.ColumnText(0), "001");
    EXPECT_EQ(st.ColumnText(1), "未分组");
    EXPECT_EQ(st.ColumnText(2), "Root");
    EXPECT_EQ(st.ColumnInt64(3), 100);
    EXPECT_FALSE(st.Step());
  }
  // The next load reads the rows back (with the stored order 100) and seeds
  // nothing more.
  LoadedOrgs again = LoadOrgs(db);
  ASSERT_EQ(again.orgs.size(), 1u);
  EXPECT_EQ(again.orgs[0]->orgID, 100);
  EXPECT_EQ(Count(db, "select count(*) from organize"), 2);
}

TEST(SchemaTest, LoadsOrgsAndUsersWithTheLoadRules) {
  Database db;
  ASSERT_TRUE(OpenDatabase(db, ":memory:").IsOk());
  Exec(db,
       "insert into organize values('Root','First name','',1);"
       "insert into organize values('Root001','Sales','Root',20000);"
       "insert into organize values('Root','Acme','',1);"
       "insert into organize values('Root002','Dev','Root',-5);"
       "insert into organize values('Root002001','Tools','Root002',NULL);"
       "insert into organize values('Root003','Ops','Root',42);");
  AddAccount(db, "alice", "Root002", 5);
  AddAccount(db, "BOB", "Root001", 20000);
  AddAccount(db, "carol", "root001", 9);        // code differs in case: no department name
  AddAccount(db, "dave", "Root003", 7, false);  // no vcard row: not loaded
  AddAccount(db, "erin", "Root002001", std::nullopt);
  AddAccount(db, "frank", "Root003", -5);

  LoadedOrgs orgs = LoadOrgs(db);
  EXPECT_EQ(orgs.companyName, "Acme");  // the last root row wins
  ASSERT_EQ(orgs.orgs.size(), 4u);
  EXPECT_EQ(orgs.orgs[0]->organizeNo, "Root001");
  EXPECT_EQ(orgs.orgs[0]->orgID, 0);
  EXPECT_EQ(orgs.orgs[1]->orgID, 0);
  EXPECT_EQ(orgs.orgs[2]->orgID, 0);  // NULL
  EXPECT_EQ(orgs.orgs[3]->orgID, 42);

  std::vector<UserPtr> users = LoadUsers(db, orgs.orgs);
  std::vector<std::string> names;
  for (const auto& u : users) names.push_back(u->username);
  // Highest stored USERID first (clamping happens after ordering), NULL last.
  EXPECT_EQ(names, (std::vector<std::string>{"BOB", "CAROL", "ALICE", "FRANK", "ERIN"}));
  EXPECT_EQ(users[0]->USERID, 0);
  EXPECT_EQ(users[0]->organizename, "Sales");
  EXPECT_EQ(users[1]->organizename, "");
  EXPECT_EQ(users[2]->USERID, 5);
  EXPECT_EQ(users[2]->organizename, "Dev");
  EXPECT_EQ(users[2]->nickname, "nick-alice");
  EXPECT_EQ(users[2]->email, "alice@x");
  EXPECT_EQ(users[2]->self_desc, "me");
  EXPECT_EQ(users[2]->tel, "");  // NULL text
  EXPECT_EQ(users[3]->USERID, 0);
  EXPECT_EQ(users[4]->USERID, 0);

  Directory directory;
  LoadDirectory(db, directory);
  auto snap = directory.Get();
  EXPECT_EQ(snap->CompanyName(), "Acme");
  EXPECT_TRUE(snap->UserExists("ALICE"));
  EXPECT_FALSE(snap->UserExists("alice"));
  EXPECT_FALSE(snap->UserExists("DAVE"));
  EXPECT_EQ(snap->Users().size(), 5u);
}

TEST(SchemaTest, StatementsBindingUpperCaseNamesReachRowsStoredInLowerCase) {
  Database db;
  ASSERT_TRUE(OpenDatabase(db, ":memory:").IsOk());
  AddAccount(db, "alice", "001", 1);
  DatabaseLock lock(db);
  Statement up(db, "update authreg set pwd=:pwd_temp where username=:username_temp");
  up.BindText(":pwd_temp", "new").BindText(":username_temp", "ALICE");
  up.Run();
  EXPECT_EQ(up.Changes(), 1);
  Statement del(db, "delete from vcard where username=:username_temp");
  del.BindText(":username_temp", "ALICE");
  del.Run();
  EXPECT_EQ(del.Changes(), 1);
}

TEST(SchemaTest, EntryMakersClampAndLookUpDepartmentNames) {
  std::vector<OrgPtr> orgs;
  AddOrg(orgs, "Sales", "Root001", "Root", 10000);
  AddOrg(orgs, "Sales again", "Root001", "Root", 10001);
  EXPECT_EQ(orgs[0]->orgID, 10000);
  EXPECT_EQ(orgs[1]->orgID, 0);

  std::vector<UserPtr> users;
  TUserInfo info;
  info.username = "mixed.Case_中";
  info.organizeNo = "Root001";
  info.organizename = "stale";
  info.USERID = -1;
  UserPtr u = AddUser(users, info, orgs);
  EXPECT_EQ(u->username, "MIXED.CASE_中");
  EXPECT_EQ(u->organizename, "Sales");  // the first match
  EXPECT_EQ(u->USERID, 0);
  info.organizeNo = "Root009";
  EXPECT_EQ(MakeUser(info, orgs)->organizename, "");
  EXPECT_EQ(users.size(), 1u);
}

}  // namespace
}  // namespace corvan
