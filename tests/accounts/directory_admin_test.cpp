#include "accounts/directory_admin.h"

#include <gtest/gtest.h>

#include "storage/schema.h"

namespace corvan {
namespace {

// A fresh in-memory database with the directory tables, and its directory.
class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenDatabase(db, ":memory:").IsOk()); }

  void Exec(std::string_view sql) {
    DatabaseLock lock(db);
    db.Exec(sql);
  }
  std::int64_t Count(std::string_view sql) {
    DatabaseLock lock(db);
    Statement st(db, sql);
    st.Step();
    return st.ColumnInt64(0);
  }
  std::string Text(std::string_view sql) {
    DatabaseLock lock(db);
    Statement st(db, sql);
    return st.Step() ? st.ColumnText(0) : std::string("<none>");
  }
  void Load() { LoadDirectory(db, dir); }
  DirectorySnapshot::UserPtr User(std::string_view name) {
    for (const auto& u : dir.Get()->Users())
      if (u->username == name) return u;
    return nullptr;
  }
  std::vector<std::string> UserNames() {
    std::vector<std::string> names;
    for (const auto& u : dir.Get()->Users()) names.push_back(u->username);
    return names;
  }
  static UserForm Form(std::string name, std::string org = "Root001", std::string orgShown = "A") {
    UserForm f;
    f.username = std::move(name);
    f.pwd = "pw";
    f.nickname = "Nick";
    f.organizeNo = std::move(org);
    f.orgShown = std::move(orgShown);
    f.userId = "100";
    return f;
  }
  // Root "Acme"; A (Root001) with child B (Root001001); C (Root002); the
  // seeded "001".
  void SeedOrgs() {
    Exec(
        "insert into organize values('Root','Acme','',0);"
        "insert into organize values('001','未分组','Root',100);"
        "insert into organize values('Root001','A','Root',1);"
        "insert into organize values('Root001001','B','Root001',1);"
        "insert into organize values('Root002','C','Root',2)");
    Load();
  }
  void AddUser(const std::string& name, const std::string& org) {
    ASSERT_TRUE(SaveNewUser(dir, db, Form(name, org)).IsOk());
  }

  Database db;
  Directory dir;
};

TEST(NextOrgNoTest, TakesTheLowestFreeCodeSkippingThoseEndingInZero) {
  std::vector<AdminOrgPtr> orgs;
  EXPECT_EQ(NextOrgNo(orgs, "Root"), "Root001");
  for (int i = 1; i <= 9; ++i) AddOrg(orgs, "x", "Root00" + std::to_string(i), "Root", 0);
  EXPECT_EQ(NextOrgNo(orgs, "Root"), "Root011");
  EXPECT_EQ(NextOrgNo(orgs, "Root001"), "Root001001");
  orgs.erase(orgs.begin() + 2);  // Root003 deleted: reused first
  EXPECT_EQ(NextOrgNo(orgs, "Root"), "Root003");
}

TEST(NextOrgNoTest, NoCodeWhenAllNineHundredAreTaken) {
  std::vector<AdminOrgPtr> orgs;
  for (int n = 0; n < 1000; ++n)
    if (n % 10 != 0) {
      char code[8];
      std::snprintf(code, sizeof code, "%03d", n);
      AddOrg(orgs, "x", std::string("P") + code, "P", 0);
    }
  ASSERT_EQ(orgs.size(), 900u);
  EXPECT_EQ(NextOrgNo(orgs, "P"), std::nullopt);
  EXPECT_EQ(NextOrgNo(orgs, "Q"), "Q001");
}

DirectorySnapshot Snapshot(std::vector<AdminOrgPtr> orgs, std::vector<AdminUserPtr> users = {}) {
  return DirectorySnapshot("Acme", std::move(orgs), std::move(users));
}

std::vector<std::string> Captions(const OrgTree& tree) {
  std::vector<std::string> out;
  for (int n : tree.TreeOrder()) {
    std::string indent;
    for (int p = tree.At(n).parent; p >= 0; p = tree.At(p).parent) indent += "  ";
    out.push_back(indent + tree.At(n).record->organizename);
  }
  return out;
}

TEST(OrgTreeTest, PlacesChildrenUnderParentsWhateverTheirOrderAndSortsSiblingsByDisplayOrder) {
  std::vector<AdminOrgPtr> orgs;
  AddOrg(orgs, "B", "Root001001", "Root001", 100);  // child before its parent
  AddOrg(orgs, "Zed", "Root002", "Root", 5);
  AddOrg(orgs, "A", "Root001", "Root", 100);
  AddOrg(orgs, "Alpha", "Root003", "Root", 100);     // ties keep directory order
  AddOrg(orgs, "Lost", "Root009001", "Root009", 0);  // parent unknown: under the root
  AddOrg(orgs, "Self", "Root004", "Root004", 7);     // own parent: under the root
  OrgTree tree(Snapshot(orgs));
  EXPECT_EQ(Captions(tree), (std::vector<std::string>{"Acme", "  Lost", "  Zed", "  Self", "  A", "    B", "  Alpha"}));
  EXPECT_EQ(tree.At(OrgTree::kRoot).record->organizeNo, "Root");
  EXPECT_EQ(tree.At(OrgTree::kRoot).record->orgID, 0);
  EXPECT_EQ(tree.PathOf("Root001001"), "A\\B");
  EXPECT_EQ(tree.PathOf("Root"), "");
  EXPECT_EQ(tree.PathOf("nowhere"), "");
  std::vector<OrgChoice> choices = OrgChoices(tree);
  ASSERT_EQ(choices.size(), 6u);
  EXPECT_EQ(choices[3].path, "A");
  EXPECT_EQ(choices[4].path, "A\\B");
  EXPECT_EQ(choices[4].code, "Root001001");
}

TEST(OrgTreeTest, ParentCycleDoesNotLoseDepartments) {
  std::vector<AdminOrgPtr> orgs;
  AddOrg(orgs, "X", "Root001", "Root002", 0);
  AddOrg(orgs, "Y", "Root002", "Root001", 0);
  OrgTree tree(Snapshot(orgs));
  EXPECT_EQ(tree.Nodes().size(), 3u);
  EXPECT_GE(tree.Find("Root001"), 1);
  EXPECT_GE(tree.Find("Root002"), 1);
}

TEST(UsersUnderTest, ListsByCodePrefixSoTheRootSkipsTheSeededDepartment) {
  std::vector<AdminOrgPtr> orgs;
  std::vector<AdminUserPtr> users;
  TUserInfo u;
  for (auto [name, org] : {std::pair{"A1", "Root001"}, {"SEED", "001"}, {"B1", "Root001001"}, {"C1", "Root002"}}) {
    u.username = name;
    u.organizeNo = org;
    corvan::AddUser(users, u, orgs);
  }
  DirectorySnapshot snap = Snapshot(orgs, users);
  auto names = [&](std::string_view code) {
    std::vector<std::string> out;
    for (const auto& x : UsersUnder(snap, code)) out.push_back(x->username);
    return out;
  };
  EXPECT_EQ(names("Root"), (std::vector<std::string>{"A1", "B1", "C1"}));
  EXPECT_EQ(names("Root001"), (std::vector<std::string>{"A1", "B1"}));
  EXPECT_EQ(names("Root001001"), (std::vector<std::string>{"B1"}));
  EXPECT_EQ(names("001"), (std::vector<std::string>{"SEED"}));
}

TEST_F(AdminTest, UserChecksRunInOrderWithTheirMessages) {
  SeedOrgs();
  AddUser("bob", "Root001");
  auto users = dir.Get()->Users();
  UserForm f = Form("  ", "Root001");
  f.userId = "x";
  EXPECT_EQ(CheckUserForm(users, f).Message(), kRequiredFieldsMessage);
  f = Form("carol");
  f.orgShown.clear();
  EXPECT_EQ(CheckUserForm(users, f).Message(), kRequiredFieldsMessage);
  f = Form(" Bob ");
  for (const char* bad : {"10001", "-1", "abc", ""}) {
    f.userId = bad;
    Status r = CheckUserForm(users, f);
    EXPECT_EQ(r.Message(), kOrderNumberMessage) << bad;
    EXPECT_EQ(MessageCaption(r), kInfoCaption);
  }
  f.userId = "0";
  EXPECT_EQ(CheckUserForm(users, f).Message(), kNameExistsMessage);
  f.userId = " 10000 ";
  EXPECT_TRUE(CheckUserForm(users, f, std::string("BOB")).IsOk());  // editing BOB, name unchanged
  AddUser("alice", "Root001");
  users = dir.Get()->Users();
  f.username = "Alice";
  EXPECT_EQ(CheckUserForm(users, f, std::string("BOB")).Message(), kNameExistsMessage);
}

TEST_F(AdminTest, NewAccountIsStoredUpperCasedInMemoryAndBothTables) {
  SeedOrgs();
  UserForm f = Form("  bob ", "Root001001", "A\\B");
  f.self_desc = "line1\nline2 ";
  f.email = " b@x ";
  TUserInfo saved;
  ASSERT_TRUE(SaveNewUser(dir, db, f, &saved).IsOk());
  EXPECT_EQ(saved.username, "BOB");
  auto bob = User("BOB");
  ASSERT_TRUE(bob);
  EXPECT_EQ(bob->organizename, "B");
  EXPECT_EQ(bob->email, "b@x");
  EXPECT_EQ(bob->self_desc, "line1\nline2 ");
  EXPECT_EQ(bob->USERID, 100);
  EXPECT_EQ(Count("select count(*) from authreg where username='BOB' and organizeNo='Root001001' and USERID=100"), 1);
  EXPECT_EQ(Count("select count(*) from vcard where username='BOB' and email='b@x'"), 1);
  EXPECT_EQ(SaveNewUser(dir, db, Form("Bob")).Message(), kNameExistsMessage);
  EXPECT_EQ(Count("select count(*) from authreg"), 1);
}

// Every console writer stores the carriable form of what it is given, in
// memory and in the tables alike.
TEST_F(AdminTest, WritersStoreOnlyWhatTheWireCarries) {
  SeedOrgs();
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "长";
  UserForm f = Form("v\x0Btab");
  f.nickname = "甲\x0B乙😀";
  f.self_desc = wide;
  TUserInfo saved;
  ASSERT_TRUE(SaveNewUser(dir, db, f, &saved).IsOk());
  EXPECT_EQ(saved.username, "VTAB");
  auto user = User("VTAB");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->nickname, "甲乙?");
  EXPECT_EQ(user->self_desc, wide.substr(0, 255 * 3));
  EXPECT_EQ(Text("select nickname from authreg where username='VTAB'"), "甲乙?");
  EXPECT_EQ(Text("select self_desc from vcard where username='VTAB'"), wide.substr(0, 255 * 3));
  // A name that differs only in what cannot be stored is the same name.
  EXPECT_EQ(SaveNewUser(dir, db, Form("vtab\x01")).Message(), kNameExistsMessage);

  f.nickname = "丙\x1F丁";
  ASSERT_TRUE(SaveUser(dir, db, f, "VTAB").IsOk());
  EXPECT_EQ(User("VTAB")->nickname, "丙丁");
  EXPECT_EQ(Text("select nickname from vcard where username='VTAB'"), "丙丁");

  Result<std::string> code = NewOrg(dir, db, "Root", "部\x01门😀", "1");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(dir.Get()->OrgName(code.Value()), "部门?");
  EXPECT_EQ(Text("select organizename from organize where organizeNo='" + code.Value() + "'"), "部门?");
  ASSERT_TRUE(RenameOrg(dir, db, "Root", "公司\x0B😀", "0").IsOk());
  EXPECT_EQ(dir.Get()->CompanyName(), "公司?");
  EXPECT_EQ(Text("select organizename from organize where organizeNo='Root'"), "公司?");
}

TEST_F(AdminTest, ChangedAccountKeepsItsPlaceAndRenamesBothRows) {
  SeedOrgs();
  AddUser("ann", "Root001");
  AddUser("bob", "Root001");
  AddUser("cid", "Root002");
  UserForm f = Form("robert", "Root002", "C");
  f.userId = "7";
  ASSERT_TRUE(SaveUser(dir, db, f, "BOB").IsOk());
  EXPECT_EQ(UserNames(), (std::vector<std::string>{"ANN", "ROBERT", "CID"}));
  EXPECT_EQ(User("ROBERT")->organizename, "C");
  EXPECT_EQ(User("ROBERT")->USERID, 7);
  EXPECT_EQ(Count("select count(*) from authreg where username='ROBERT' and organizeNo='Root002' and USERID=7"), 1);
  EXPECT_EQ(Count("select count(*) from vcard where username='ROBERT' and organizeNo='Root002'"), 1);
  EXPECT_EQ(Count("select count(*) from authreg where username='BOB'"), 0);
}

TEST_F(AdminTest, MovingAccountsUpdatesMemoryAndBothTables) {
  SeedOrgs();
  for (auto name : {"u1", "u2", "u3"}) AddUser(name, "Root001");
  ASSERT_TRUE(MoveUsers(dir, db, {"U1", "U3"}, "Root002").IsOk());
  EXPECT_EQ(User("U1")->organizeNo, "Root002");
  EXPECT_EQ(User("U1")->organizename, "C");
  EXPECT_EQ(User("U2")->organizeNo, "Root001");
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root002'"), 2);
  EXPECT_EQ(Count("select count(*) from vcard where organizeNo='Root002'"), 2);
  ASSERT_TRUE(MoveUsers(dir, db, {"U2"}, "Root").IsOk());  // the root accepts accounts
  EXPECT_EQ(User("U2")->organizename, "Acme");
}

TEST_F(AdminTest, DeletingADepartmentRemovesItsSubtreeEverywhereAndNothingElse) {
  SeedOrgs();
  AddUser("a1", "Root001");
  AddUser("b1", "Root001001");
  AddUser("c1", "Root002");
  AddUser("s1", "001");
  ASSERT_TRUE(DeleteOrg(dir, db, "Root001").IsOk());
  auto snap = dir.Get();
  ASSERT_EQ(snap->Orgs().size(), 2u);
  EXPECT_FALSE(snap->OrgExists("Root001001"));
  EXPECT_EQ(UserNames(), (std::vector<std::string>{"C1", "S1"}));
  EXPECT_EQ(Count("select count(*) from organize"), 3);  // Root, 001, Root002
  EXPECT_EQ(Count("select count(*) from authreg"), 2);
  EXPECT_EQ(Count("select count(*) from vcard"), 2);
  // The root cannot be deleted.
  Status r = DeleteOrg(dir, db, "Root");
  EXPECT_FALSE(r.IsOk());
  EXPECT_TRUE(r.Message().empty());
  EXPECT_EQ(Count("select count(*) from organize"), 3);
}

// A moved department takes a child code of its new parent, and everything
// below it is recoded with it, so that the prefix rule still finds them.
TEST_F(AdminTest, MovingADepartmentRecodesItsSubtreeEverywhere) {
  SeedOrgs();
  Exec("insert into organize values('Root001001001','D','Root001001',7)");
  Exec("create table DirectoryUnits(organizeNo TEXT COLLATE NOCASE,dn TEXT,uid TEXT)");
  Exec("insert into DirectoryUnits values('Root001001','ou=B','u-b')");
  Load();
  AddUser("a1", "Root001");
  AddUser("b1", "Root001001");
  AddUser("d1", "Root001001001");
  AddUser("c1", "Root002");

  Result<std::string> code = MoveOrg(dir, db, "Root001001", "Root002");
  ASSERT_TRUE(code.IsOk()) << code.GetStatus().Message();
  EXPECT_EQ(code.Value(), "Root002001");
  auto snap = dir.Get();
  EXPECT_FALSE(snap->OrgExists("Root001001"));
  EXPECT_EQ(snap->FindOrg("Root002001")->parNo, "Root002");
  EXPECT_EQ(snap->FindOrg("Root002001")->organizename, "B");
  EXPECT_EQ(snap->FindOrg("Root002001001")->parNo, "Root002001");
  EXPECT_EQ(snap->FindOrg("Root002001001")->orgID, 7);
  EXPECT_EQ(User("A1")->organizeNo, "Root001");
  EXPECT_EQ(User("B1")->organizeNo, "Root002001");
  EXPECT_EQ(User("D1")->organizeNo, "Root002001001");
  EXPECT_EQ(User("B1")->organizename, "B");
  for (std::string_view table : {"authreg", "vcard"}) {
    EXPECT_EQ(Count("select count(*) from " + std::string(table) + " where organizeNo like 'Root002%'"), 3) << table;
    EXPECT_EQ(Count("select count(*) from " + std::string(table) + " where organizeNo like 'Root001%'"), 1) << table;
  }
  EXPECT_EQ(Text("select organizeNo||'/'||parNo from organize where organizename='D'"), "Root002001001/Root002001");
  EXPECT_EQ(Text("select organizeNo from DirectoryUnits where uid='u-b'"), "Root002001");
  // What was stored loads the same tree again.
  Load();
  EXPECT_EQ(OrgTree(*dir.Get()).Path(OrgTree(*dir.Get()).Find("Root002001001")), "C\\B\\D");

  // Up to the root, and the seeded department under another one.
  code = MoveOrg(dir, db, "Root002001", "Root");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.Value(), "Root003");
  code = MoveOrg(dir, db, "001", "Root001");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.Value(), "Root001001");
  EXPECT_EQ(UsersUnder(*dir.Get(), "Root001").size(), 1u);  // A1; B1 went with B
}

TEST_F(AdminTest, ADepartmentCannotMoveUnderItselfNorItsDescendantsNorBeTheRoot) {
  SeedOrgs();
  AddUser("b1", "Root001001");
  auto before = dir.Get();
  const struct {
    std::string_view code, parent, message;
  } refused[] = {{"Root001", "Root001", kMoveIntoItselfMessage},
                 {"Root001", "Root001001", kMoveIntoItselfMessage},
                 {"Root", "Root002", kMoveRootMessage}};
  for (const auto& c : refused) {
    Result<std::string> r = MoveOrg(dir, db, c.code, c.parent);
    EXPECT_FALSE(r.IsOk()) << c.code << " -> " << c.parent;
    EXPECT_EQ(r.GetStatus().Message(), c.message) << c.code << " -> " << c.parent;
  }
  // Already there: nothing changes and the code stays.
  Result<std::string> same = MoveOrg(dir, db, "Root001001", "Root001");
  ASSERT_TRUE(same.IsOk());
  EXPECT_EQ(same.Value(), "Root001001");
  EXPECT_EQ(dir.Get(), before);
  EXPECT_EQ(Count("select count(*) from organize where organizeNo='Root001001' and parNo='Root001'"), 1);
}

// A code below which a left-over department still lies is not free: taking
// it would make that department a child of the moved one.
TEST_F(AdminTest, AMovedDepartmentSkipsCodesWithLeftOversBelowThem) {
  SeedOrgs();
  Exec("insert into organize values('Root002001005','Stray','Root002001',1)");
  Load();
  Result<std::string> code = MoveOrg(dir, db, "Root001001", "Root002");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.Value(), "Root002002");
}

TEST_F(AdminTest, NewDepartmentsTakeGeneratedCodesAndRenamingTheRootRenamesTheOrganisation) {
  Load();  // an empty table: seeded with Root and 001
  Result<std::string> code = NewOrg(dir, db, "Root", " Sales ", "20");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.Value(), "Root001");
  code = NewOrg(dir, db, "Root001", "East", "100");
  ASSERT_TRUE(code.IsOk());
  EXPECT_EQ(code.Value(), "Root001001");
  EXPECT_EQ(
      Text("select organizename||'/'||parNo||'/'||cast(orgID as integer) from organize where organizeNo='Root001'"),
      "Sales/Root/20");
  EXPECT_EQ(NewOrg(dir, db, "Root", "", "1").GetStatus().Message(), kOrgNameEmptyMessage);
  EXPECT_EQ(NewOrg(dir, db, "Root", "X", "10001").GetStatus().Message(), kOrderNumberMessage);

  ASSERT_TRUE(RenameOrg(dir, db, "Root", "Corvan Ltd", "3").IsOk());
  EXPECT_EQ(dir.Get()->CompanyName(), "Corvan Ltd");
  EXPECT_EQ(Text("select organizename||'/'||cast(orgID as integer) from organize where organizeNo='Root'"),
            "Corvan Ltd/3");
  ASSERT_TRUE(RenameOrg(dir, db, "Root001", "Sales2", "9").IsOk());
  EXPECT_EQ(dir.Get()->FindOrg("Root001")->organizename, "Sales2");
  EXPECT_EQ(dir.Get()->FindOrg("Root001")->orgID, 9);
  // The name survives a reload.
  Load();
  EXPECT_EQ(dir.Get()->CompanyName(), "Corvan Ltd");
}

TEST_F(AdminTest, SameNameQuestionsLookAtTheRightSiblings) {
  SeedOrgs();
  OrgTree tree(*dir.Get());
  EXPECT_EQ(NewOrgSameNameQuestion(tree, "Root", " C "), std::string(kSameNameNewQuestion));
  EXPECT_EQ(NewOrgSameNameQuestion(tree, "Root001", "C"), std::nullopt);
  EXPECT_EQ(RenameOrgSameNameQuestion(tree, "Root001", "C"), std::string(kSameNameRenameQuestion));
  EXPECT_EQ(RenameOrgSameNameQuestion(tree, "Root001", "A"), std::nullopt);  // itself
  EXPECT_EQ(RenameOrgSameNameQuestion(tree, "Root", "A"), std::nullopt);     // the root has no siblings
}

TEST(MoveUsersQuestionTest, CountsTheRows) {
  EXPECT_EQ(MoveUsersQuestion(2, "销售部"), "是否要将这2个用户加入到销售部下？");
}

// A failed write keeps neither the memory change nor a half-written table.
TEST_F(AdminTest, DatabaseFailureChangesNothingAndSaysSo) {
  SeedOrgs();
  AddUser("keep", "Root001");
  auto before = dir.Get();
  Exec("alter table vcard rename to vcard_gone");  // the second write of each pair fails

  Status r = SaveNewUser(dir, db, Form("new"));
  EXPECT_FALSE(r.IsOk());
  EXPECT_EQ(r.Message(), kDatabaseErrorMessage);
  EXPECT_EQ(MessageCaption(r), kInfoCaption);
  EXPECT_EQ(Count("select count(*) from authreg where username='NEW'"), 0);  // rolled back
  EXPECT_EQ(SaveUser(dir, db, Form("renamed"), "KEEP").Message(), kDatabaseErrorMessage);
  EXPECT_EQ(Count("select count(*) from authreg where username='KEEP'"), 1);
  EXPECT_EQ(DeleteUser(dir, db, "KEEP").Message(), kDatabaseErrorMessage);
  EXPECT_EQ(MoveUsers(dir, db, {"KEEP"}, "Root002").Message(), kDatabaseErrorMessage);
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root001'"), 1);
  EXPECT_EQ(DeleteOrg(dir, db, "Root001").Message(), kDatabaseErrorMessage);
  EXPECT_EQ(MoveOrg(dir, db, "Root001", "Root002").GetStatus().Message(), kDatabaseErrorMessage);
  EXPECT_EQ(Count("select count(*) from organize where organizeNo like 'Root002%'"), 1);  // rolled back
  EXPECT_EQ(Count("select count(*) from organize"), 5);
  EXPECT_EQ(dir.Get(), before);  // no new snapshot was published

  Exec("alter table organize rename to organize_gone");
  EXPECT_EQ(NewOrg(dir, db, "Root", "X", "1").GetStatus().Message(), kDatabaseErrorMessage);
  EXPECT_EQ(RenameOrg(dir, db, "Root001", "X", "1").Message(), kDatabaseErrorMessage);
  EXPECT_EQ(dir.Get(), before);
}

}  // namespace
}  // namespace corvan
