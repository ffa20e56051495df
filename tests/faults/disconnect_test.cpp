// Clients that go away in the middle of a frame or an upload: the server
// keeps serving everyone else, writes no row and leaves no partial item.
#include <gtest/gtest.h>

#include "faults/fault_helpers.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;
using test::WaitUntil;

constexpr const char* kAllMessages = "select count(*) from OfflineInfo";
constexpr const char* kAllFiles = "select count(*) from OfflineFiles";

TestServer::Setup OneAccount() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "Alice"}};
  return s;
}

// What a client sends before it vanishes.
struct Cut {
  std::string what;
  std::string bytes;
};

std::vector<Cut> Cuts() {
  const std::string login = test::Request("Loginin", {{"username", "alice"}, {"pwd", "Pw1"}});
  const std::string message = EncodeOfflineMessage("wang", "li", "a message that never ends");
  const std::string fileHeader = test::UploadHeader("wang", "big.bin", "1", "200000");
  const std::string folderHeader = test::UploadHeader("wang", "Docs", "2", "0");
  const std::string docs = test::DocsStream();
  return {
      {"count line", "12"},
      {"count line with CR", "4096\r"},
      {"request body", EncodeFrame(login) + login.substr(0, login.size() / 2)},
      {"offline message body", EncodeFrame(message) + message.substr(0, 60)},
      {"upload header frame", EncodeFrame(fileHeader) + fileHeader.substr(0, 20)},
      {"file content", EncodeFrame(fileHeader) + fileHeader + std::string(100000, 'x')},
      {"file content, none yet", EncodeFrame(fileHeader) + fileHeader},
      {"folder record length", EncodeFrame(folderHeader) + folderHeader + docs.substr(0, 2)},
      {"folder record body", EncodeFrame(folderHeader) + folderHeader + docs.substr(0, 10)},
      {"file inside a folder", EncodeFrame(folderHeader) + folderHeader + docs.substr(0, docs.find("hello") + 2)},
      {"before the last leave record", EncodeFrame(folderHeader) + folderHeader + docs.substr(0, docs.size() - 1)},
  };
}

TEST(Disconnect, MidFrameOrUploadLeavesNothingAndOthersAreServed) {
  TestServer server(OneAccount());
  test::FakeClient other(server, "127.0.0.2");
  ASSERT_EQ(test::ReplyField(other.Login("ALICE", "Pw1").value_or(""), "reason"), "登录成功");
  ASSERT_TRUE(WaitUntil([&] { return server.Core().Connections().Count() == 1; }));

  for (const Cut& cut : Cuts()) {
    {
      TcpClient gone(server.Port());
      ASSERT_TRUE(gone.Connected()) << cut.what;
      ASSERT_TRUE(gone.SendRaw(cut.bytes)) << cut.what;
      // Let the server take in what was sent before the connection breaks,
      // so the break hits the state the bytes put it in.
      auto list = test::Ask(other.tcp, test::Request("GetUserlist", {}));
      ASSERT_TRUE(list) << cut.what;
    }
    // The connection is dropped and everything it began is undone.
    EXPECT_TRUE(WaitUntil([&] { return server.Core().Connections().Count() == 1; })) << cut.what;
    EXPECT_TRUE(WaitUntil([&] { return test::NoUploadFolders(server.Core()); })) << cut.what;
    EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0) << cut.what;
    EXPECT_EQ(test::CountRows(server.Core(), kAllMessages), 0) << cut.what;
    // The other client is still served on its own connection.
    auto info = test::Ask(other.tcp, test::Request("GetUserInfo", {{"username", "alice"}}));
    EXPECT_TRUE(info) << cut.what;
  }

  // And after all that, a complete upload on a fresh connection is stored.
  TcpClient good(server.Port());
  ASSERT_TRUE(good.SendFrame(test::UploadHeader("wang", "ok.txt", "1", "2")));
  ASSERT_TRUE(good.SendRaw("ok"));
  EXPECT_TRUE(test::WaitForRows(server.Core(), kAllFiles, 1));
}

// A reset (RST instead of FIN) in the middle of a file is a broken
// connection too, and so is a client that stops with unread replies queued.
TEST(Disconnect, ResetMidUploadAndUnreadRepliesLeaveNothing) {
  TestServer server(OneAccount());
  {
    UniqueFd gone = test::ConnectRaw(server.Port());
    const std::string header = test::UploadHeader("wang", "big.bin", "1", "1000000");
    ASSERT_TRUE(test::SendAll(gone.Get(), EncodeFrame(header) + header + std::string(300000, 'r')));
    ASSERT_TRUE(WaitUntil([&] { return test::Tree(server.Core().OfflineFilesDir() / "WANG").size() >= 2; }));
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(gone.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  }
  {
    TcpClient lazy(server.Port());
    const std::string list = test::Request("GetUserlist", {});
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(lazy.SendFrame(list));
  }
  EXPECT_TRUE(WaitUntil([&] { return server.Core().Connections().Count() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return test::NoUploadFolders(server.Core()); }));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);

  test::FakeClient after(server, "127.0.0.3");
  EXPECT_EQ(test::ReplyField(after.Login("ALICE", "Pw1").value_or(""), "reason"), "登录成功");
}

}  // namespace
}  // namespace corvan
