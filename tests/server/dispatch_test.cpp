// Where requests are answered: cheap ones on the thread that read them,
// without overtaking an earlier request of the same connection.
#include "server/dispatch.h"

#include <gtest/gtest.h>

#include <future>

#include "server/envelope.h"
#include "server/frame.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;

TestServer::Setup WithBob() {
  TestServer::Setup s;
  s.users = {{"BOB", "pw2", "鲍勃"}};
  return s;
}

std::string Framed(const std::string& body) { return EncodeFrame(body) + body; }

std::string BackType(const std::optional<std::string>& reply) {
  if (!reply) return "(none)";
  auto env = ParsedEnvelope::Read(*reply);
  return env ? env->Field("BackType").value_or("(no BackType)") : "(not XML)";
}

// Keeps the online lane busy (without its lock) until released or destroyed.
class BusyLane {
 public:
  explicit BusyLane(ServerCore& core) {
    std::shared_future<void> released = release_.get_future().share();
    core.Run().PostOnlineLane([released] { released.wait_for(10s); });
  }
  ~BusyLane() { Release(); }
  void Release() {
    if (!done_) release_.set_value();
    done_ = true;
  }

 private:
  std::promise<void> release_;
  bool done_ = false;
};

TEST(Dispatch, CheapRequestIsAnsweredWhileItsLaneIsBusy) {
  TestServer server(WithBob());
  BusyLane lane(server.Core());
  TcpClient client(server.Port());
  ASSERT_TRUE(client.SendFrame(test::Request("GetUserInfo", {{"username", "bob"}})));
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "GetUserInfo");
  ASSERT_TRUE(client.SendFrame(test::Request("GetOrglist", {})));
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "GetOrglist");
}

TEST(Dispatch, CheapRequestDoesNotOvertakeAnEarlierQueuedOne) {
  TestServer server(WithBob());
  BusyLane lane(server.Core());
  TcpClient client(server.Port());
  // Both in one write: the second is read while the first waits on the lane.
  ASSERT_TRUE(client.SendRaw(Framed(test::Request("GetOnlineUserlist", {})) +
                             Framed(test::Request("GetUserInfo", {{"username", "bob"}}))));
  EXPECT_FALSE(client.ReadFrame(300ms));
  lane.Release();
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "GetOnlineUserlist");
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "GetUserInfo");
}

TEST(Dispatch, CheapRequestWaitsOnTheLaneWhileItsLockIsHeld) {
  TestServer server(WithBob());
  TcpClient client(server.Port());
  {
    MutexLock held(server.Core().Online().OnlineLock);
    ASSERT_TRUE(client.SendFrame(test::Request("GetUserInfo", {{"username", "bob"}})));
    EXPECT_FALSE(client.ReadFrame(300ms));
  }
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "GetUserInfo");
}

TEST(Dispatch, LockedAndSlowRequestsAreNeverAnsweredOnTheReader) {
  TestServer server(WithBob());
  BusyLane lane(server.Core());
  TcpClient client(server.Port());
  // A login runs on the online lane only: it waits for the lane.
  ASSERT_TRUE(client.SendFrame(test::Request("Loginin", {{"username", "bob"}, {"pwd", "wrong"}})));
  EXPECT_FALSE(client.ReadFrame(300ms));
  lane.Release();
  EXPECT_EQ(BackType(client.ReadFrame(3s)), "Loginin");
}

}  // namespace
}  // namespace corvan
