// The status scan with short intervals, the stop notice and announcements.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "presence/announcements.h"
#include "presence/presence.h"
#include "presence/wiring.h"
#include "server/envelope.h"
#include "storage/config.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::ReplyField;
using test::TestServer;

PublishResult Publish(TestServer& server, const std::optional<std::string>& entered) {
  ServerCore& core = server.Core();
  return PublishAnnouncement(core.Settings(), core.ConfigPath(), NoticeOwnersOf(core), entered);
}

TestServer::Setup Accounts() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", ""}, {"BOB", "pw2", ""}, {"CAROL", "pw3", ""}, {"DAN", "pw4", ""}};
  s.information = "旧公告";
  return s;
}

// Answers every "GetStatus" with the polled name until stopped.
class Answerer {
 public:
  explicit Answerer(test::UdpPeer& peer)
      : thread_([this, &peer] {
          while (!stop_) {
            std::string ip;
            std::uint16_t port = 0;
            auto d = peer.ReceiveFrom(ip, port, 100ms);
            if (!d) continue;
            auto env = ParsedEnvelope::Read(*d);
            if (env && env->Type() == "GetStatus") {
              ++polls_;
              peer.SendTo(ip, port, *d);  // the request names the polled user
            } else if (env && env->Type() == "Offline") {
              std::lock_guard lock(mutex_);
              offline_.push_back(env->Field("username").value_or("") + "@" + env->Field("ip").value_or(""));
            }
          }
        }) {}
  ~Answerer() {
    stop_ = true;
    thread_.join();
  }
  int Polls() const { return polls_; }
  std::vector<std::string> Offline() {
    std::lock_guard lock(mutex_);
    return offline_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> polls_{0};
  std::mutex mutex_;
  std::vector<std::string> offline_;  // "name@ip" of each "Offline" heard
  std::thread thread_;
};

TEST(StatusScan, DropsTheSilentAndKeepsTheAnswering) {
  TestServer::Setup setup = Accounts();
  setup.statusInterval = 200ms;
  setup.silenceLimit = 300ms;
  setup.probeTimeout = 300ms;
  TestServer server(setup);
  FakeClient alive(server, "127.0.0.2");
  FakeClient silent(server, "127.0.0.3");
  ASSERT_TRUE(alive.Login("ALICE", "Pw1"));
  ASSERT_TRUE(silent.Login("BOB", "pw2"));
  Answerer answerer(alive.notices);

  EXPECT_TRUE(test::WaitOnline(server.Core(), [](auto& n) { return n == std::vector<std::string>{"ALICE"}; }));
  // The answering user is polled again and again and stays.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (answerer.Polls() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_GE(answerer.Polls(), 2);
  EXPECT_EQ(answerer.Offline(), std::vector<std::string>{"BOB@127.0.0.3"});
  EXPECT_TRUE(test::IsOnline(server.Core(), "ALICE"));
}

// The polls of one scan wait side by side and without OnlineLock: every
// silent user is asked before any of them is dropped, and requests that need
// the lock are answered meanwhile.
TEST(StatusScan, PollsWaitTogetherWithoutTheLock) {
  TestServer::Setup setup = Accounts();
  setup.probeTimeout = 3s;
  TestServer server(setup);
  std::vector<std::unique_ptr<FakeClient>> clients;
  const std::vector<std::string> names{"ALICE", "BOB", "CAROL"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    clients.push_back(std::make_unique<FakeClient>(server, "127.0.0." + std::to_string(2 + i)));
  }
  {
    MutexLock lock(server.Core().Online().OnlineLock);
    for (std::size_t i = 0; i < names.size(); ++i) {
      TUserOnlineInfo e;
      e.UserName = names[i];
      e.IP = "127.0.0." + std::to_string(2 + i);
      e.LastSeen = Clock::now() - 2min;
      server.Core().Online().OnlineUsers.Add(e);
    }
  }
  StartStatusScan(PresenceOwnersOf(server.Core()));
  for (auto& c : clients) EXPECT_TRUE(c->NextNotice("GetStatus", 2s)) << c->ip;
  EXPECT_EQ(test::OnlineNames(server.Core()).size(), 3u);  // nobody dropped yet
  test::TcpClient query(server.Port(), "127.0.0.9");
  auto list = test::Ask(query, test::Request("GetOnlineUserlist", {}), 2s);
  ASSERT_TRUE(list);
  EXPECT_NE(list->find("CAROL"), std::string::npos);
  EXPECT_TRUE(test::WaitOnline(
      server.Core(), [](auto& n) { return n.empty(); }, 10s));
}

TEST(StatusScan, SignOfLifeDuringThePollKeepsTheEntry) {
  TestServer::Setup setup = Accounts();
  setup.probeTimeout = 1s;
  TestServer server(setup);
  FakeClient a(server, "127.0.0.2");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  {
    MutexLock lock(server.Core().Online().OnlineLock);
    server.Core().Online().OnlineUsers.Find("ALICE")->LastSeen = Clock::now() - 2min;
  }
  StartStatusScan(PresenceOwnersOf(server.Core()));
  ASSERT_TRUE(a.NextNotice("GetStatus"));
  // A heartbeat instead of an answer.
  test::UdpPeer sender("127.0.0.2", test::FreePort());
  sender.SendTo("127.0.0.1", server.Port(), test::Datagram("Online", {{"username", "ALICE"}}));
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(test::IsOnline(server.Core(), "ALICE"));
}

TEST(ServerStop, EveryEntryHearsItOnceThenIsForgotten) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  FakeClient b(server, "127.0.0.3");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_TRUE(b.Login("BOB", "pw2"));
  server.Core().Lifecycle().StopServer();
  for (FakeClient* c : {&a, &b}) EXPECT_TRUE(c->NextNotice("ServerStop")) << c->ip;
  EXPECT_FALSE(a.NextNotice("ServerStop", 200ms));
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());
}

// However far the fan-out lags, the stop waits until "ServerStop" has left:
// meanwhile the UDP listener still answers; it closes only afterwards.
TEST(ServerStop, LeavesBeforeTheListenerCloses) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_TRUE(a.NextNotice("Information"));
  NoticeFanout& lane = server.Core().Fanout();
  const std::uint64_t before = lane.Count().queued;
  lane.Hold(true);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server.Core().Lifecycle().StopServer();
    stopped = true;
  });
  ASSERT_TRUE(test::Eventually([&] { return lane.Count().queued == before + 1; }));
  test::UdpPeer discovery("127.0.0.5", test::FreePort());
  const std::string ask = EnvelopeWriter("AutoGetServer", false).Finish();
  discovery.SendTo("127.0.0.1", server.Port(), ask);
  EXPECT_EQ(discovery.Receive(), "ImServer");
  EXPECT_FALSE(stopped);
  EXPECT_FALSE(a.notices.Receive(50ms));
  lane.Hold(false);
  EXPECT_TRUE(a.NextNotice("ServerStop"));
  stopper.join();
  discovery.SendTo("127.0.0.1", server.Port(), ask);
  EXPECT_FALSE(discovery.Receive(300ms));
}

TEST(Announcements, PublishRules) {
  TestServer server(Accounts());
  FakeClient a(server, "127.0.0.2");
  ASSERT_TRUE(a.Login("ALICE", "Pw1"));
  ASSERT_EQ(ReplyField(*a.NextNotice("Information"), "content"), "旧公告");
  const auto config = server.Home() / "Configure.xml";
  auto stored = [&] {
    std::ifstream in(config, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseConfiguration(bytes).settings.Information;
  };

  // Cancelled, blanks only, or the same text with blanks: nothing changes,
  // the current text is sent anyway.
  for (const std::optional<std::string>& entered :
       {std::optional<std::string>(), std::optional<std::string>("  \t"), std::optional<std::string>(" 旧公告 ")}) {
    PublishResult r = Publish(server, entered);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.changed);
    auto d = a.NextNotice("Information");
    ASSERT_TRUE(d);
    EXPECT_EQ(ReplyField(*d, "content"), "旧公告");
    EXPECT_EQ(ReplyField(*d, "Ver"), "Mini");
    EXPECT_EQ(ReplyField(*d, "time"), "20");
  }
  EXPECT_EQ(stored(), "旧公告");

  PublishResult r = Publish(server, std::string(" 新公告 "));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.changed);
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(server.Core().Settings().Information(), " 新公告 ");
  EXPECT_EQ(stored(), " 新公告 ");
  auto d = a.NextNotice("Information");
  ASSERT_TRUE(d);
  EXPECT_EQ(ReplyField(*d, "content"), " 新公告 ");
}

TEST(Announcements, UnsavedTextIsReported) {
  TestServer server(Accounts());
  const auto config = server.Home() / "Configure.xml";
  std::filesystem::remove(config);
  std::filesystem::create_directory(config);  // the file cannot be written
  PublishResult r = Publish(server, std::string("另一个"));
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(server.Core().Settings().Information(), "另一个");
}

TEST(Announcements, TextWithoutXmlFormIsReportedAndTheFileKept) {
  TestServer server(Accounts());
  const auto config = server.Home() / "Configure.xml";
  auto read = [&] {
    std::ifstream in(config, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string before = read();
  PublishResult r = Publish(server, std::string("响铃\x07"));
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(read(), before);
  EXPECT_EQ(ParseConfiguration(read()).settings.Information, "旧公告");
}

}  // namespace
}  // namespace corvan
