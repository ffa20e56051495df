// The sync planner on values: the tree and codes, a second run that changes
// nothing, renames and moves, removals, and local accounts left alone.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "directory_sync/planner.h"
#include "storage/schema.h"

namespace corvan {
namespace {

const std::string kBase = "ou=Corp,dc=example,dc=com";

DirectorySnapshot Local() {
  std::vector<OrgPtr> orgs{MakeOrg("未分组", "001", "Root", 0)};
  TUserInfo local;
  local.username = "LOCAL";
  local.pwd = "pw";
  local.nickname = "本地";
  local.organizeNo = "001";
  return DirectorySnapshot("组织机构", orgs, {MakeUser(local, orgs)});
}

struct World {
  DirectorySnapshot dir = Local();
  std::vector<DirLink> unitLinks, accountLinks;

  // Applies a plan the way the sync does, on values.
  void Apply(const SyncPlan& p) {
    std::vector<OrgPtr> orgs = dir.Orgs();
    std::vector<UserPtr> users = dir.Users();
    for (const auto& a : p.orgAdds) {
      orgs.push_back(MakeOrg(a.org.organizename, a.org.organizeNo, a.org.parNo, a.org.orgID));
      unitLinks.push_back(a.link);
    }
    for (const auto& r : p.orgRenames)
      for (auto& o : orgs)
        if (o->organizeNo == r.code) o = MakeOrg(r.name, o->organizeNo, o->parNo, o->orgID);
    for (const auto& a : p.userAdds) {
      users.push_back(MakeUser(a.user, orgs));
      accountLinks.push_back(a.link);
    }
    for (auto& l : accountLinks) {
      if (std::find(p.locks.begin(), p.locks.end(), l.key) != p.locks.end()) l.locked = true;
      if (std::find(p.unlocks.begin(), p.unlocks.end(), l.key) != p.unlocks.end()) l.locked = false;
    }
    for (const auto& c : p.userChanges) {
      for (auto& u : users)
        if (u->username == c.oldName) u = MakeUser(c.user, orgs);
      for (auto& l : accountLinks)
        if (l.key == c.oldName) l = DirLink{c.link.key, c.link.dn, c.link.id, l.locked};
    }
    if (p.removeMissing) {
      for (const auto& n : p.userRemovals) {
        std::erase_if(users, [&](const UserPtr& u) { return u->username == n; });
        std::erase_if(accountLinks, [&](const DirLink& l) { return l.key == n; });
      }
      for (const auto& c : p.orgRemovals) std::erase_if(orgs, [&](const OrgPtr& o) { return o->organizeNo == c; });
    }
    dir = DirectorySnapshot(dir.CompanyName(), orgs, users);
  }
  SyncPlan Plan(const std::vector<DirUnit>& units, const std::vector<DirPerson>& people, bool removeMissing = false) {
    return PlanDirectorySync(dir, unitLinks, accountLinks, kBase, units, people, removeMissing);
  }
};

std::vector<DirUnit> Units() {
  return {{"OU=平台组,OU=研发部," + kBase, "u2", "平台组"},  // child listed first
          {"ou=研发部," + kBase, "u1", "研发部"},
          {kBase, "u0", "Corp"}};  // the base itself is the root
}

std::vector<DirPerson> People() {
  return {{"uid=zhangsan,ou=平台组,ou=研发部," + kBase, "p1", "zhangsan", "张三", "z@e.com", "1", "2", "工程师"},
          {"uid=boss," + kBase, "p2", "boss", "", "", "", "", ""}};
}

TEST(SyncPlanner, BuildsTheNestedTreeWithConsoleCodesAndIsStable) {
  World w;
  SyncPlan first = w.Plan(Units(), People());
  ASSERT_EQ(first.orgAdds.size(), 2u);
  EXPECT_EQ(first.orgAdds[0].org.organizeNo, "Root001");
  EXPECT_EQ(first.orgAdds[0].org.parNo, "Root");
  EXPECT_EQ(first.orgAdds[1].org.organizeNo, "Root001001");
  EXPECT_EQ(first.orgAdds[1].org.parNo, "Root001");
  ASSERT_EQ(first.userAdds.size(), 2u);
  EXPECT_EQ(first.userAdds[0].user.username, "ZHANGSAN");
  EXPECT_EQ(first.userAdds[0].user.nickname, "张三");
  EXPECT_EQ(first.userAdds[0].user.organizeNo, "Root001001");
  EXPECT_EQ(first.userAdds[0].user.title, "工程师");
  EXPECT_EQ(first.userAdds[1].user.organizeNo, "Root");  // right under the base
  EXPECT_EQ(first.userAdds[1].user.nickname, "boss");    // no name: the login
  w.Apply(first);
  SyncPlan second = w.Plan(Units(), People(), true);
  EXPECT_TRUE(second.Empty()) << ::testing::PrintToString(second.Lines());
}

TEST(SyncPlanner, RenamesMovesAndRemovals) {
  World w;
  w.Apply(w.Plan(Units(), People()));
  auto units = Units();
  units[1].name = "研究院";  // unit renamed (id kept)
  units[1].dn = "ou=研究院," + kBase;
  units[0].dn = "ou=平台组,ou=研究院," + kBase;
  auto people = People();
  people[0].dn = "uid=zhangsan,ou=研究院," + kBase;  // moved up one level
  people[0].name = "张三丰";
  people.pop_back();  // boss left
  people.push_back({"uid=new," + kBase, "p3", "new", "新人", "", "", "", ""});

  SyncPlan keep = w.Plan(units, people, false);
  ASSERT_EQ(keep.orgRenames.size(), 1u);
  EXPECT_EQ(keep.orgRenames[0].name, "研究院");
  ASSERT_EQ(keep.userChanges.size(), 1u);
  EXPECT_TRUE(keep.userChanges[0].moved);
  EXPECT_TRUE(keep.userChanges[0].changed);
  EXPECT_EQ(keep.userChanges[0].user.organizeNo, "Root001");
  ASSERT_EQ(keep.userAdds.size(), 1u);
  EXPECT_EQ(keep.userRemovals, std::vector<std::string>{"BOSS"});  // listed, not applied
  EXPECT_FALSE(keep.removeMissing);
  w.Apply(keep);
  EXPECT_NE(w.dir.FindUser("BOSS"), nullptr);

  SyncPlan remove = w.Plan(units, people, true);
  EXPECT_EQ(remove.userRemovals, std::vector<std::string>{"BOSS"});
  w.Apply(remove);
  EXPECT_EQ(w.dir.FindUser("BOSS"), nullptr);
  EXPECT_NE(w.dir.FindUser("LOCAL"), nullptr);
}

TEST(SyncPlanner, LocalAccountsAndDepartmentsAreNeverTouched) {
  World w;
  auto people = People();
  people.push_back({"uid=local," + kBase, "p9", "local", "冒名", "", "", "", ""});
  SyncPlan p = w.Plan(Units(), people, true);
  for (const auto& a : p.userAdds) EXPECT_NE(a.user.username, "LOCAL");
  ASSERT_EQ(p.skipped.size(), 1u);
  EXPECT_NE(p.skipped[0].find("本地帐号"), std::string::npos);
  w.Apply(p);
  EXPECT_EQ(w.dir.FindUser("LOCAL")->nickname, "本地");

  // A unit that left the directory while a local account sits in it stays.
  std::vector<OrgPtr> orgs = w.dir.Orgs();
  std::vector<UserPtr> users = w.dir.Users();
  TUserInfo guest;
  guest.username = "GUEST";
  guest.organizeNo = "Root001001";
  users.push_back(MakeUser(guest, orgs));
  w.dir = DirectorySnapshot(w.dir.CompanyName(), orgs, users);
  SyncPlan gone = w.Plan({Units()[1]}, {People()[1]}, true);
  EXPECT_TRUE(gone.orgRemovals.empty());
  EXPECT_EQ(gone.userRemovals, std::vector<std::string>{"ZHANGSAN"});
  // Without the local account it goes.
  users.pop_back();
  w.dir = DirectorySnapshot(w.dir.CompanyName(), orgs, users);
  EXPECT_EQ(w.Plan({Units()[1]}, {People()[1]}, true).orgRemovals, std::vector<std::string>{"Root001001"});
}

TEST(SyncPlanner, DuplicateAndEmptyLoginsAreSkipped) {
  World w;
  auto people = People();
  people.push_back({"uid=ZhangSan,ou=x," + kBase, "p7", "ZhangSan", "", "", "", "", ""});
  people.push_back({"cn=nologin," + kBase, "p8", " ", "", "", "", "", ""});
  SyncPlan p = w.Plan(Units(), people);
  EXPECT_EQ(p.userAdds.size(), 2u);
  EXPECT_EQ(p.skipped.size(), 2u);
}

// A person disabled in the directory: not added when new; locked (kept,
// not removed) when they have an account; unlocked when enabled again, also
// across a rename in the same run.
TEST(SyncPlanner, DisabledPeopleLockTheirAccounts) {
  World w;
  auto people = People();
  people.push_back({"uid=gone," + kBase, "p5", "gone", "离职", "", "", "", "", true});
  SyncPlan first = w.Plan(Units(), people, true);
  EXPECT_EQ(first.userAdds.size(), 2u);
  EXPECT_EQ(first.disabledLeftOut, 1u);
  EXPECT_TRUE(first.locks.empty());
  w.Apply(first);

  struct Step {
    bool disabled;
    std::string login;
    std::vector<std::string> locks, unlocks;
  };
  const Step steps[] = {
      {true, "zhangsan", {"ZHANGSAN"}, {}},    // disabled: locked, not removed
      {true, "zhangsan", {}, {}},              // stays locked: nothing to do
      {true, "zhangsan3", {}, {}},             // renamed while locked: the lock moves along
      {false, "zhangsan4", {}, {"ZHANGSAN3"}}  // enabled and renamed again
  };
  for (const Step& step : steps) {
    people = People();
    people[0].disabled = step.disabled;
    people[0].login = step.login;
    SyncPlan p = w.Plan(Units(), people, true);
    EXPECT_EQ(p.locks, step.locks) << step.login;
    EXPECT_EQ(p.unlocks, step.unlocks) << step.login;
    EXPECT_TRUE(p.userRemovals.empty()) << step.login;
    w.Apply(p);
    const TUserInfo* u = w.dir.FindUser(AsciiUpper(step.login));
    ASSERT_NE(u, nullptr) << step.login;
    EXPECT_EQ(u->organizeNo, "Root001001") << step.login;
    auto link = std::find_if(w.accountLinks.begin(), w.accountLinks.end(),
                             [&](const DirLink& l) { return l.key == u->username; });
    ASSERT_NE(link, w.accountLinks.end());
    EXPECT_EQ(link->locked, step.disabled) << step.login;
  }
}

TEST(SyncPlanner, DnComparison) {
  EXPECT_EQ(NormalizeDn("OU=Sales , DC=Example,DC=com"), "ou=sales,dc=example,dc=com");
  EXPECT_EQ(ParentDn("cn=Li\\, Si,ou=A,dc=x"), "ou=a,dc=x");  // escaped comma stays in the RDN
  EXPECT_EQ(ParentDn("dc=x"), "");
}

}  // namespace
}  // namespace corvan
