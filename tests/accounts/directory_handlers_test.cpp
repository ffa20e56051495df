// The directory lists over real sockets: each reply is the one the builders
// make from the directory as it stands, after every kind of change made
// from a client or the console, and a reply already queued keeps its bytes.
#include <gtest/gtest.h>

#include "accounts/directory_admin.h"
#include "accounts/replies.h"
#include "base/text.h"
#include "support/accounts_support.h"
#include "support/offline_support.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TestServer;

TestServer::Setup TwoAccounts() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "爱丽丝"}, {"BOB", "Pw2", "鲍勃"}};
  return s;
}

UserForm Form(std::string name, std::string nick, std::string org = "001") {
  UserForm f;
  f.username = std::move(name);
  f.pwd = "pw";
  f.nickname = std::move(nick);
  f.organizeNo = std::move(org);
  f.orgShown = "未分组";
  f.userId = "100";
  return f;
}

class DirectoryListsTest : public ::testing::Test {
 protected:
  DirectoryListsTest() : server(TwoAccounts()), client(server.Port()) {}

  ServerCore& Core() { return server.Core(); }
  std::string Ask(std::string_view type) {
    auto reply = test::Ask(client, test::Request(type, {}));
    return reply ? *reply : "<no reply>";
  }
  // Both lists as answered, each compared byte for byte with the document
  // the builders make from the current directory; the user list in UTF-8.
  std::string Users() {
    const auto dir = Core().Dir().Get();
    const std::string users = Ask("GetUserlist");
    EXPECT_EQ(users, BuildUserlistReply(*dir));
    EXPECT_EQ(Ask("GetOrglist"), BuildOrglistReply(*dir));
    return GbkToUtf8Lenient(users);
  }
  std::string Orgs() {
    const auto dir = Core().Dir().Get();
    const std::string orgs = Ask("GetOrglist");
    EXPECT_EQ(orgs, BuildOrglistReply(*dir));
    EXPECT_EQ(Ask("GetUserlist"), BuildUserlistReply(*dir));
    return GbkToUtf8Lenient(orgs);
  }

  TestServer server;
  test::TcpClient client;
};

TEST_F(DirectoryListsTest, ListsFollowRegistrationAndProfileUpdates) {
  EXPECT_NE(Users().find("<nickname>鲍勃</nickname>"), std::string::npos);
  EXPECT_EQ(Ask("GetUserlist"), Ask("GetUserlist"));

  auto reg =
      test::Ask(client, test::Request("Reg", {{"username", "dave"}, {"nickname", "大卫"}, {"organizeNo", "001"}}));
  ASSERT_EQ(test::ReplyField(reg.value_or(""), "status"), "success");
  EXPECT_NE(Users().find("<username>DAVE</username><nickname>大卫</nickname>"), std::string::npos);

  const auto before = Core().Dir().Get();
  auto update = test::Ask(client, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "8848"}}));
  ASSERT_EQ(test::ReplyField(update.value_or(""), "status"), "success");
  EXPECT_NE(Core().Dir().Get(), before);  // a new snapshot, its lists built anew
  Users();
  auto info = test::Ask(client, test::Request("GetUserInfo", {{"username", "alice"}}));
  EXPECT_NE(GbkToUtf8Lenient(info.value_or("")).find("<tel>8848</tel>"), std::string::npos);
}

TEST_F(DirectoryListsTest, ListsFollowEveryConsoleEdit) {
  Users();
  Database& db = Core().Db();
  Directory& dir = Core().Dir();

  ASSERT_TRUE(SaveNewUser(dir, db, Form("erin", "艾琳")).IsOk());
  EXPECT_NE(Users().find("<username>ERIN</username><nickname>艾琳</nickname>"), std::string::npos);
  ASSERT_TRUE(SaveUser(dir, db, Form("ERIN", "新昵称"), "ERIN").IsOk());
  EXPECT_NE(Users().find("<nickname>新昵称</nickname>"), std::string::npos);

  Result<std::string> made = NewOrg(dir, db, "Root", "研发部", "5");
  ASSERT_TRUE(made.IsOk());
  const std::string* code = &made.Value();
  EXPECT_NE(Orgs().find("<Orgname>研发部</Orgname><OrgNo>" + *code + "</OrgNo>"), std::string::npos);
  ASSERT_TRUE(MoveUsers(dir, db, {"ERIN"}, *code).IsOk());
  EXPECT_NE(Users().find("<username>ERIN</username><nickname>新昵称</nickname><OrgNo>" + *code), std::string::npos);

  ASSERT_TRUE(RenameOrg(dir, db, *code, "开发部", "5").IsOk());
  const std::string renamed = Orgs();
  EXPECT_NE(renamed.find("<Orgname>开发部</Orgname>"), std::string::npos);
  EXPECT_EQ(renamed.find("研发部"), std::string::npos);
  ASSERT_TRUE(RenameOrg(dir, db, "Root", "新公司", "0").IsOk());
  EXPECT_NE(Orgs().find("<CompanyName>新公司</CompanyName>"), std::string::npos);

  ASSERT_TRUE(DeleteUser(dir, db, "BOB").IsOk());
  EXPECT_EQ(Users().find("BOB"), std::string::npos);
  ASSERT_TRUE(DeleteOrg(dir, db, *code).IsOk());
  EXPECT_EQ(Orgs().find("开发部"), std::string::npos);
  EXPECT_EQ(Users().find("ERIN"), std::string::npos);
}

// Replies too large for the socket wait in the connection's queue; a change
// made meanwhile leaves them as they were when answered.
TEST(DirectoryListsQueued, AQueuedListKeepsItsBytesAfterAChange) {
  TestServer server(TwoAccounts());
  // Five thousand accounts in memory only (lists of about 400 KB).
  server.Core().Dir().Update([](Directory::Draft& draft) {
    for (int i = 0; i < 5000; ++i) {
      auto user = std::make_shared<TUserInfo>();
      user->username = "USER" + std::to_string(i);
      user->nickname = "昵称" + std::to_string(i);
      user->organizeNo = "001";
      draft.users.push_back(std::move(user));
    }
    return true;
  });
  const std::string oldList = BuildUserlistReply(*server.Core().Dir().Get());

  // About 16 MB of replies: more than the socket buffers take.
  constexpr int kAsks = 40;
  test::TcpClient greedy(server.Port());
  for (int i = 0; i < kAsks; ++i) ASSERT_TRUE(greedy.SendFrame(test::Request("GetUserlist", {})));
  ASSERT_TRUE(test::WaitUntil([&] { return server.Core().Connections().Memory().Peak().unsent > 0; }, 10s));

  ASSERT_TRUE(SaveNewUser(server.Core().Dir(), server.Core().Db(), Form("zed", "后来者")).IsOk());
  const std::string newList = BuildUserlistReply(*server.Core().Dir().Get());
  ASSERT_NE(newList, oldList);

  // Each reply is one of the two lists, whole; the first was answered
  // before the change.
  for (int i = 0; i < kAsks; ++i) {
    auto reply = greedy.ReadFrame(10s);
    ASSERT_TRUE(reply) << i;
    if (i == 0) {
      EXPECT_EQ(*reply, oldList);
    } else {
      EXPECT_TRUE(*reply == oldList || *reply == newList) << i;
    }
  }
  EXPECT_EQ(test::Ask(greedy, test::Request("GetUserlist", {}), 10s), newList);
}

}  // namespace
}  // namespace corvan
