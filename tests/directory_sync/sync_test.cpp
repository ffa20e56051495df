// The sync against a real slapd: dry run, first and second sync, changes in
// the directory, local accounts, failures part way, values the wire cannot
// carry, and requests answered while a sync prepares.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>

#include "accounts/directory_admin.h"
#include "admin/admin_commands.h"
#include "app/modules_default.h"
#include "base/xml.h"
#include "directory_sync/slapd_support.h"
#include "directory_sync/sync.h"
#include "directory_sync/wiring.h"
#include "server/server_core.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;

using test::Slapd;
using test::TestServer;

using test::WithDirectory;

DirectorySyncOutcome Sync(ServerCore& core, bool dryRun = false, bool removeMissing = false, bool force = false) {
  return core.Modules().DirectorySync(core, {dryRun, removeMissing, force}, {});
}

// Departments and accounts as text, to compare whole states.
std::string State(ServerCore& core) {
  auto dir = core.Dir().Get();
  std::vector<std::string> rows;
  for (const auto& o : dir->Orgs()) rows.push_back("org " + o->organizeNo + " " + o->organizename + " " + o->parNo);
  for (const auto& u : dir->Users())
    rows.push_back("user " + u->username + " " + u->nickname + " " + u->organizeNo + " " + u->pwd + " " + u->email);
  std::sort(rows.begin(), rows.end());
  std::string out;
  for (const auto& r : rows) out += r + "\n";
  return out;
}

// The same from the tables, so that memory and database are both checked.
std::string TableState(ServerCore& core) {
  ServerCore& c = core;
  std::vector<std::string> rows;
  DatabaseLock lock(c.Db());
  {
    Statement st(c.Db(), "select organizeNo,organizename,parNo from organize where organizeNo<>'Root'");
    while (st.Step()) rows.push_back("org " + st.ColumnText(0) + " " + st.ColumnText(1) + " " + st.ColumnText(2));
  }
  {
    Statement st(c.Db(),
                 "select authreg.username,vcard.nickname,authreg.organizeNo,authreg.pwd,vcard.email from authreg "
                 "join vcard on vcard.username=authreg.username");
    while (st.Step())
      rows.push_back("user " + st.ColumnText(0) + " " + st.ColumnText(1) + " " + st.ColumnText(2) + " " +
                     st.ColumnText(3) + " " + st.ColumnText(4));
  }
  std::sort(rows.begin(), rows.end());
  std::string out;
  for (const auto& r : rows) out += r + "\n";
  return out;
}

const TUserInfo* User(ServerCore& core, const std::string& name, Directory::Snapshot& keep) {
  keep = core.Dir().Get();
  return keep->FindUser(name);
}

TEST(DirectorySync, DryRunFirstSyncAndSecondSync) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  const std::string before = State(core);

  DirectorySyncOutcome dry = Sync(core, true);
  ASSERT_TRUE(dry.ok) << dry.message;
  EXPECT_EQ(State(core), before);
  EXPECT_EQ(std::count_if(dry.lines.begin(), dry.lines.end(),
                          [](const std::string& l) { return l.rfind("新增用户", 0) == 0; }),
            4);
  EXPECT_EQ(ReadLinks(core.Db(), kAccountLinkTable).Value().size(), 0u);

  DirectorySyncOutcome first = Sync(core);
  ASSERT_TRUE(first.ok) << first.message;
  Directory::Snapshot keep;
  const TUserInfo* zhang = User(core, "ZHANGSAN", keep);
  ASSERT_NE(zhang, nullptr);
  EXPECT_EQ(zhang->nickname, "张三");
  EXPECT_EQ(zhang->email, "zhangsan@example.com");
  EXPECT_EQ(zhang->title, "工程师");
  OrgTree tree(*keep);
  EXPECT_EQ(tree.PathOf(zhang->organizeNo), "研发部\\平台组");
  EXPECT_EQ(tree.PathOf(keep->FindUser("LISI")->organizeNo), "研发部");
  EXPECT_EQ(keep->FindUser("BOSS")->organizeNo, "Root");
  EXPECT_EQ(keep->FindUser("ZHAOLIU"), nullptr);  // disabled
  EXPECT_NE(zhang->pwd, "");                      // never the directory's, never empty
  EXPECT_NE(zhang->pwd, "pw-zhangsan");
  EXPECT_EQ(keep->FindUser("LOCAL")->pwd, "lpw");
  EXPECT_TRUE(server.WaitForLog("目录同步完成"));
  // Memory and tables agree.
  EXPECT_EQ(State(core), TableState(core));

  const std::string afterFirst = State(core);
  const std::string tablesAfterFirst = TableState(core);
  DirectorySyncOutcome second = Sync(core, false, true);
  ASSERT_TRUE(second.ok) << second.message;
  EXPECT_EQ(State(core), afterFirst);
  EXPECT_EQ(TableState(core), tablesAfterFirst);
  for (const std::string& l : second.lines)
    EXPECT_TRUE(l.rfind("已停用", 0) == 0) << l;  // nothing but the note on disabled accounts
}

TEST(DirectorySync, FollowsRenamesMovesArrivalsAndDepartures) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  ASSERT_TRUE(Sync(core).ok);

  const std::string corp = test::kBase;
  ASSERT_TRUE(slapd.Modify(
      test::Ldif({{"uid=lisi,ou=研发部," + corp, {{"changetype", "modify"}, {"replace", "cn"}, {"cn", "李四光"}}},
                  {"uid=wangwu,ou=销售部," + corp,
                   {{"changetype", "modrdn"},
                    {"newrdn", "uid=wangwu"},
                    {"deleteoldrdn", "1"},
                    {"newsuperior", "ou=平台组,ou=研发部," + corp}}},
                  {"uid=boss," + corp, {{"changetype", "delete"}}}})));
  ASSERT_TRUE(slapd.Modify([&] {
    auto r = test::Person("zhouba", "周八", "ou=销售部," + corp);
    r.attrs.insert(r.attrs.begin(), {"changetype", "add"});
    return test::Ldif({r});
  }()));

  DirectorySyncOutcome keep = Sync(core);
  ASSERT_TRUE(keep.ok) << keep.message;
  Directory::Snapshot snap;
  EXPECT_EQ(User(core, "LISI", snap)->nickname, "李四光");
  OrgTree tree(*snap);
  EXPECT_EQ(tree.PathOf(snap->FindUser("WANGWU")->organizeNo), "研发部\\平台组");
  EXPECT_NE(snap->FindUser("ZHOUBA"), nullptr);
  EXPECT_NE(snap->FindUser("BOSS"), nullptr);  // kept without --remove-missing
  EXPECT_TRUE(std::any_of(keep.lines.begin(), keep.lines.end(),
                          [](const std::string& l) { return l.find("BOSS") != std::string::npos; }));

  // One of five is above the default share of 10%: --force it.
  ASSERT_TRUE(Sync(core, false, true, true).ok);
  EXPECT_EQ(User(core, "BOSS", snap), nullptr);
  EXPECT_NE(snap->FindUser("LOCAL"), nullptr);
  EXPECT_EQ(snap->FindUser("LOCAL")->pwd, "lpw");
}

// A base_dn pointed at one unit finds most accounts gone: --remove-missing
// is refused naming the count unless forced, the dry run says it would be,
// and a background sync changes nothing and logs why.
TEST(DirectorySync, RemovalGuard) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  ASSERT_TRUE(Sync(core).ok);
  const std::string before = State(core);
  const std::string tablesBefore = TableState(core);

  const std::string narrowed = std::string("base_dn = ou=销售部,") + test::kBase + "\n";
  test::WriteDirectorySettings(server.Home(), slapd.Url(), narrowed);
  const std::string count = "3 个目录帐号（共 4 个）";
  DirectorySyncOutcome refused = Sync(core, false, true);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find("将删除 " + count), std::string::npos) << refused.message;
  EXPECT_NE(refused.message.find("--force"), std::string::npos) << refused.message;
  DirectorySyncOutcome dry = Sync(core, true, true);
  EXPECT_TRUE(dry.ok);
  EXPECT_NE(dry.lines.back().find(count), std::string::npos) << dry.lines.back();

  auto background = std::make_shared<DirectoryService>();
  DirectorySyncOutcome quiet = background->Sync(SyncOwnersOf(core), {}, true, {});
  EXPECT_FALSE(quiet.ok);
  EXPECT_TRUE(server.WaitForLog("后台目录同步被拒绝，未做任何修改：目录中已不存在 " + count));
  EXPECT_EQ(State(core), before);
  EXPECT_EQ(TableState(core), tablesBefore);

  // A share the settings allow goes ahead; so does --force.
  test::WriteDirectorySettings(server.Home(), slapd.Url(), narrowed + "removal_limit_percent = 75\n");
  EXPECT_TRUE(background->Sync(SyncOwnersOf(core), {}, true, {}).ok);
  test::WriteDirectorySettings(server.Home(), slapd.Url(), narrowed);
  ASSERT_TRUE(Sync(core, false, true, true).ok);
  EXPECT_EQ(core.Dir().Get()->FindUser("ZHANGSAN"), nullptr);
  EXPECT_NE(core.Dir().Get()->FindUser("WANGWU"), nullptr);
  EXPECT_NE(core.Dir().Get()->FindUser("LOCAL"), nullptr);
}

TEST(DirectorySync, FailurePartWayLeavesEverythingAsItWas) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  const std::string before = State(core);
  const std::string tablesBefore = TableState(core);

  // The second search (people) is refused after the units were read.
  test::WriteDirectorySettings(server.Home(), slapd.Url(), "person_filter = (objectClass=inetOrgPerson\n");
  DirectorySyncOutcome refused = Sync(core);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(State(core), before);

  // A database error in the middle of the writes: a trigger refuses one
  // account after the departments and other accounts were written.
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  {
    DatabaseLock lock(core.Db());
    core.Db().Exec(
        "create trigger refuse_wangwu before insert on authreg when new.username='WANGWU' "
        "begin select raise(abort,'refused'); end");
  }
  DirectorySyncOutcome dbError = Sync(core);
  EXPECT_FALSE(dbError.ok);
  EXPECT_NE(dbError.message.find("数据库错误"), std::string::npos) << dbError.message;
  EXPECT_EQ(State(core), before);
  EXPECT_EQ(TableState(core), tablesBefore);
  EXPECT_EQ(ReadLinks(core.Db(), kAccountLinkTable).Value().size(), 0u);
  {
    DatabaseLock lock(core.Db());
    core.Db().Exec("drop trigger refuse_wangwu");
  }

  // Directory down.
  slapd.Stop();
  DirectorySyncOutcome down = Sync(core);
  EXPECT_FALSE(down.ok);
  EXPECT_NE(down.message.find("无法连接"), std::string::npos) << down.message;
  EXPECT_EQ(State(core), before);
  EXPECT_TRUE(server.WaitForLog("目录同步失败"));
}

TEST(DirectorySync, AdminCommandAndUnsafeSettings) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();

  AdminReply none = RunAdminCommand(core, {"directory-sync"}, AdminContext{});
  EXPECT_FALSE(none.ok);
  EXPECT_NE(none.message.find("DirectorySync.conf"), std::string::npos) << none.message;

  test::WriteDirectorySettings(server.Home(), slapd.Url());
  std::filesystem::permissions(server.Home() / "DirectorySync.conf", std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  AdminReply unsafe = RunAdminCommand(core, {"directory-sync"}, AdminContext{});
  EXPECT_FALSE(unsafe.ok);
  EXPECT_NE(unsafe.message.find("chmod 600"), std::string::npos) << unsafe.message;
  EXPECT_EQ(core.Dir().Get()->FindUser("ZHANGSAN"), nullptr);

  test::WriteDirectorySettings(server.Home(), slapd.Url());
  AdminReply dry = RunAdminCommand(core, {"directory-sync", "--dry-run"}, AdminContext{});
  EXPECT_TRUE(dry.ok) << dry.message;
  EXPECT_EQ(core.Dir().Get()->FindUser("ZHANGSAN"), nullptr);
  AdminReply run = RunAdminCommand(core, {"directory-sync", "--remove-missing"}, AdminContext{});
  EXPECT_TRUE(run.ok) << run.message;
  EXPECT_NE(core.Dir().Get()->FindUser("ZHANGSAN"), nullptr);
}

// The nicknames of a GetUserlist reply read by the XML parser, by name;
// nothing when the reply is not well-formed.
std::optional<std::map<std::string, std::string>> UserlistNicknames(TestServer& server) {
  test::TcpClient tcp(server.Port());
  std::optional<std::string> reply = test::Ask(tcp, test::Request("GetUserlist", {}));
  if (!reply) return std::nullopt;
  XmlDocPtr doc = ParseXml(*reply);
  if (!doc) return std::nullopt;
  std::map<std::string, std::string> names;
  XmlNode* list = FirstChild(FirstChild(RootElement(doc.get(), "RootNode"), "Struct"), "Class");
  for (XmlNode* u = FirstChildElement(list); u != nullptr; u = NextSiblingElement(u))
    names[NodeText(FirstChild(u, "username"))] = NodeText(FirstChild(u, "nickname"));
  return names;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(DirectorySync, ValuesTheWireCannotCarryAreStoredSafely) {
  CORVAN_REQUIRE_SLAPD();
  const std::string corp = test::kBase;
  auto records = test::SampleDirectory();
  records.push_back(test::Person("vtab", "垂直\x0B制表", corp));
  records.push_back(test::Person("long", Repeat("长", 10000), corp));
  records.push_back(test::Person("emoji", "笑脸😀", corp));
  records.push_back(test::Person("euro", "欧元€", corp));
  Slapd slapd(records);
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());

  DirectorySyncOutcome first = Sync(core);
  ASSERT_TRUE(first.ok) << first.message;
  const std::map<std::string, std::string> expected = {
      {"VTAB", "垂直制表"}, {"LONG", Repeat("长", 255)}, {"EMOJI", "笑脸?"}, {"EURO", "欧元€"}};
  Directory::Snapshot keep;
  for (const auto& [name, nick] : expected) {
    const TUserInfo* u = User(core, name, keep);
    ASSERT_NE(u, nullptr) << name;
    EXPECT_EQ(u->nickname, nick) << name;
  }
  EXPECT_EQ(State(core), TableState(core));
  // One line for each person whose values were changed, naming the entry.
  for (const char* uid : {"uid=vtab,", "uid=long,", "uid=emoji,", "uid=euro,"}) {
    auto n = std::count_if(first.lines.begin(), first.lines.end(), [&](const std::string& l) {
      return l.rfind("修正 ", 0) == 0 && l.find(uid) != std::string::npos;
    });
    EXPECT_EQ(n, std::string(uid) == "uid=euro," ? 0 : 1) << uid;
  }

  // Every client can still read the user list, and reads the stored names.
  std::optional<std::map<std::string, std::string>> listed = UserlistNicknames(server);
  ASSERT_TRUE(listed) << "GetUserlist is not well-formed XML";
  for (const auto& [name, nick] : expected) EXPECT_EQ((*listed)[name], nick) << name;

  // The next run compares the stored forms: nothing to change.
  DirectorySyncOutcome second = Sync(core);
  ASSERT_TRUE(second.ok) << second.message;
  for (const std::string& l : second.lines) EXPECT_EQ(l.rfind("修改用户", 0), std::string::npos) << l;
}

// slapd with the sample directory, and a server whose directory settings
// point at it.
struct DirectoryServer {
  DirectoryServer() { test::WriteDirectorySettings(server.Home(), slapd.Url()); }
  Slapd slapd{test::SampleDirectory()};
  TestServer server{WithDirectory()};
};

// Gives four people of the sample directory the display name "新名字".
bool RenamePeople(Slapd& slapd) {
  std::vector<test::LdifRecord> renames;
  for (const char* dn :
       {"uid=zhangsan,ou=平台组,ou=研发部,", "uid=lisi,ou=研发部,", "uid=wangwu,ou=销售部,", "uid=boss,"})
    renames.push_back({dn + std::string(test::kBase), {{"changetype", "modify"}, {"replace", "cn"}, {"cn", "新名字"}}});
  return slapd.Modify(test::Ldif(renames));
}

// The directory as the server's settings describe it, ready to apply.
DirectoryContent ReadContent(ServerCore& core, DirectorySettings& settings) {
  settings = *LoadDirectorySettings(core.Home()).settings;
  LdapError error;
  std::optional<DirectoryContent> content = ReadDirectory(settings, &error);
  EXPECT_TRUE(content) << error.message;
  if (!content) return {};
  MakeContentStorable(*content, settings);
  return *content;
}

// Holds a sync at a hook until released (once per run).
class Pause {
 public:
  void Hold() {
    std::unique_lock lock(m_);
    if (paused_) return;
    paused_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, 30s, [&] { return released_; });
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 30s, [&] { return paused_; });
  }
  void Release() {
    std::lock_guard lock(m_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool paused_ = false, released_ = false;
};

// A sync that changes every account is paused while it prepares its
// entries, and while it stages the rows it writes (between two slices): a
// local password change and a profile change of an account the sync
// rewrites are answered meanwhile, and both survive the sync.
TEST(DirectorySync, RequestsAreAnsweredWhileASyncPrepares) {
  CORVAN_REQUIRE_SLAPD();
  for (bool staging : {false, true}) {
    SCOPED_TRACE(staging ? "paused while staging" : "paused while preparing");
    DirectoryServer d;
    ASSERT_TRUE(d.slapd.Running());
    TestServer& server = d.server;
    ServerCore& core = server.Core();
    ASSERT_TRUE(Sync(core).ok);
    ASSERT_TRUE(RenamePeople(d.slapd));

    Pause pause;
    auto progress = [&](int, int total) {
      if (total != 0) pause.Hold();
    };
    DirectorySettings settings;
    const DirectoryContent content = staging ? ReadContent(core, settings) : DirectoryContent();
    auto sync = std::async(std::launch::async, [&] {
      if (!staging) return core.Modules().DirectorySync(core, {}, progress);
      return ApplyDirectoryContent(core.Dir(), core.Db(), settings, content, false, false, {}, [&] { pause.Hold(); });
    });
    ASSERT_TRUE(pause.WaitUntilHeld());

    test::TcpClient tcp(server.Port());
    auto password =
        test::Ask(tcp, test::Request("UpdatePassword", {{"username", "local"}, {"Oripwd", "lpw"}, {"Newpwd", "lpw2"}}));
    auto info = test::Ask(tcp, test::Request("UpdateInfo", {{"username", "zhangsan"}, {"url", "http://zs"}}));
    pause.Release();
    ASSERT_TRUE(password) << "UpdatePassword waited for the sync";
    EXPECT_EQ(test::ReplyField(*password, "reason"), "修改密码成功!");
    ASSERT_TRUE(info) << "UpdateInfo waited for the sync";
    EXPECT_EQ(test::ReplyField(*info, "reason"), "修改资料成功!");

    DirectorySyncOutcome out = sync.get();
    ASSERT_TRUE(out.ok) << out.message;
    Directory::Snapshot keep;
    EXPECT_EQ(User(core, "LOCAL", keep)->pwd, "lpw2");
    const TUserInfo* zhang = User(core, "ZHANGSAN", keep);
    EXPECT_EQ(zhang->nickname, "新名字");
    EXPECT_EQ(zhang->url, "http://zs");
    EXPECT_EQ(keep->FindUser("BOSS")->nickname, "新名字");
    EXPECT_EQ(State(core), TableState(core));
    DatabaseLock lock(core.Db());
    Statement st(core.Db(), "select url from vcard where username='ZHANGSAN'");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.ColumnText(0), "http://zs");
  }
}

// A statement refused part way through the apply, after others of the same
// transaction ran, leaves the tables, the links and the directory as they
// were; the next run, without the refusal, applies everything.
TEST(DirectorySync, ARefusalPartWayThroughTheApplyChangesNothing) {
  CORVAN_REQUIRE_SLAPD();
  struct Case {
    const char* what;
    bool synced;  // a first sync ran before (the refused run changes accounts)
    const char* trigger;
  };
  const Case cases[] = {
      {"card of a new account", false,
       "create trigger refuse before insert on vcard when new.username='WANGWU' "
       "begin select raise(abort,'refused'); end"},
      {"profile of a renamed person", true,
       "create trigger refuse before update on vcard when old.username='WANGWU' "
       "begin select raise(abort,'refused'); end"},
      {"name of a renamed person", true,
       "create trigger refuse before update on authreg when old.username='LISI' "
       "begin select raise(abort,'refused'); end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DirectoryServer d;
    ASSERT_TRUE(d.slapd.Running());
    ServerCore& core = d.server.Core();
    if (c.synced) {
      ASSERT_TRUE(Sync(core).ok);
      ASSERT_TRUE(RenamePeople(d.slapd));
    }
    const std::string before = State(core);
    const std::string tablesBefore = TableState(core);
    const std::size_t linksBefore = ReadLinks(core.Db(), kAccountLinkTable).Value().size();
    {
      DatabaseLock lock(core.Db());
      core.Db().Exec(c.trigger);
    }
    DirectorySyncOutcome refused = Sync(core);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.find("数据库错误"), std::string::npos) << refused.message;
    EXPECT_EQ(State(core), before);
    EXPECT_EQ(TableState(core), tablesBefore);
    EXPECT_EQ(ReadLinks(core.Db(), kAccountLinkTable).Value().size(), linksBefore);
    {
      DatabaseLock lock(core.Db());
      core.Db().Exec("drop trigger refuse");
    }
    DirectorySyncOutcome applied = Sync(core);
    ASSERT_TRUE(applied.ok) << applied.message;
    EXPECT_EQ(State(core), TableState(core));
    EXPECT_NE(State(core), before);
  }
}

}  // namespace
}  // namespace corvan
