// Registration, profile and password changes over real sockets, including a
// database that refuses the write.
#include <gtest/gtest.h>

#include "server/envelope.h"
#include "storage/database.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::ReplyField;
using test::TestServer;

TestServer::Setup Accounts(bool allowReg = true) {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "爱丽丝"}};
  s.allowReg = allowReg;
  return s;
}

std::string Reason(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "reason").value_or("<none>") : "<no reply>";
}
std::string Status(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "status").value_or("<none>") : "<no reply>";
}

std::int64_t Count(ServerCore& core, std::string_view sql) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), sql);
  return st.Step() ? st.ColumnInt64(0) : -1;
}

std::optional<std::string> Reg(test::TcpClient& c, std::vector<std::pair<std::string, std::string>> fields) {
  return test::Ask(c, test::Request("Reg", fields));
}

TEST(Registration, RefusedWhenNotAllowedEvenWithoutStruct) {
  TestServer server(Accounts(false));
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(test::Ask(a.tcp, EnvelopeWriter("Reg", false).Finish())), "服务器不允许注册");
  EXPECT_EQ(Reason(Reg(a.tcp, {{"username", "NEW"}, {"organizeNo", "001"}})), "服务器不允许注册");
}

TEST(Registration, RowsInOrderAndTheStoredAccount) {
  TestServer server(Accounts());
  FakeClient watcher(server, "127.0.0.2");
  ASSERT_EQ(Reason(watcher.Login("ALICE", "Pw1")), "登录成功");
  test::TcpClient c(server.Port());
  EXPECT_FALSE(test::Ask(c, EnvelopeWriter("Reg", false).Finish(), 300ms));
  EXPECT_EQ(Reason(Reg(c, {{"username", " \t "}, {"organizeNo", "001"}})), "用户名不能为空，请重新注册");
  EXPECT_EQ(Reason(Reg(c, {{"username", " alice "}, {"organizeNo", "nope"}})),
            "该用户名已经存在，请选择其它用户名进行注册!");
  EXPECT_EQ(Reason(Reg(c, {{"username", "dave"}, {"organizeNo", " 001"}})), "该组织不存在，请刷新列表选择其它组织!");

  auto ok = Reg(c, {{"username", " dave "}, {"nickname", " 大卫 "}, {"organizeNo", "001"}, {"tel", " 42 "}});
  EXPECT_EQ(Status(ok), "success");
  EXPECT_EQ(Reason(ok), "注册成功!");
  EXPECT_EQ(Reason(Reg(c, {{"username", "DaVe"}, {"organizeNo", "001"}})),
            "该用户名已经存在，请选择其它用户名进行注册!");

  auto dir = server.Core().Dir().Get();
  const TUserInfo* dave = dir->FindUser("DAVE");
  ASSERT_NE(dave, nullptr);
  EXPECT_EQ(dir->Users().back()->username, "DAVE");
  EXPECT_EQ(dave->nickname, "大卫");
  EXPECT_EQ(dave->tel, "42");
  EXPECT_EQ(dave->pwd, "");
  EXPECT_EQ(dave->organizename, "未分组");
  EXPECT_EQ(dave->USERID, 100);
  EXPECT_EQ(Count(server.Core(), "select count(*) from authreg where username='DAVE' and USERID=100"), 1);
  EXPECT_EQ(Count(server.Core(), "select count(*) from vcard where username='DAVE' and tel='42'"), 1);
  EXPECT_TRUE(server.WaitForLog("用户：DAVE注册成功时间："));

  auto notice = watcher.NextNotice("NewUserReg");
  ASSERT_TRUE(notice);
  EXPECT_EQ(ReplyField(*notice, "username"), "DAVE");
  EXPECT_EQ(ReplyField(*notice, "nickname"), " 大卫 ");  // as received
  EXPECT_EQ(ReplyField(*notice, "orgNo"), "001");
  // The new account can log in at once (empty password).
  test::TcpClient d(server.Port(), "127.0.0.3");
  EXPECT_EQ(Reason(test::Ask(d, test::Request("Loginin", {{"username", "dave"}, {"pwd", ""}}))), "登录成功");
}

TEST(ProfileUpdate, CardReplacedTrimmedAndMissingFieldsCleared) {
  TestServer server(Accounts());
  test::TcpClient c(server.Port());
  ASSERT_EQ(Status(test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "1"}, {"email", "a@b"}}))),
            "success");
  auto ok = test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"email", " x@y "}}));
  EXPECT_EQ(Reason(ok), "修改资料成功!");
  const TUserInfo* alice = server.Core().Dir().Get()->FindUser("ALICE");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(alice->email, "x@y");
  EXPECT_EQ(alice->tel, "");
  EXPECT_EQ(alice->nickname, "爱丽丝");
  EXPECT_EQ(Count(server.Core(), "select count(*) from vcard where username='ALICE' and email='x@y' and tel=''"), 1);
  EXPECT_TRUE(server.WaitForLog("用户：ALICE修改资料成功时间："));
  // The name is not trimmed.
  EXPECT_EQ(Reason(test::Ask(c, test::Request("UpdateInfo", {{"username", " alice"}}))), "该用户不存在!");
  EXPECT_FALSE(test::Ask(c, EnvelopeWriter("UpdateInfo", false).Finish(), 300ms));
}

// Texts longer than 255 characters are refused whole: nothing is stored, so
// no account can make every user list large.
TEST(FieldBound, OverlongRegistrationAndProfileTextsAreRefused) {
  TestServer server(Accounts());
  test::TcpClient c(server.Port());
  const std::string huge(1000000, 'x');  // about 1 MiB, within one frame
  auto refused = Reg(c, {{"username", "mallory"}, {"nickname", huge}, {"organizeNo", "001"}});
  EXPECT_EQ(Status(refused), "Fail");
  EXPECT_EQ(Reason(refused), "填写的资料过长，每项不能超过255个字符!");
  EXPECT_EQ(Reason(Reg(c, {{"username", "mallory"}, {"self_desc", std::string(256, 'd')}, {"organizeNo", "001"}})),
            "填写的资料过长，每项不能超过255个字符!");
  EXPECT_EQ(Reason(Reg(c, {{"username", std::string(256, 'm')}, {"organizeNo", "001"}})),
            "填写的资料过长，每项不能超过255个字符!");
  EXPECT_EQ(server.Core().Dir().Get()->FindUser("MALLORY"), nullptr);
  EXPECT_EQ(Count(server.Core(), "select count(*) from authreg where username='MALLORY'"), 0);
  EXPECT_EQ(Count(server.Core(), "select count(*) from vcard where username='MALLORY'"), 0);

  // The bound counts characters, not bytes: 255 Chinese characters pass.
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "长";
  EXPECT_EQ(Reason(Reg(c, {{"username", "carol"}, {"nickname", wide}, {"organizeNo", "001"}})), "注册成功!");
  ASSERT_NE(server.Core().Dir().Get()->FindUser("CAROL"), nullptr);
  EXPECT_EQ(server.Core().Dir().Get()->FindUser("CAROL")->nickname, wide);

  ASSERT_EQ(Status(test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "1"}}))), "success");
  auto info = test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "2"}, {"work_adr", huge}}));
  EXPECT_EQ(Status(info), "Fail");
  EXPECT_EQ(Reason(info), "填写的资料过长，每项不能超过255个字符!");
  EXPECT_EQ(server.Core().Dir().Get()->FindUser("ALICE")->tel, "1");
  EXPECT_EQ(Count(server.Core(), "select count(*) from vcard where username='ALICE' and tel='1'"), 1);
}

// A character GBK lacks can still arrive as a character reference; it is
// stored as one '?', like every text the wire cannot carry.
TEST(FieldBound, CharactersTheWireCannotCarryAreStoredAsQuestionMarks) {
  TestServer server(Accounts());
  test::TcpClient c(server.Port());
  auto raw = [&](const std::string& type, const std::string& fields) {
    return test::Ask(c, "<?xml version=\"1.0\" encoding=\"GB2312\"?><RootNode><Type>" + type + "</Type><Struct>" +
                            fields + "</Struct></RootNode>");
  };
  EXPECT_EQ(Status(raw("Reg", "<username>emo</username><nickname>x&#x1F600;y</nickname><organizeNo>001</organizeNo>")),
            "success");
  EXPECT_EQ(Status(raw("UpdateInfo", "<username>ALICE</username><url>&#x1F600;&#xFFFD;</url>")), "success");
  auto dir = server.Core().Dir().Get();
  EXPECT_EQ(dir->FindUser("EMO")->nickname, "x?y");
  EXPECT_EQ(dir->FindUser("ALICE")->url, "??");
  EXPECT_EQ(Count(server.Core(), "select count(*) from vcard where username='EMO' and nickname='x?y'"), 1);
  EXPECT_EQ(Count(server.Core(),
                  "select count(*) from vcard where username='ALICE' and url='?"
                  "?'"),
            1);
}

TEST(PasswordUpdate, ChecksTheOldPasswordAndTakesEffectAtOnce) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  auto ask = [&](std::vector<std::pair<std::string, std::string>> f) {
    return test::Ask(a.tcp, test::Request("UpdatePassword", f));
  };
  EXPECT_EQ(Reason(ask({{"username", "nobody"}, {"Oripwd", "Pw1"}, {"Newpwd", "x"}})), "该用户名不存在!");
  EXPECT_EQ(Reason(ask({{"username", "alice"}, {"Oripwd", "pw1"}, {"Newpwd", "x"}})), "用户原密码错误!");
  EXPECT_EQ(Reason(ask({{"username", "alice"}, {"Oripwd", "Pw1"}, {"Newpwd", " New "}})), "修改密码成功!");
  EXPECT_TRUE(server.WaitForLog("用户：ALICE修改密码成功时间："));
  EXPECT_EQ(Reason(a.Login("ALICE", "Pw1")), "密码不正确!");
  EXPECT_EQ(Count(server.Core(), "select count(*) from authreg where username='ALICE' and pwd=' New '"), 1);
  // An empty new password; then a request without Oripwd matches it.
  EXPECT_EQ(Reason(ask({{"username", "ALICE"}, {"Oripwd", " New "}})), "修改密码成功!");
  EXPECT_EQ(Reason(ask({{"username", "ALICE"}, {"Newpwd", "z"}})), "修改密码成功!");
  EXPECT_EQ(Reason(a.Login("ALICE", "z")), "登录成功");
}

// A write the database refuses is answered as a failure and changes nothing.
TEST(DatabaseFailure, RefusedWritesAreReportedAndLeaveMemoryAlone) {
  TestServer server(Accounts());
  FakeClient watcher(server, "127.0.0.2");
  ASSERT_EQ(Reason(watcher.Login("ALICE", "Pw1")), "登录成功");
  {
    DatabaseLock lock(server.Core().Db());
    server.Core().Db().Exec("drop table vcard");
  }
  test::TcpClient c(server.Port());
  auto reg = Reg(c, {{"username", "eve"}, {"organizeNo", "001"}});
  EXPECT_EQ(Status(reg), "Fail");
  EXPECT_EQ(Reason(reg), "服务器数据库错误，请稍后再试!");
  EXPECT_FALSE(server.Core().Dir().Get()->UserExists("EVE"));
  EXPECT_EQ(Count(server.Core(), "select count(*) from authreg where username='EVE'"), 0);  // rolled back
  EXPECT_TRUE(server.WaitForLog("用户：EVE注册失败时间："));
  EXPECT_FALSE(watcher.NextNotice("NewUserReg", 300ms));

  auto info = test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "9"}}));
  EXPECT_EQ(Reason(info), "服务器数据库错误，请稍后再试!");
  EXPECT_EQ(server.Core().Dir().Get()->FindUser("ALICE")->tel, "");
  EXPECT_TRUE(server.WaitForLog("用户：ALICE修改资料失败时间："));

  {
    DatabaseLock lock(server.Core().Db());
    server.Core().Db().Exec("drop table authreg");
  }
  auto pwd = test::Ask(c, test::Request("UpdatePassword", {{"username", "alice"}, {"Oripwd", "Pw1"}, {"Newpwd", "n"}}));
  EXPECT_EQ(Reason(pwd), "服务器数据库错误，请稍后再试!");
  EXPECT_EQ(server.Core().Dir().Get()->FindUser("ALICE")->pwd, "Pw1");
  EXPECT_TRUE(server.WaitForLog("用户：ALICE修改密码失败时间："));
}

}  // namespace
}  // namespace corvan
