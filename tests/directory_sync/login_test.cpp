// Login with the directory password over real sockets: right, wrong and
// unreachable, a local login answered while the directory is slow, and the
// refused password change.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>
#include "app/modules_default.h"
#include "directory_sync/slapd_support.h"
#include "directory_sync/sync.h"

#include "server/envelope.h"
#include "server/server_core.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::ReplyField;
using test::Slapd;
using test::TestServer;

std::string Reason(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "reason").value_or("<none>") : "<no reply>";
}

TestServer::Setup WithDirectory() {
  TestServer::Setup s;
  s.users = {{"LOCAL", "lpw", "本地用户"}};
  CoreModules m = DefaultModules();
  s.modules = m;
  return s;
}

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
  ASSERT_TRUE(core.Modules().DirectorySync(core, false, false, {}).ok);

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
  ASSERT_TRUE(core.Modules().DirectorySync(core, false, false, {}).ok);

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

TEST(DirectoryLogin, WithoutTheSettingTheStoredPasswordCounts) {
  CORVAN_REQUIRE_SLAPD();
  Slapd slapd(test::SampleDirectory());
  ASSERT_TRUE(slapd.Running());
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url());
  ASSERT_TRUE(core.Modules().DirectorySync(core, false, false, {}).ok);
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
  ASSERT_TRUE(core.Modules().DirectorySync(core, false, false, {}).ok);

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

}  // namespace
}  // namespace corvan
