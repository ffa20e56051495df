// Login with the directory password over real sockets: right, wrong and
// unreachable, a disabled and a moved person, the binds' own pool while the
// directory hangs, the refused password change; the TLS causes named, and
// the settings file read again when it changes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

#include "admin/admin_commands.h"
#include "app/modules_default.h"
#include "directory_sync/ldap_client.h"
#include "directory_sync/password_check.h"
#include "directory_sync/slapd_support.h"
#include "directory_sync/sync.h"
#include "server/envelope.h"
#include "server/server_core.h"
#include "support/accounts_support.h"
#include "support/offline_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::ReplyField;
using test::Slapd;
using test::TcpClient;
using test::TestServer;

std::string Reason(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "reason").value_or("<none>") : "<no reply>";
}

using test::WithDirectory;

// A loopback port that takes connections into its backlog and never
// answers: a directory server that hangs.
class Blackhole {
 public:
  Blackhole() {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_.Get(), 16);
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  std::string Url() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  UniqueFd fd_;
  std::uint16_t port_ = 0;
};

constexpr const char* kLoginWithDirectory = "login_with_directory_password = yes\n";

TEST(DirectoryLogin, RightWrongAndLocalAccounts) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(test::WithoutLoginThrottle(WithDirectory()));
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);

  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("zhangsan", "wrong")), "密码不正确!");
  EXPECT_EQ(Reason(a.Login("zhangsan", "")), "密码不正确!");  // never an anonymous bind
  // The stored (unusable) password is not taken either.
  EXPECT_EQ(Reason(a.Login("zhangsan", core.Dir().Get()->FindUser("ZHANGSAN")->pwd)), "密码不正确!");
  auto ok = a.Login("zhangsan", "pw-zhangsan");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;
  EXPECT_TRUE(test::WaitOnline(
      core, [](const auto& names) { return std::find(names.begin(), names.end(), "ZHANGSAN") != names.end(); }));
  EXPECT_TRUE(server.WaitForLog("用户：ZHANGSAN登录!"));

  // The password is the directory's: changing it here is refused.
  auto change = test::Ask(
      a.tcp, test::Request("UpdatePassword", {{"username", "zhangsan"}, {"Oripwd", "pw-zhangsan"}, {"Newpwd", "x"}}));
  EXPECT_EQ(Reason(change), "密码由目录服务器管理，请在目录中修改!");

  // A local account keeps its stored password and its password change.
  FakeClient b(server, "127.0.0.3");
  EXPECT_EQ(Reason(b.Login("local", "pw-zhangsan")), "密码不正确!");
  EXPECT_TRUE(b.Login("local", "lpw"));
  EXPECT_TRUE(test::WaitOnline(
      core, [](const auto& names) { return std::find(names.begin(), names.end(), "LOCAL") != names.end(); }));
  auto localChange =
      test::Ask(b.tcp, test::Request("UpdatePassword", {{"username", "local"}, {"Oripwd", "lpw"}, {"Newpwd", "lpw2"}}));
  EXPECT_EQ(Reason(localChange), "修改密码成功!") << *localChange;
}

// Guesses at a directory account stop reaching the directory: after two
// wrong binds the next attempts are refused as wrong passwords without a
// bind (the stopped directory is not even noticed), and after the delay the
// right password logs in.
TEST(DirectoryLogin, GuessesStopReachingTheDirectory) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  test::ThrottleClock clock;
  TestServer server(test::WithLoginThrottle(WithDirectory(), clock));
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);

  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("lisi", "guess1")), "密码不正确!");
  EXPECT_EQ(Reason(a.Login("lisi", "guess2")), "密码不正确!");
  slapd.Stop();
  EXPECT_EQ(Reason(a.Login("lisi", "pw-lisi")), "密码不正确!");
  EXPECT_TRUE(server.WaitForLog("用户：LISI密码错误次数过多"));
  for (const auto& line : server.LogLines()) EXPECT_EQ(line.find("目录服务器无法连接"), std::string::npos) << line;

  clock.Advance(60s);
  ASSERT_TRUE(slapd.Start());
  auto ok = a.Login("lisi", "pw-lisi");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;
}

std::string EmployeeType(const std::string& uid, const std::string& parent, bool disabled) {
  return test::Ldif(
      {{"uid=" + uid + "," + parent,
        {{"changetype", "modify"}, {disabled ? "add" : "delete", "employeeType"}, {"employeeType", "disabled"}}}});
}

// Someone who left: refused at once by the login, locked by the next sync
// with account, department and stored items kept, shown as locked, refused
// whichever password is checked, and unlocked when enabled again. The link
// table starts in its older layout, without the lock column.
TEST(DirectoryLogin, DisabledPersonIsRefusedAtOnceAndLockedAtTheNextSync) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  {
    DatabaseLock lock(core.Db());
    core.Db().Exec("create table DirectoryAccounts(username TEXT COLLATE NOCASE,dn TEXT,uid TEXT)");
  }
  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);
  const std::string unit = std::string("ou=平台组,ou=研发部,") + test::kBase;
  const std::string department = core.Dir().Get()->FindUser("ZHANGSAN")->organizeNo;
  {
    DatabaseLock lock(core.Db());
    core.Db().Exec(
        "insert into OfflineInfo (FromUser,ToUser,SendTime,SendContent) values('LISI','ZHANGSAN','9999-12-31 "
        "00:00:00','x')");
  }
  auto locked = [&] {
    AdminReply shown = RunAdminCommand(core, {"user", "show", "zhangsan"}, AdminContext{});
    return shown.data["locked"].AsBool();
  };

  ASSERT_TRUE(slapd.Modify(EmployeeType("zhangsan", unit, true)));
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("zhangsan", "pw-zhangsan")), "该用户已被停用!");  // no sync in between
  EXPECT_FALSE(locked());

  DirectorySyncOutcome sync = core.Modules().DirectorySync(core, {.removeMissing = true}, {});
  ASSERT_TRUE(sync.ok) << sync.message;
  EXPECT_NE(std::find(sync.lines.begin(), sync.lines.end(), "锁定用户 ZHANGSAN（目录中已停用）"), sync.lines.end())
      << ::testing::PrintToString(sync.lines);
  EXPECT_TRUE(locked());
  auto dir = core.Dir().Get();
  ASSERT_NE(dir->FindUser("ZHANGSAN"), nullptr);  // kept, even with --remove-missing
  EXPECT_EQ(dir->FindUser("ZHANGSAN")->organizeNo, department);
  EXPECT_EQ(test::CountRows(core, "select count(*) from OfflineInfo where ToUser='ZHANGSAN'"), 1);
  EXPECT_EQ(Reason(a.Login("zhangsan", "pw-zhangsan")), "该用户已被停用!");
  // The lock holds for the stored password as well.
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  core.Modules().DirectoryStarted(core);
  EXPECT_EQ(Reason(a.Login("zhangsan", dir->FindUser("ZHANGSAN")->pwd)), "该用户已被停用!");

  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(slapd.Modify(EmployeeType("zhangsan", unit, false)));
  sync = core.Modules().DirectorySync(core, {}, {});
  ASSERT_TRUE(sync.ok) << sync.message;
  EXPECT_FALSE(locked());
  auto ok = a.Login("zhangsan", "pw-zhangsan");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;
}

TEST(DirectoryLogin, WithoutTheSettingTheStoredPasswordCounts) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("zhangsan", "pw-zhangsan")), "密码不正确!");
}

TEST(DirectoryLogin, UnreachableDirectoryDoesNotHoldUpOtherLogins) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);

  // The directory stopped.
  slapd.Stop();
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("lisi", "pw-lisi")), "目录服务器无法连接，请稍后再试!");
  EXPECT_TRUE(server.WaitForLog("目录服务器无法连接"));

  // The directory hangs: the local login sent after it is answered first.
  Blackhole hole;
  test::WriteDirectorySettings(server.Home(), hole.Url(), kLoginWithDirectory);
  core.Modules().DirectoryStarted(core);  // reload the settings
  ASSERT_TRUE(a.tcp.SendFrame(test::Request("Loginin", {{"username", "lisi"}, {"pwd", "pw-lisi"}})));
  std::this_thread::sleep_for(100ms);  // the directory login is on its way first
  FakeClient b(server, "127.0.0.3");
  auto local = b.Login("local", "lpw");
  ASSERT_TRUE(local);
  EXPECT_EQ(ReplyField(*local, "status"), "success") << *local;
  EXPECT_FALSE(a.tcp.ReadFrame(0ms)) << "the directory login was answered before the local one";
  EXPECT_EQ(Reason(a.tcp.ReadFrame(15s)), "目录服务器无法连接，请稍后再试!");
}

// A login name never changes the search around it, and a binary id is
// looked up by its bytes as well as by its text.
TEST(DirectoryLookup, FilterValuesAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"zhang.san-1@corp_x", "zhang.san-1@corp_x"},
      {"*)(uid=*", "\\2a\\29\\28uid\\3d\\2a"},
      {"a\\b", "a\\5cb"},
      {std::string("nul\0x", 5), "nul\\00x"},
      {"张", "\\e5\\bc\\a0"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(FilterValue(in), out) << in;

  DirectorySettings s;
  ApplyActiveDirectoryPreset(s);
  EXPECT_EQ(PersonLookupFilter(s, "0a41", "ZHANG*"),
            "(&(&(objectCategory=person)(objectClass=user))(|(objectGUID=0a41)(objectGUID=\\0aA)"
            "(sAMAccountName=ZHANG\\2a)))");
  ApplyOpenLdapPreset(s);
  s.personFilter = "objectClass=inetOrgPerson";
  EXPECT_EQ(PersonLookupFilter(s, "", "LI"), "(&(objectClass=inetOrgPerson)(|(uid=LI)))");
}

// A person moved in the directory logs in before any sync: the login
// finds them where they are now.
TEST(DirectoryLogin, MovedPersonLogsInBeforeAnySync) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);
  const std::string corp = test::kBase;
  ASSERT_TRUE(slapd.Modify(test::Ldif({{"uid=zhangsan,ou=平台组,ou=研发部," + corp,
                                        {{"changetype", "modrdn"},
                                         {"newrdn", "uid=zhangsan"},
                                         {"deleteoldrdn", "1"},
                                         {"newsuperior", "ou=销售部," + corp}}}})));
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("zhangsan", "pw-wangwu")), "密码不正确!");  // another person's password
  auto ok = a.Login("zhangsan", "pw-zhangsan");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;
}

std::vector<std::unique_ptr<TcpClient>> SendLogins(TestServer& server, int count, const std::string& name,
                                                   const std::string& pwd) {
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TcpClient>(server.Port(), "127.0.3." + std::to_string(i + 1)));
    EXPECT_TRUE(clients.back()->SendFrame(test::Request("Loginin", {{"username", name}, {"pwd", pwd}})));
  }
  return clients;
}

// A server whose directory accounts were synced from `slapd` and whose
// directory is now `hole`.
void StartWithHungDirectory(Slapd& slapd, TestServer::Setup setup, std::optional<TestServer>& server, Blackhole& hole,
                            int timeoutSeconds) {
  server.emplace(std::move(setup));
  ServerCore& core = server->Core();
  test::WriteDirectorySettings(server->Home(), slapd.Url(), kLoginWithDirectory);
  EXPECT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);
  test::WriteDirectorySettings(
      server->Home(), hole.Url(),
      std::string(kLoginWithDirectory) + "timeout_seconds = " + std::to_string(timeoutSeconds) + "\n");
  core.Modules().DirectoryStarted(core);
}

// Forty logins wait for a directory that never answers. A local user logs in
// and an announcement reaches them before any of the forty is answered, and
// each of the forty gets "unreachable" within the time-out and a second.
// (They are forty logins of one account, which the throttle of failed logins
// would hold to two at a time, so it is left out here.)
TEST(DirectoryLogin, HungDirectoryHoldsUpNobodyElse) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  Blackhole hole;
  std::optional<TestServer> server;
  const int timeout = std::min(30, 4 * test::TimeScale());
  StartWithHungDirectory(slapd, test::WithoutLoginThrottle(WithDirectory()), server, hole, timeout);
  ServerCore& core = server->Core();

  const auto sent = std::chrono::steady_clock::now();
  auto hung = SendLogins(*server, 40, "lisi", "pw-lisi");
  FakeClient local(*server, "127.0.0.3");
  auto ok = local.Login("local", "lpw");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;
  ASSERT_TRUE(RunAdminCommand(core, {"announce", "今晚十点维护"}, AdminContext{true}).ok);
  bool announced = false;
  for (auto notice = local.NextNotice("Information"); notice && !announced; notice = local.NextNotice("Information"))
    announced = ReplyField(*notice, "content") == "今晚十点维护";
  EXPECT_TRUE(announced);
  int answeredMeanwhile = 0;
  for (auto& c : hung) answeredMeanwhile += c->ReadFrame(0ms) ? 1 : 0;
  EXPECT_EQ(answeredMeanwhile, 0) << "the directory logins were answered before the local user was served";

  const auto bound = sent + std::chrono::seconds(timeout + 1) + test::Scaled(2s);
  for (auto& c : hung) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(bound - std::chrono::steady_clock::now());
    EXPECT_EQ(Reason(c->ReadFrame(std::max(left, 0ms))), "目录服务器无法连接，请稍后再试!");
  }
}

// Past the bound of the binds' queue a login is answered "unreachable" at
// once, while those in the queue still wait.
TEST(DirectoryLogin, FullBindQueueAnswersAtOnce) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  Blackhole hole;
  TestServer::Setup setup = test::WithoutLoginThrottle(WithDirectory());  // three logins of one account at once
  setup.outboundThreads = 1;
  setup.outboundQueue = 2;
  std::optional<TestServer> server;
  StartWithHungDirectory(slapd, setup, server, hole, std::min(30, 3 * test::TimeScale()));

  auto waiting = SendLogins(*server, 3, "lisi", "pw-lisi");
  ASSERT_TRUE(test::WaitUntil([&] { return server->Core().Run().OutboundCalls() == 3; }));
  TcpClient extra(server->Port(), "127.0.3.100");
  ASSERT_TRUE(extra.SendFrame(test::Request("Loginin", {{"username", "wangwu"}, {"pwd", "pw-wangwu"}})));
  EXPECT_EQ(Reason(extra.ReadFrame(test::Scaled(3s))), "目录服务器无法连接，请稍后再试!");
  for (auto& c : waiting) EXPECT_FALSE(c->ReadFrame(0ms));
  EXPECT_TRUE(server->WaitForLog("等待目录服务器的登录过多"));
}

// ldaps:// that fails on the certificate says why, in the sync's report and
// in the status log; the same server with its CA named works.
TEST(DirectoryTls, CausesAreNamed) {
  CORVAN_REQUIRE_SLAPD();
  test::TempDir pki;
  auto certs = test::MakeTestCertificates(pki.Path(), "IP:127.0.0.1");
  ASSERT_TRUE(certs);
  Slapd slapd(test::SampleDirectory(), certs);
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  const std::string ca = "ca_file = " + certs->ca.string() + "\n";
  struct Case {
    std::string url, extra, cause;
  };
  const Case cases[] = {
      {slapd.Url(), "", "证书不受信任 (certificate not trusted)"},
      {slapd.Url("localhost"), ca, "主机名与证书不符 (host name does not match)"},
  };
  for (const Case& c : cases) {
    test::WriteDirectorySettings(server.Home(), c.url, c.extra);
    DirectorySyncOutcome out = core.Modules().DirectorySync(core, {}, {});
    EXPECT_FALSE(out.ok) << c.url;
    EXPECT_NE(out.message.find("目录服务器无法连接"), std::string::npos) << out.message;
    EXPECT_NE(out.message.find(c.cause), std::string::npos) << out.message;
    EXPECT_EQ(out.message.find("；"), std::string::npos) << "one cause only: " << out.message;
    EXPECT_TRUE(server.WaitForLog(c.cause)) << c.cause;
  }
  test::WriteDirectorySettings(server.Home(), slapd.Url(), ca);
  DirectorySyncOutcome trusted = core.Modules().DirectorySync(core, {}, {});
  EXPECT_TRUE(trusted.ok) << trusted.message;
}

// A change of DirectorySync.conf takes effect while the server runs; a file
// with an error is reported and the settings in use stay.
TEST(DirectorySettingsFile, IsReadAgainWhenItChanges) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  ASSERT_TRUE(core.Modules().DirectorySync(core, {}, {}).ok);
  core.Modules().DirectoryStarted(core);
  EXPECT_FALSE(core.Modules().PasswordFromDirectory(core, "ZHANGSAN"));

  test::WriteDirectorySettings(server.Home(), slapd.Url(), kLoginWithDirectory);
  EXPECT_TRUE(server.WaitForLog("目录设置已重新读取", test::Scaled(10s)));
  EXPECT_TRUE(core.Modules().PasswordFromDirectory(core, "ZHANGSAN"));

  test::WriteDirectorySettings(server.Home(), slapd.Url(), "colour = blue\n");
  EXPECT_TRUE(server.WaitForLog("目录设置有误，仍使用原来的设置", test::Scaled(10s)));
  EXPECT_TRUE(core.Modules().PasswordFromDirectory(core, "ZHANGSAN"));
}

}  // namespace
}  // namespace corvan
