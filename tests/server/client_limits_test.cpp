// What one client may make the server hold: requests in flight, unsent
// replies, partial frames of all clients together, connections per address.
// A client at a bound is paused, not dropped, and the others are served.
#include <gtest/gtest.h>

#include <thread>

#include "server/frame.h"
#include "support/accounts_support.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;

std::string BackType(const std::optional<std::string>& reply) {
  return reply ? test::ReplyField(*reply, "BackType").value_or("<none>") : "<no reply>";
}

std::string Framed(const std::string& body) { return EncodeFrame(body) + body; }

// A login from another machine is answered while the flood is held back.
void OtherClientLogsIn(TestServer& server) {
  test::FakeClient other(server, "127.0.0.9");
  auto reply = other.Login("ALICE", "Pw1");
  ASSERT_TRUE(reply);
  EXPECT_EQ(test::ReplyField(*reply, "reason"), "登录成功");
}

TEST(ClientLimits, PipelinedListRequestsArePausedNotDropped) {
  TestServer::Setup setup;
  setup.users = {{"ALICE", "Pw1", "Alice"}};
  for (int i = 0; i < 1000; ++i) setup.users.push_back({"USER" + std::to_string(i), "", "昵称" + std::to_string(i)});
  TestServer server(setup);
  const ClientLimits limits;

  // 500 user lists of about 200 KB each, asked for at once and not read:
  // far more than the server holds for one client.
  const int kRequests = 500;
  std::string flood;
  for (int i = 0; i < kRequests; ++i) flood += Framed(test::Request("GetUserlist", {}));
  TcpClient greedy(server.Port());
  ASSERT_TRUE(greedy.SendRaw(flood));
  ASSERT_TRUE(test::WaitUntil(
      [&] { return server.Core().Connections().Memory().Peak().unsent >= limits.unsentReplyBytes; }, 30s));

  OtherClientLogsIn(server);

  const ClientMemory::Peaks peak = server.Core().Connections().Memory().Peak();
  EXPECT_LE(peak.inFlight, limits.requestsInFlight);
  // The limit plus the replies of the requests in flight when it was reached.
  EXPECT_LT(peak.unsent, limits.unsentReplyBytes + limits.requestsInFlight * 512 * 1024);

  // The paused client catches up and gets every reply.
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(BackType(greedy.ReadFrame(10s)), "GetUserlist")
        << i << " held " << server.Core().Connections().Memory().Held() << " conns "
        << server.Core().Connections().Count();
  }
  EXPECT_EQ(BackType(test::Ask(greedy, test::Request("GetOrglist", {}))), "GetOrglist");
}

TEST(ClientLimits, PipelinedLargeFramesStayWithinTheRequestLimit) {
  TestServer::Setup setup;
  setup.users = {{"ALICE", "Pw1", "Alice"}};
  TestServer server(setup);
  const ClientLimits limits;

  // 64 frames of 1 MiB, each a request, sent without reading a reply.
  const std::string frame = Framed(test::Request("GetOrglist", {{"pad", std::string(1040000, 'p')}}));
  TcpClient greedy(server.Port());
  std::thread sender([&] {
    for (int i = 0; i < 64; ++i) {
      if (!greedy.SendRaw(frame)) return;
    }
  });
  OtherClientLogsIn(server);
  sender.join();
  for (int i = 0; i < 64; ++i) ASSERT_EQ(BackType(greedy.ReadFrame(10s)), "GetOrglist") << i;

  const ClientMemory::Peaks peak = server.Core().Connections().Memory().Peak();
  EXPECT_LE(peak.inFlight, limits.requestsInFlight);
  // Bodies in flight, one partial frame and what one read brings in.
  EXPECT_LT(peak.held, (limits.requestsInFlight + 4) * frame.size());
  EXPECT_TRUE(test::WaitUntil([&] { return server.Core().Connections().Memory().Held() == 0; }, 10s))
      << server.Core().Connections().Memory().Held();
}

TEST(ClientLimits, OverTheBudgetPartialFramesWaitAndLoginsAreServed) {
  TestServer::Setup setup;
  setup.users = {{"ALICE", "Pw1", "Alice"}};
  setup.limits = ClientLimits{};
  setup.limits->bufferBudget = 2 * 1024 * 1024;
  TestServer server(setup);

  // Three unfinished 1 MiB bodies fill the budget.
  const std::string big = Framed(test::Request("GetOrglist", {{"pad", std::string(1040000, 'p')}}));
  std::vector<std::unique_ptr<TcpClient>> holders;
  for (int i = 0; i < 3; ++i) {
    holders.push_back(std::make_unique<TcpClient>(server.Port(), "127.0.0.3"));
    ASSERT_TRUE(holders.back()->SendRaw(std::string_view(big).substr(0, 900000)));
  }
  ASSERT_TRUE(test::WaitUntil([&] { return server.Core().Connections().Memory().Held() >= 2 * 1024 * 1024; }, 10s));

  // A further large frame is held back; a login still gets through.
  TcpClient late(server.Port(), "127.0.0.4");
  std::thread sender([&] { late.SendRaw(big); });
  OtherClientLogsIn(server);
  EXPECT_FALSE(late.ReadFrame(300ms));

  // Room comes back when the holders go; the waiting frame is then served.
  holders.clear();
  EXPECT_EQ(BackType(late.ReadFrame(10s)), "GetOrglist");
  sender.join();
}

TEST(ClientLimits, ConnectionsPerAddressAreCapped) {
  TestServer::Setup setup;
  setup.limits = ClientLimits{};
  setup.limits->connectionsPerAddress = 3;
  TestServer server(setup);
  const std::string ask = test::Request("GetOrglist", {});

  std::vector<std::unique_ptr<TcpClient>> open;
  for (int i = 0; i < 3; ++i) {
    open.push_back(std::make_unique<TcpClient>(server.Port(), "127.0.0.5"));
    ASSERT_EQ(BackType(test::Ask(*open.back(), ask)), "GetOrglist") << i;
  }
  TcpClient fourth(server.Port(), "127.0.0.5");
  EXPECT_TRUE(fourth.WaitClosed());
  TcpClient elsewhere(server.Port(), "127.0.0.6");
  EXPECT_EQ(BackType(test::Ask(elsewhere, ask)), "GetOrglist");

  // A closed connection frees its place.
  open.pop_back();
  ASSERT_TRUE(test::WaitUntil([&] { return server.Core().Connections().Count() == 3; }, 5s));
  TcpClient again(server.Port(), "127.0.0.5");
  EXPECT_EQ(BackType(test::Ask(again, ask)), "GetOrglist");
}

}  // namespace
}  // namespace corvan
