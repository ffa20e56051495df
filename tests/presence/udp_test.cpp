// The datagrams clients send to the server port, over real sockets.
#include <gtest/gtest.h>

#include "presence/presence.h"
#include "presence/wiring.h"
#include "server/envelope.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::Datagram;
using test::FakeClient;
using test::ReplyField;
using test::TestServer;

TestServer::Setup Accounts() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "爱丽丝"}, {"BOB", "pw2", "鲍勃"}};
  return s;
}

// A client's socket for sending to the server port.
struct Sender {
  explicit Sender(TestServer& s, const std::string& ip = "127.0.0.5") : server(s), peer(ip, test::FreePort()) {}
  void Send(const std::string& bytes) { peer.SendTo("127.0.0.1", server.Port(), bytes); }
  TestServer& server;
  test::UdpPeer peer;
};

// A marker datagram handled after everything sent before it: the handler
// serves datagrams in arrival order, so its answer means the others are done.
void Settle(Sender& s) {
  s.Send(EnvelopeWriter("AutoGetServer", false).Finish());
  ASSERT_EQ(s.peer.Receive(3s), "ImServer");
}

TEST(Udp, DiscoveryAnsweredFromTheServerPortToTheSendersPort) {
  TestServer server(Accounts());
  test::UdpPeer client("127.0.0.2", test::FreePort());
  client.SendTo("127.0.0.1", server.Port(), Datagram("AutoGetServer", {{"anything", "x"}}));
  std::string ip;
  std::uint16_t port = 0;
  EXPECT_EQ(client.ReceiveFrom(ip, port, 3s), "ImServer");
  EXPECT_EQ(port, server.Port());
}

TEST(Udp, HeartbeatRefreshesOrAddsKnownAccountsOnly) {
  TestServer server(Accounts());
  Sender s(server);
  s.Send(Datagram("Online", {{"username", "nobody"}}));
  s.Send(Datagram("online", {{"username", "alice"}}));  // unknown Type
  s.Send(Datagram("Online", {{"username", "alice"}}));
  Settle(s);
  {
    MutexLock lock(server.Core().Online().OnlineLock);
    ASSERT_EQ(server.Core().Online().OnlineUsers.Size(), 1u);
    auto& e = *server.Core().Online().OnlineUsers.Find("ALICE");
    EXPECT_EQ(e.UserName, "ALICE");
    EXPECT_EQ(e.IP, "127.0.0.5");
    EXPECT_EQ(e.Mac, "");
    e.LastSeen = Clock::now() - std::chrono::hours(1);
  }
  Sender other(server, "127.0.0.6");
  other.Send(Datagram("Online", {{"username", "ALICE"}}));
  Settle(other);
  MutexLock lock(server.Core().Online().OnlineLock);
  const auto& e = server.Core().Online().OnlineUsers.Entries()[0];
  EXPECT_EQ(e.IP, "127.0.0.5");  // a heartbeat never moves the entry
  EXPECT_GT(e.LastSeen, Clock::now() - std::chrono::minutes(1));
}

TEST(Udp, LogoutAnnouncesFromTheListenerRemovesAndLogs) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_TRUE(b.Login("BOB", "pw2"));
  Sender s(server, "127.0.0.2");
  s.Send(Datagram("Loginout", {{"username", "alice"}}));
  for (FakeClient* c : {&a, &b}) {  // the leaving user hears it too
    std::string ip;
    std::uint16_t port = 0;
    std::optional<std::string> d;
    while ((d = c->notices.ReceiveFrom(ip, port, 3s)) && ParsedEnvelope::Read(*d)->Type() != "Offline") {
    }
    ASSERT_TRUE(d) << c->ip;
    EXPECT_EQ(port, server.Port());
    EXPECT_EQ(ReplyField(*d, "username"), "ALICE");
    EXPECT_EQ(ReplyField(*d, "ip"), "127.0.0.2");
  }
  EXPECT_TRUE(server.WaitForLog("用户：ALICE下线 时间："));
  EXPECT_EQ(test::OnlineNames(server.Core()), std::vector<std::string>{"BOB"});

  // Without a name: announced with an empty name, nothing removed.
  s.Send(EnvelopeWriter("Loginout").Finish());
  auto empty = b.NextNotice("Offline");
  ASSERT_TRUE(empty);
  EXPECT_EQ(ReplyField(*empty, "username"), "");
  EXPECT_TRUE(server.WaitForLog("用户：下线 时间："));
  // Without Struct: nothing at all.
  s.Send(EnvelopeWriter("Loginout", false).Finish());
  EXPECT_FALSE(b.NextNotice("Offline", 300ms));
  EXPECT_EQ(test::OnlineNames(server.Core()), std::vector<std::string>{"BOB"});
}

TEST(Udp, StatusStoredAndRelayedToEveryAddress) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_TRUE(b.Login("BOB", "pw2"));
  Sender s(server);
  s.Send(Datagram("Status", {{"username", "bob"}, {"status", "lower"}}));  // wrong element: ignored
  s.Send(Datagram("Status", {{"username", "bob"}, {"Status", "离开"}}));
  for (FakeClient* c : {&a, &b}) {
    auto d = c->NextNotice("Status");
    ASSERT_TRUE(d) << c->ip;
    EXPECT_EQ(ReplyField(*d, "username"), "BOB");
    EXPECT_EQ(ReplyField(*d, "Status"), "离开");
  }
  EXPECT_FALSE(a.NextNotice("Status", 200ms));
  MutexLock lock(server.Core().Online().OnlineLock);
  EXPECT_EQ(server.Core().Online().OnlineUsers.Find("BOB")->Status, "离开");
}

// A burst of one user's events (logins over TCP, status changes and logouts
// over UDP): an observer hears that user's notices in the order of the
// events, however far the sending lags behind them.
TEST(Udp, ObserverHearsOneUsersNoticesInEventOrderUnderABurst) {
  TestServer server(Accounts());
  FakeClient observer(server, "127.0.0.2");
  FakeClient user(server, "127.0.0.3");
  ASSERT_TRUE(observer.Login("ALICE", "Pw1"));
  ASSERT_TRUE(observer.NextNotice("Information"));  // its own login's notices are in
  Sender s(server, "127.0.0.3");
  std::vector<std::string> expected;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(user.Login("BOB", "pw2"));
    expected.push_back("Online BOB 127.0.0.3");
    for (int i = 0; i < 30; ++i) {
      const std::string status = "s" + std::to_string(round) + "-" + std::to_string(i);
      s.Send(Datagram("Status", {{"username", "BOB"}, {"Status", status}}));
      expected.push_back("Status BOB " + status);
    }
    s.Send(Datagram("Loginout", {{"username", "BOB"}}));
    expected.push_back("Offline BOB 127.0.0.3");
    Settle(s);  // the logout is handled before the next login
  }
  std::vector<std::string> heard;
  while (heard.size() < expected.size()) {
    std::optional<std::string> line = observer.NextNoticeLine();
    if (!line) break;
    heard.push_back(*line);
  }
  EXPECT_EQ(heard, expected);
}

TEST(Udp, NetBlockPollsAtOnceAndDropsTheSilent) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_TRUE(b.Login("BOB", "pw2"));
  Sender s(server);
  s.Send(Datagram("UserNetBlock", {{"username", "nobody"}}));
  s.Send(Datagram("UserNetBlock", {{"username", "alice"}}));
  EXPECT_TRUE(a.NextNotice("GetStatus"));  // not answered
  auto offline = b.NextNotice("Offline");
  ASSERT_TRUE(offline);
  EXPECT_EQ(ReplyField(*offline, "username"), "ALICE");
  EXPECT_EQ(test::OnlineNames(server.Core()), std::vector<std::string>{"BOB"});
}

TEST(Udp, OversizeDatagramIsDropped) {
  TestServer server(Accounts());
  Sender s(server);
  std::string big = Datagram("Online", {{"username", "ALICE"}, {"pad", std::string(9000, 'x')}});
  ASSERT_GT(big.size(), 8192u);
  s.Send(big);
  // Handled directly too, as the listener would hand it over.
  UDPServerUDPRead(PresenceOwnersOf(server.Core()), big, "127.0.0.5", 1);
  Settle(s);
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());
}

TEST(Udp, MalformedDatagramsAreIgnored) {
  TestServer server(Accounts());
  Sender s(server);
  s.Send("not xml");
  s.Send("<RootNode><Struct/></RootNode>");
  s.Send(Datagram("Online", {}));  // no username
  Settle(s);
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());
}

}  // namespace
}  // namespace corvan
