// The directory lists as clients receive them after the administration
// tool's edits and after a restore of a backup: each reply is the one the
// builders make from the directory as it then stands.
#include "admin/admin_commands.h"

#include <gtest/gtest.h>

#include <fstream>

#include "accounts/replies.h"
#include "base/text.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

using test::TestServer;

class AdminListsTest : public ::testing::Test {
 protected:
  AdminListsTest() : server(Seeded()) {}
  static TestServer::Setup Seeded() {
    TestServer::Setup s;
    s.users = {{"ALICE", "Pw1", "爱丽丝"}};
    return s;
  }
  ServerCore& Core() { return server.Core(); }
  AdminReply Run(std::vector<std::string> argv) { return RunAdminCommand(Core(), argv, AdminContext{}); }
  // Both lists over a new connection, compared byte for byte with the
  // builders' documents for the current directory; both in UTF-8.
  std::string Lists() {
    test::TcpClient client(server.Port());
    const auto dir = Core().Dir().Get();
    auto users = test::Ask(client, test::Request("GetUserlist", {}));
    auto orgs = test::Ask(client, test::Request("GetOrglist", {}));
    EXPECT_EQ(users.value_or("<no reply>"), BuildUserlistReply(*dir));
    EXPECT_EQ(orgs.value_or("<no reply>"), BuildOrglistReply(*dir));
    return GbkToUtf8Lenient(users.value_or("") + orgs.value_or(""));
  }
  TestServer server;
};

TEST_F(AdminListsTest, ListsFollowTheToolsEdits) {
  Lists();
  ASSERT_TRUE(Run({"user", "add", "carl", "--pwd", "1", "--nick", "卡尔", "--org", "001"}).ok);
  EXPECT_NE(Lists().find("<username>CARL</username><nickname>卡尔</nickname>"), std::string::npos);
  ASSERT_TRUE(Run({"user", "set", "CARL", "--nick", "卡洛斯"}).ok);
  EXPECT_NE(Lists().find("<nickname>卡洛斯</nickname>"), std::string::npos);
  ASSERT_TRUE(Run({"org", "rename", "001", "待分配", "--yes"}).ok);
  EXPECT_NE(Lists().find("<Orgname>待分配</Orgname><OrgNo>001</OrgNo>"), std::string::npos);

  const std::string csv = (server.Home() / "in.csv").string();
  std::ofstream(csv) << "username,pwd,nickname,organizeNo\nIMPORTED,1,进口,001\n";
  AdminReply imported = Run({"user", "import", csv});
  ASSERT_TRUE(imported.ok) << imported.message;
  EXPECT_NE(Lists().find("<username>IMPORTED</username>"), std::string::npos);

  ASSERT_TRUE(Run({"user", "del", "CARL", "--yes"}).ok);
  EXPECT_EQ(Lists().find("CARL"), std::string::npos);
}

TEST_F(AdminListsTest, ListsFollowARestoredBackup) {
  const std::string backup = (server.Home() / "before").string();
  ASSERT_TRUE(Run({"backup", backup}).ok);
  ASSERT_TRUE(Run({"user", "add", "later", "--pwd", "1", "--nick", "后加", "--org", "001"}).ok);
  ASSERT_NE(Lists().find("LATER"), std::string::npos);  // the lists of this directory are built

  Core().Lifecycle().StopServer();
  AdminReply restored = Run({"restore", backup + ".mdb", "--yes"});
  ASSERT_TRUE(restored.ok) << restored.message;
  Core().Lifecycle().StartServer();
  const std::string lists = Lists();
  EXPECT_EQ(lists.find("LATER"), std::string::npos);
  EXPECT_NE(lists.find("<username>ALICE</username>"), std::string::npos);
}

}  // namespace
}  // namespace corvan
