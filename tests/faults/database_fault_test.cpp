// The database turning read-only or locked under a running server: every
// request that writes answers "Fail" with the database error, reads keep
// working, and afterwards the in-memory directory agrees with the file.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "faults/fault_helpers.h"
#include "storage/directory.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::FakeClient;
using test::TcpClient;
using test::TestServer;

constexpr std::string_view kDatabaseError = "服务器数据库错误，请稍后再试!";

TestServer::Setup Accounts() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "Alice"}, {"BOB", "Pw2", "Bob", "001", 101}};
  return s;
}

std::string Field(const std::optional<std::string>& reply, std::string_view name) {
  return reply ? test::ReplyField(*reply, name).value_or("<none>") : "<no reply>";
}

void Exec(ServerCore& core, const std::string& sql) {
  DatabaseLock lock(core.Db());
  core.Db().Exec(sql);
}

// Every write request fails with the database error; reads answer.
void ExpectWritesRefusedReadsServed(TestServer& server, FakeClient& alice, const std::string& what) {
  TcpClient c(server.Port());
  auto reg = test::Ask(c, test::Request("Reg", {{"username", "eve"}, {"pwd", "e"}, {"organizeNo", "001"}}));
  EXPECT_EQ(Field(reg, "status"), "Fail") << what;
  EXPECT_EQ(Field(reg, "reason"), kDatabaseError) << what;
  auto info = test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "123"}}));
  EXPECT_EQ(Field(info, "status"), "Fail") << what;
  EXPECT_EQ(Field(info, "reason"), kDatabaseError) << what;
  auto pwd = test::Ask(c, test::Request("UpdatePassword", {{"username", "bob"}, {"Oripwd", "Pw2"}, {"Newpwd", "x"}}));
  EXPECT_EQ(Field(pwd, "status"), "Fail") << what;
  EXPECT_EQ(Field(pwd, "reason"), kDatabaseError) << what;

  // An upload cannot be recorded, so its item goes too; a message is lost.
  ASSERT_TRUE(c.SendFrame(test::UploadHeader("wang", "a.txt", "1", "1")));
  ASSERT_TRUE(c.SendRaw("a"));
  ASSERT_TRUE(c.SendFrame(EncodeOfflineMessage("wang", "li", "m")));
  ASSERT_TRUE(test::Ask(c, test::Request("GetOrglist", {}))) << what;  // the upload is over by now
  EXPECT_TRUE(test::WaitUntil([&] { return test::NoUploadFolders(server.Core()); })) << what;

  // Reads: login, the lists, one account's profile.
  FakeClient bob(server, "127.0.0.3");
  EXPECT_EQ(Field(bob.Login("bob", "Pw2"), "reason"), "登录成功") << what;
  auto users = test::Ask(alice.tcp, test::Request("GetUserlist", {}));
  EXPECT_NE(users.value_or("").find("BOB"), std::string::npos) << what;
  auto online = test::Ask(alice.tcp, test::Request("GetOnlineUserlist", {}));
  EXPECT_NE(online.value_or("").find("BOB"), std::string::npos) << what;
  auto profile = test::Ask(alice.tcp, test::Request("GetUserInfo", {{"username", "bob"}}));
  EXPECT_EQ(Field(profile, "status"), "success") << what;
  EXPECT_NE(profile.value_or("").find("<nickname>Bob</nickname>"), std::string::npos) << what;
}

// The accounts in memory and in the file are the same, field by field.
void ExpectMemoryMatchesFile(ServerCore& core) {
  auto snapshot = core.Dir().Get();
  DatabaseLock lock(core.Db());
  Statement st(core.Db(),
               "select a.username, a.pwd, v.nickname, v.tel from authreg a join vcard v on v.username = a.username "
               "order by a.username");
  std::size_t rows = 0;
  while (st.Step()) {
    ++rows;
    const TUserInfo* user = snapshot->FindUser(st.ColumnText(0));
    ASSERT_NE(user, nullptr) << st.ColumnText(0);
    EXPECT_EQ(user->pwd, st.ColumnText(1));
    EXPECT_EQ(user->nickname, st.ColumnText(2));
    EXPECT_EQ(user->tel, st.ColumnText(3));
  }
  EXPECT_EQ(rows, snapshot->Users().size());
  lock.Unlock();
  EXPECT_EQ(test::CountRows(core, "select count(*) from OfflineFiles"), 0);
}

TEST(DatabaseFault, ReadOnlyDatabaseRefusesWritesAndServesReads) {
  TestServer server(Accounts());
  FakeClient alice(server, "127.0.0.2");
  ASSERT_EQ(Field(alice.Login("alice", "Pw1"), "reason"), "登录成功");

  // The connection can no longer write, as when the file has become
  // read-only under it.
  Exec(server.Core(), "PRAGMA query_only = ON");
  ExpectWritesRefusedReadsServed(server, alice, "read-only");
  Exec(server.Core(), "PRAGMA query_only = OFF");
  ExpectMemoryMatchesFile(server.Core());

  // Writable again: the same requests succeed.
  TcpClient c(server.Port());
  EXPECT_EQ(
      Field(test::Ask(c, test::Request("Reg", {{"username", "eve"}, {"pwd", "e"}, {"organizeNo", "001"}})), "status"),
      "success");
  ExpectMemoryMatchesFile(server.Core());
  EXPECT_TRUE(server.Core().Dir().Get()->UserExists("EVE"));
}

// A second process holds the database locked. Statements wait for the busy
// timeout, shortened here so the test does not wait 5 s per request.
TEST(DatabaseFault, LockedDatabaseRefusesWritesAndServesReads) {
  TestServer server(Accounts());
  FakeClient alice(server, "127.0.0.2");
  ASSERT_EQ(Field(alice.Login("alice", "Pw1"), "reason"), "登录成功");
  Exec(server.Core(), "PRAGMA busy_timeout = 100");

  sqlite3* other = nullptr;
  const std::string path = (server.Home() / "Corvan_Server.mdb").string();
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  ExpectWritesRefusedReadsServed(server, alice, "locked");
  ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  ExpectMemoryMatchesFile(server.Core());
  TcpClient c(server.Port());
  EXPECT_EQ(Field(test::Ask(c, test::Request("UpdateInfo", {{"username", "alice"}, {"tel", "123"}})), "status"),
            "success");
  ExpectMemoryMatchesFile(server.Core());
}

}  // namespace
}  // namespace corvan
