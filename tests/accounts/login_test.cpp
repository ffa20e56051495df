// Login over real sockets: refusals, the probe of another machine, address
// takeover and the "Online" broadcast. Fake machines use 127.0.0.x sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/text.h"
#include "server/envelope.h"
#include "support/accounts_support.h"
#include "support/timing.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::ReplyField;
using test::TestServer;

TestServer::Setup Accounts() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "爱丽丝"}, {"BOB", "pw2", "鲍勃"}, {"CAROL", "pw3", "卡萝"}};
  s.information = "欢迎";
  return s;
}

std::string Reason(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "reason").value_or("<none>") : "<no reply>";
}

// Answers the next "GetStatus" that reaches `peer` with `answer`.
std::thread AnswerProbe(test::UdpPeer& peer, std::string answer) {
  return std::thread([&peer, answer = std::move(answer)] {
    std::string ip;
    std::uint16_t port = 0;
    // Notices that arrived earlier are skipped.
    while (auto d = peer.ReceiveFrom(ip, port, 3s)) {
      auto type = ParsedEnvelope::Read(*d);
      if (type && type->Type() == "GetStatus") {
        peer.SendTo(ip, port, answer);
        return;
      }
    }
  });
}

// Where a probe came from, to answer it later.
struct Probe {
  std::string ip;
  std::uint16_t port = 0;
};
std::optional<Probe> AwaitProbe(test::UdpPeer& peer) {
  Probe p;
  while (auto d = peer.ReceiveFrom(p.ip, p.port, 3s)) {
    auto type = ParsedEnvelope::Read(*d);
    if (type && type->Type() == "GetStatus") return p;
  }
  return std::nullopt;
}

TEST(Login, RefusalsComeInTheirOrder) {
  TestServer server(test::WithoutLoginThrottle(Accounts()));
  FakeClient a(server, "127.0.0.2");
  // An unknown name is reported before a missing password.
  EXPECT_EQ(Reason(test::Ask(a.tcp, test::Request("Loginin", {{"username", "nobody"}}))), "该用户不存在!");
  EXPECT_EQ(Reason(test::Ask(a.tcp, test::Request("Loginin", {{"username", "alice"}}))), "密码不正确!");
  EXPECT_EQ(Reason(a.Login("alice", "pw1")), "密码不正确!");  // passwords keep their case
  EXPECT_EQ(Reason(a.Login("ALICE", "")), "密码不正确!");
  // Without a user name there is no reply at all.
  EXPECT_FALSE(test::Ask(a.tcp, test::Request("Loginin", {{"pwd", "Pw1"}}), 300ms));
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());
  // A TCP "Loginout" is ignored.
  EXPECT_FALSE(test::Ask(a.tcp, test::Request("Loginout", {{"username", "ALICE"}}), 300ms));

  auto reply = a.Login("alice", "Pw1", "00-AA");
  ASSERT_TRUE(reply);
  EXPECT_EQ(GbkToUtf8Lenient(*reply),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>Info</Type><Struct>"
            "<BackType>Loginin</BackType><status>success</status><reason>登录成功</reason>"
            "<nickname>爱丽丝</nickname><ip>127.0.0.2</ip><company/></Struct></RootNode>\r\n");
  EXPECT_TRUE(server.WaitForLog("用户：ALICE登录!时间："));
  MutexLock lock(server.Core().Online().OnlineLock);
  ASSERT_EQ(server.Core().Online().OnlineUsers.Size(), 1u);
  const auto& e = server.Core().Online().OnlineUsers.Entries()[0];
  EXPECT_EQ(e.IP, "127.0.0.2");
  EXPECT_EQ(e.Mac, "00-AA");
  EXPECT_EQ(e.NickName, "");
}

// Guesses at a local account: after two failures the password is not
// checked for a minute (the right one neither), with one status-log line for
// the burst; then the right password logs in. The current password of
// "UpdatePassword" is counted the same way.
TEST(Login, GuessesAreThrottled) {
  test::ThrottleClock clock;
  TestServer server(test::WithLoginThrottle(Accounts(), clock));
  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("alice", "guess1")), "密码不正确!");
  EXPECT_EQ(Reason(a.Login("alice", "guess2")), "密码不正确!");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Reason(a.Login("alice", "Pw1")), "密码不正确!") << i;
  FakeClient b(server, "127.0.0.3");
  EXPECT_EQ(Reason(b.Login("alice", "Pw1")), "密码不正确!");  // from any machine
  EXPECT_TRUE(server.WaitForLog("用户：ALICE密码错误次数过多"));
  auto lines = server.LogLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("密码错误次数过多") != std::string::npos; }),
            1);
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());

  clock.Advance(60s);
  auto ok = a.Login("alice", "Pw1");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;

  auto change = [&](const char* old, const char* fresh) {
    return Reason(
        test::Ask(b.tcp, test::Request("UpdatePassword", {{"username", "bob"}, {"Oripwd", old}, {"Newpwd", fresh}})));
  };
  EXPECT_EQ(change("x", "y"), "用户原密码错误!");
  EXPECT_EQ(change("z", "y"), "用户原密码错误!");
  EXPECT_EQ(change("pw2", "new"), "用户原密码错误!");
  clock.Advance(60s);
  EXPECT_EQ(change("pw2", "new"), "修改密码成功!");
}

TEST(Login, OnlineReachesEveryEntryAndInformationTheNewUser) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1")), "登录成功");
  auto own = a.NextNotice("Online");
  ASSERT_TRUE(own);
  EXPECT_EQ(ReplyField(*own, "username"), "ALICE");
  auto info = a.NextNotice("Information");
  ASSERT_TRUE(info);
  EXPECT_EQ(ReplyField(*info, "content"), "欢迎");

  ASSERT_EQ(Reason(b.Login("BOB", "pw2")), "登录成功");
  for (FakeClient* c : {&a, &b}) {
    auto notice = c->NextNotice("Online");
    ASSERT_TRUE(notice) << c->ip;
    EXPECT_EQ(ReplyField(*notice, "username"), "BOB");
    EXPECT_EQ(ReplyField(*notice, "ip"), "127.0.0.3");
  }
  EXPECT_FALSE(a.NextNotice("Information", 200ms));  // only the new user gets it
}

TEST(Login, AnsweredProbeRefusesAndRefreshes) {
  TestServer server(Accounts());
  FakeClient first(server, "127.0.0.2");
  FakeClient second(server, "127.0.0.3");
  ASSERT_EQ(Reason(first.Login("ALICE", "Pw1")), "登录成功");
  auto answerer = AnswerProbe(first.notices, test::Datagram("Whatever", {{"username", "ALICE"}}));
  EXPECT_EQ(Reason(second.Login("alice", "Pw1")), "此用户已经在其它机器登录!");
  answerer.join();
  MutexLock lock(server.Core().Online().OnlineLock);
  ASSERT_EQ(server.Core().Online().OnlineUsers.Size(), 1u);
  EXPECT_EQ(server.Core().Online().OnlineUsers.Entries()[0].IP, "127.0.0.2");
}

TEST(Login, SilentOrWrongProbeAnswerMovesTheEntryInPlace) {
  TestServer server(Accounts());
  FakeClient first(server, "127.0.0.2");
  FakeClient other(server, "127.0.0.4");
  FakeClient second(server, "127.0.0.3");
  ASSERT_EQ(Reason(first.Login("ALICE", "Pw1", "OLD")), "登录成功");
  ASSERT_EQ(Reason(other.Login("BOB", "pw2")), "登录成功");

  // Silence: the login succeeds after the probe time-out; the entry keeps
  // its place and takes the new address and Mac.
  EXPECT_EQ(Reason(second.Login("ALICE", "Pw1", "NEW")), "登录成功");
  {
    MutexLock lock(server.Core().Online().OnlineLock);
    const auto& entries = server.Core().Online().OnlineUsers.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].UserName, "ALICE");
    EXPECT_EQ(entries[0].IP, "127.0.0.3");
    EXPECT_EQ(entries[0].Mac, "NEW");
  }
  // An answer naming somebody else (letter case counts) is no answer.
  auto answerer = AnswerProbe(second.notices, test::Datagram("GetStatus", {{"username", "alice"}}));
  EXPECT_EQ(Reason(first.Login("ALICE", "Pw1")), "登录成功");
  answerer.join();
  EXPECT_EQ(test::OnlineNames(server.Core()), (std::vector<std::string>{"ALICE", "BOB"}));
}

TEST(Login, ProbeAnsweredWithGarbageDropsTheStaleEntry) {
  TestServer server(Accounts());
  FakeClient first(server, "127.0.0.2");
  FakeClient other(server, "127.0.0.4");
  FakeClient second(server, "127.0.0.3");
  ASSERT_EQ(Reason(first.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_EQ(Reason(other.Login("BOB", "pw2")), "登录成功");
  auto answerer = AnswerProbe(first.notices, "not xml at all");
  EXPECT_EQ(Reason(second.Login("ALICE", "Pw1")), "登录成功");
  answerer.join();
  // Removed, then recorded anew at the end.
  EXPECT_EQ(test::OnlineNames(server.Core()), (std::vector<std::string>{"BOB", "ALICE"}));
}

TEST(Login, SameMachineLogsInAgainWithoutProbe) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_EQ(Reason(b.Login("BOB", "pw2")), "登录成功");
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1")), "登录成功");
  EXPECT_FALSE(a.NextNotice("GetStatus", 200ms));
  EXPECT_EQ(test::OnlineNames(server.Core()), (std::vector<std::string>{"BOB", "ALICE"}));
}

TEST(Login, SecondUserAtAnAddressDisplacesTheFirst) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient watcher(server, "127.0.0.4");
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_EQ(Reason(watcher.Login("CAROL", "pw3")), "登录成功");
  test::TcpClient bobSameMachine(server.Port(), "127.0.0.2");
  auto reply = test::Ask(bobSameMachine, test::Request("Loginin", {{"username", "bob"}, {"pwd", "pw2"}}));
  EXPECT_EQ(Reason(reply), "登录成功");
  EXPECT_EQ(test::OnlineNames(server.Core()), (std::vector<std::string>{"CAROL", "BOB"}));
  auto offline = watcher.NextNotice("Offline");
  ASSERT_TRUE(offline);
  EXPECT_EQ(ReplyField(*offline, "username"), "ALICE");
  EXPECT_EQ(ReplyField(*offline, "ip"), "127.0.0.2");
}

// While the fan-out lane is held (a long fan-out still sending), logins are
// answered; their notices follow in order once it goes on.
TEST(Login, AnsweredWhileTheFanOutStillSends) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  server.Core().Fanout().Hold(true);
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_EQ(Reason(b.Login("BOB", "pw2")), "登录成功");
  EXPECT_FALSE(a.notices.Receive(50ms));                 // nothing has left yet
  EXPECT_EQ(server.Core().Fanout().Count().queued, 4u);  // "Online" and "Information" of each
  server.Core().Fanout().Hold(false);
  EXPECT_EQ(a.NextNoticeLine(), "Online ALICE 127.0.0.2");
  EXPECT_EQ(a.NextNoticeLine(), "Information  ");
  EXPECT_EQ(a.NextNoticeLine(), "Online BOB 127.0.0.3");
  EXPECT_EQ(b.NextNoticeLine(), "Online BOB 127.0.0.3");
}

// ALICE is listed at 127.0.0.2, a machine that does not answer; she logs in
// again from 127.0.0.3 and the server asks 127.0.0.2. Until the answer (or
// the time-out) her login is parked: another account's login is answered
// meanwhile.
TEST(Login, ProbeOfAnotherMachineDoesNotHoldOtherLogins) {
  TestServer::Setup setup = Accounts();
  setup.probeTimeout = test::Scaled(2s);
  TestServer server(setup);
  FakeClient old(server, "127.0.0.2");
  FakeClient again(server, "127.0.0.3");
  FakeClient bob(server, "127.0.0.4");
  ASSERT_EQ(Reason(old.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_TRUE(again.tcp.SendFrame(test::Request("Loginin", {{"username", "ALICE"}, {"pwd", "Pw1"}})));
  ASSERT_TRUE(old.NextNotice("GetStatus"));  // the probe waits for its answer now
  EXPECT_EQ(Reason(bob.Login("BOB", "pw2")), "登录成功");
  EXPECT_FALSE(again.tcp.ReadFrame(50ms));  // ALICE still waits
  EXPECT_EQ(Reason(again.tcp.ReadFrame(setup.probeTimeout + 3s)), "登录成功");
  EXPECT_EQ(test::OnlineNames(server.Core()), (std::vector<std::string>{"ALICE", "BOB"}));
}

// A second login of an account whose first login waits for its probe waits
// for that verdict, then is checked as if it had come after: the table gives
// what the probed machine does, where the second login comes from, whether
// the machine it then finds listed answers, and the replies and the entry
// that follow.
TEST(Login, SecondLoginOfTheProbedAccountGetsItsOwnVerdictAfterTheFirst) {
  struct Case {
    std::string what;
    bool oldAnswers;         // 127.0.0.2 answers the probes
    std::string secondFrom;  // where the second login comes from
    bool firstAnswers;       // 127.0.0.3, where the first login came from, answers
    std::string firstReply, secondReply, listedAt;
  };
  const std::string ok = "登录成功", elsewhere = "此用户已经在其它机器登录!";
  const std::vector<Case> cases{
      {"old machine gone; the second login finds the first one's machine alive", false, "127.0.0.4", true, ok,
       elsewhere, "127.0.0.3"},
      {"old machine gone; nobody answers the second probe either", false, "127.0.0.4", false, ok, ok, "127.0.0.4"},
      {"old machine gone; the same machine tries again, without a probe", false, "127.0.0.3", false, ok, ok,
       "127.0.0.3"},
      {"old machine alive: both refused, the entry stays", true, "127.0.0.4", false, elsewhere, elsewhere, "127.0.0.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestServer::Setup setup = Accounts();
    setup.probeTimeout = test::Scaled(1s);
    TestServer server(setup);
    FakeClient old(server, "127.0.0.2");
    FakeClient first(server, "127.0.0.3");
    test::TcpClient second(server.Port(), c.secondFrom);
    ASSERT_EQ(Reason(old.Login("ALICE", "Pw1")), ok);

    const std::string login = test::Request("Loginin", {{"username", "ALICE"}, {"pwd", "Pw1"}});
    ASSERT_TRUE(first.tcp.SendFrame(login));
    std::optional<Probe> probe = AwaitProbe(old.notices);
    ASSERT_TRUE(probe);
    ASSERT_TRUE(second.SendFrame(login));
    ASSERT_TRUE(test::Eventually([&] {
      MutexLock lock(server.Core().Online().OnlineLock);
      return server.Core().Online().LoginTurns.Waiting("ALICE") == 1;
    }));
    std::thread answerer;
    const std::string alive = test::Datagram("GetStatus", {{"username", "ALICE"}});
    if (c.oldAnswers) {
      answerer = AnswerProbe(old.notices, alive);  // the second probe
      old.notices.SendTo(probe->ip, probe->port, alive);
    } else if (c.firstAnswers) {
      answerer = AnswerProbe(first.notices, alive);
    }
    EXPECT_EQ(Reason(first.tcp.ReadFrame(setup.probeTimeout + 3s)), c.firstReply);
    EXPECT_EQ(Reason(second.ReadFrame(setup.probeTimeout + 3s)), c.secondReply);
    if (answerer.joinable()) answerer.join();
    MutexLock lock(server.Core().Online().OnlineLock);
    ASSERT_EQ(server.Core().Online().OnlineUsers.Size(), 1u);
    EXPECT_EQ(server.Core().Online().OnlineUsers.Entries()[0].IP, c.listedAt);
    EXPECT_EQ(server.Core().Online().LoginTurns.Waiting("ALICE"), 0u);
    EXPECT_FALSE(server.Core().Online().LoginTurns.Held("ALICE"));
  }
}

// The verdict is applied to the entry as it stands when it comes: a user who
// logged out while the probe waited is not listed again by a valid answer,
// and the login is refused as the answer says.
TEST(Login, ProbeVerdictMeetsTheEntryAsItIsNow) {
  TestServer server(Accounts());
  FakeClient old(server, "127.0.0.2");
  FakeClient again(server, "127.0.0.3");
  ASSERT_EQ(Reason(old.Login("ALICE", "Pw1")), "登录成功");
  ASSERT_TRUE(again.tcp.SendFrame(test::Request("Loginin", {{"username", "ALICE"}, {"pwd", "Pw1"}})));
  std::optional<Probe> probe = AwaitProbe(old.notices);
  ASSERT_TRUE(probe);
  old.notices.SendTo("127.0.0.1", server.Port(), test::Datagram("Loginout", {{"username", "ALICE"}}));
  ASSERT_TRUE(test::WaitOnline(server.Core(), [](auto& names) { return names.empty(); }));
  old.notices.SendTo(probe->ip, probe->port, test::Datagram("GetStatus", {{"username", "ALICE"}}));
  EXPECT_EQ(Reason(again.tcp.ReadFrame()), "此用户已经在其它机器登录!");
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());
}

TEST(DirectoryQueries, AnswerFromMemory) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  auto orgs = test::Ask(a.tcp, test::Request("GetOrglist", {}));
  ASSERT_TRUE(orgs);
  EXPECT_NE(GbkToUtf8Lenient(*orgs).find("<CompanyName>组织机构</CompanyName><Class><Org><Orgname>未分组</Orgname>"
                                         "<OrgNo>001</OrgNo><ParNo>Root</ParNo><Id>100</Id></Org></Class>"),
            std::string::npos);
  EXPECT_FALSE(test::Ask(a.tcp, test::Request("GetUserInfo", {}), 300ms));
  EXPECT_EQ(Reason(test::Ask(a.tcp, test::Request("GetUserInfo", {{"username", "nobody"}}))), "该用户不存在!");
  auto info = test::Ask(a.tcp, test::Request("GetUserInfo", {{"username", "bob"}}));
  ASSERT_TRUE(info);
  EXPECT_EQ(ReplyField(*info, "status"), "success");
  EXPECT_NE(GbkToUtf8Lenient(*info).find("<username>BOB</username><nickname>鲍勃</nickname>"), std::string::npos);

  auto empty = test::Ask(a.tcp, test::Request("GetOnlineUserlist", {}));
  ASSERT_TRUE(empty);
  EXPECT_NE(GbkToUtf8Lenient(*empty).find("<Class/>"), std::string::npos);
  ASSERT_EQ(Reason(a.Login("ALICE", "Pw1", "M1")), "登录成功");
  auto online = test::Ask(a.tcp, test::Request("GetOnlineUserlist", {}));
  ASSERT_TRUE(online);
  EXPECT_NE(GbkToUtf8Lenient(*online).find("<User><username>ALICE</username><IP>127.0.0.2</IP><Mac>M1</Mac>"
                                           "<nickname/><status/></User>"),
            std::string::npos);
}

}  // namespace
}  // namespace corvan
