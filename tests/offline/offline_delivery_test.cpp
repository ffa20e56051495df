// Offline messages and files over real sockets: stored through the server's
// TCP intake, delivered to fake client ports.
#include <gtest/gtest.h>

#include <thread>

#include "offline/delivery_claims.h"
#include "offline/offline.h"
#include "offline/transfer_format.h"
#include "offline/upload.h"
#include "offline/wiring.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeFileClient;
using test::TcpClient;
using test::TestServer;
using test::WaitForRows;
using test::WaitUntil;

constexpr const char* kAllMessages = "select count(*) from OfflineInfo";
constexpr const char* kAllFiles = "select count(*) from OfflineFiles";

std::string Header(std::string_view to, std::string_view name, std::string_view kind, std::string_view size) {
  return EncodeTransferHeader(
      TransferHeader{"li", "Li Nick", std::string(to), std::string(name), std::string(kind), std::string(size)});
}

std::string DocsStream() {
  return *EncodeEnterFolder("Docs") + *EncodeFileRecord("a.txt", 5) + "hello" + *EncodeEnterFolder("Sub") +
         *EncodeFileRecord("b.txt", 3) + "xyz" + EncodeLeaveFolder() + EncodeLeaveFolder();
}

std::string FirstFilePath(ServerCore& core) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), "select FilePath from OfflineFiles where ToUser = 'WANG' order by rowid");
  return st.Step() ? st.ColumnText(0) : std::string();
}

// Parses a received folder stream back into a tree below `dir`.
bool Unpack(const std::string& stream, const fs::path& dir) {
  DiskSink sink(dir);
  UploadMachine m(sink, "Got", true, 0);
  UploadMachine::Result r;
  std::size_t used = m.Feed(stream, r);
  return r == UploadMachine::Result::kDone && used == stream.size();
}

TEST(OfflineMessages, TwoMessagesAreDeliveredByteForByteAsTwoDatagrams) {
  TestServer server;
  test::UdpPeer client("127.0.0.1", server.OfflineInfoPort());
  const std::string first = EncodeOfflineMessage("bob", "li", std::string("hello\0\x01\xFF", 8));
  const std::string second = EncodeOfflineMessage("Bob", "wang", "second message");
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(first));
  ASSERT_TRUE(tcp.SendFrame(second));
  // Too large for one datagram: not stored.
  ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("bob", "li", std::string(kMaxOfflineInfoFrame, 'x'))));
  ASSERT_TRUE(WaitForRows(server.Core(),
                          "select count(*) from OfflineInfo where ToUser = 'BOB' and FromUser in ('LI','WANG')", 2));

  StartSearchOffline(OfflineOwnersOf(server.Core()), "BOB", "127.0.0.1");
  EXPECT_EQ(client.Receive(), first);
  EXPECT_EQ(client.Receive(), second);
  EXPECT_FALSE(client.Receive(300ms));
  EXPECT_TRUE(WaitForRows(server.Core(), kAllMessages, 0));
}

// A message the database refuses is lost alone: the others waiting with it
// for the same write are stored.
TEST(OfflineMessages, AMessageTheDatabaseRefusesLosesOnlyItself) {
  TestServer server;
  ServerCore& core = server.Core();
  {
    DatabaseLock lock(core.Db());
    core.Db().Exec(
        "create trigger RefuseMallory before insert on OfflineInfo when new.FromUser = 'MALLORY' "
        "begin select raise(abort, 'refused'); end");
  }
  {
    // Held while the messages arrive, so that they wait to be written together.
    MutexLock lock(core.OfflineInfoLock);
    for (const char* from : {"li", "mallory", "wang", "zhao"}) {
      StoreOfflineMessage(OfflineOwnersOf(core), EncodeOfflineMessage("bob", from, "hello"));
    }
  }
  EXPECT_TRUE(WaitForRows(core, "select count(*) from OfflineInfo where FromUser in ('LI','WANG','ZHAO')", 3));
  EXPECT_EQ(test::CountRows(core, "select count(*) from OfflineInfo where FromUser = 'MALLORY'"), 0);
}

// The search runs when the delay ends, not when the login happened: a
// message and a file stored during the delay are delivered by it.
TEST(OfflineDelivery, ItemsStoredDuringTheDelayAreDeliveredByTheOneSearch) {
  TestServer::Setup setup;
  setup.offlineDeliveryDelay = 1500ms;
  TestServer server(setup);
  test::UdpPeer messages("127.0.0.1", server.OfflineInfoPort());
  FakeFileClient files(server.OfflineFilePort());
  ASSERT_TRUE(files.Listening());
  StartSearchOffline(OfflineOwnersOf(server.Core()), "bob", "127.0.0.1");

  TcpClient tcp(server.Port());
  const std::string message = EncodeOfflineMessage("bob", "li", "while you waited");
  ASSERT_TRUE(tcp.SendFrame(message));
  ASSERT_TRUE(tcp.SendFrame(Header("bob", "late.txt", "1", "4")));
  ASSERT_TRUE(tcp.SendRaw("late"));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllMessages, 1));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));

  EXPECT_EQ(messages.Receive(5s), message);
  auto got = files.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header, EncodeTransferHeader(TransferHeader{"LI", "Li Nick", "BOB", "late.txt", "1", "4"}));
  EXPECT_EQ(got[0].rest, "START\r\nlate");
  EXPECT_TRUE(WaitForRows(server.Core(), kAllMessages, 0));
  EXPECT_TRUE(WaitForRows(server.Core(), kAllFiles, 0));
  EXPECT_FALSE(messages.Receive(300ms));  // each item once
}

// With nothing stored for the account the search sends nothing and opens no
// connection, while items stored for somebody else stay untouched.
TEST(OfflineDelivery, NothingStoredMeansNoDeliveryAttempt) {
  TestServer server;
  test::UdpPeer messages("127.0.0.1", server.OfflineInfoPort());
  FakeFileClient files(server.OfflineFilePort());
  ASSERT_TRUE(files.Listening());
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("carol", "li", "for carol")));
  ASSERT_TRUE(tcp.SendFrame(Header("carol", "c.txt", "1", "1")));
  ASSERT_TRUE(tcp.SendRaw("c"));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllMessages, 1));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));

  StartSearchOffline(OfflineOwnersOf(server.Core()), "bob", "127.0.0.1");
  EXPECT_FALSE(messages.Receive(800ms));
  EXPECT_EQ(files.MaxConcurrent(), 0);
  EXPECT_EQ(test::CountRows(server.Core(), kAllMessages), 1);
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 1);
}

TEST(OfflineFiles, FileAndEmptyFileAreStoredAndDeliveredWithTheirNames) {
  TestServer server;
  FakeFileClient client(server.OfflineFilePort());
  ASSERT_TRUE(client.Listening());
  TcpClient tcp(server.Port());
  const std::string content = "file content \r\n with bytes \x00\xFF";
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "报告.txt", "1", std::to_string(content.size()))));
  ASSERT_TRUE(tcp.SendRaw(content));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  const fs::path stored = FirstFilePath(server.Core());
  EXPECT_EQ(stored.filename(), "报告.txt");  // UTF-8 on disk
  EXPECT_EQ(stored.parent_path().parent_path(), server.Core().OfflineFilesDir() / "WANG");
  EXPECT_EQ(test::ReadFile(stored), content);
  EXPECT_EQ(test::CountRows(server.Core(),
                            "select count(*) from OfflineFiles where FromUser = 'LI' and FromNick = 'Li Nick' and "
                            "ToUser = 'WANG' and FileType = '1' and FileName = '报告.txt'"),
            1);

  // The connection carries on: an empty file right after.
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "empty", "1", "0")));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 2));

  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  auto got = client.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  for (const auto& t : got) {
    TransferHeader expected{"LI", "Li Nick", "WANG", "", "1", ""};
    if (t.rest.size() > 7) {
      expected.name = "报告.txt";
      expected.size = std::to_string(content.size());
      EXPECT_EQ(t.rest, "START\r\n" + content);
    } else {
      expected.name = "empty";
      expected.size = "0";
      EXPECT_EQ(t.rest, "START\r\n");
    }
    EXPECT_EQ(t.header, EncodeTransferHeader(expected));  // GBK names, as sent
  }
  EXPECT_TRUE(WaitForRows(server.Core(), kAllFiles, 0));
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
}

TEST(OfflineFiles, FolderWithASubfolderAndTwoFilesRoundTrips) {
  TestServer server;
  FakeFileClient client(server.OfflineFilePort());
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "Docs", "2", "0")));
  const std::string stream = DocsStream();
  // In small pieces, as a slow client would send it.
  for (std::size_t i = 0; i < stream.size(); i += 7) ASSERT_TRUE(tcp.SendRaw(stream.substr(i, 7)));
  ASSERT_TRUE(WaitForRows(server.Core(), "select count(*) from OfflineFiles where FileType = '2'", 1));
  const fs::path item = FirstFilePath(server.Core());
  EXPECT_EQ(test::ReadFile(item / "a.txt"), "hello");
  EXPECT_EQ(test::ReadFile(item / "Sub" / "b.txt"), "xyz");

  StartSearchOffline(OfflineOwnersOf(server.Core()), "wang", "127.0.0.1");
  auto got = client.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header, EncodeTransferHeader(TransferHeader{"LI", "Li Nick", "WANG", "Docs", "2", "0"}));
  const std::string start = "START\r\n" + *EncodeEnterFolder("Docs");
  ASSERT_EQ(got[0].rest.substr(0, start.size()), start);
  test::TempDir out;
  ASSERT_TRUE(Unpack(got[0].rest.substr(7), out.Path()));
  EXPECT_EQ(test::ReadFile(out.Path() / "Got" / "a.txt"), "hello");
  EXPECT_EQ(test::ReadFile(out.Path() / "Got" / "Sub" / "b.txt"), "xyz");
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(item.parent_path()); }));
}

TEST(OfflineFiles, EmptyFolderIsSentAsItsRecordAndOneLeaveRecord) {
  TestServer server;
  FakeFileClient client(server.OfflineFilePort());
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "Empty", "2", "0")));
  ASSERT_TRUE(tcp.SendRaw(*EncodeEnterFolder("Empty") + EncodeLeaveFolder()));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  auto got = client.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rest, "START\r\n" + *EncodeEnterFolder("Empty") + EncodeLeaveFolder());
}

TEST(OfflineFiles, BlankRecipientReadsNothingMoreAndKindThreeStoresNoRow) {
  TestServer server;
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("  ", "a.txt", "1", "5")));
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "x", "3", "0")));
  // Both headers took no content: the message frame after them is read as a frame.
  ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("bob", "li", "after")));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllMessages, 1));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
  EXPECT_EQ(test::SubFolders(server.Core().OfflineFilesDir() / "WANG").size(), 1u);  // the empty upload folder
}

TEST(OfflineFiles, RefusedUploadsCloseTheConnectionAndLeaveNothing) {
  const std::string top = *EncodeEnterFolder("Docs");
  struct Case {
    std::string name;
    std::string header;
    std::string content;
  };
  std::vector<Case> cases = {
      {"recipient ..", Header("..", "a", "1", "1"), "x"},
      {"recipient with slash", Header("a/b", "a", "1", "1"), "x"},
      {"item ..", Header("wang", "..", "1", "1"), "x"},
      {"item with backslash", Header("wang", "a\\b", "2", "0"), top},
      {"item .", Header("wang", ".", "2", "0"), top},
      {"item empty", Header("wang", "", "1", "1"), "x"},
      {"record ..", Header("wang", "Docs", "2", "0"), top + *EncodeEnterFolder("..")},
      {"record with slash", Header("wang", "Docs", "2", "0"), top + *EncodeFileRecord("x/y", 1) + "z"},
      {"record over 2005 bytes", Header("wang", "Docs", "2", "0"), top + "07D6"},
      {"size not a number", Header("wang", "a", "1", "12x"), ""},
      {"header over 1001 bytes", Header("wang", "a", "1", "1") + std::string(1001, ' '), "x"},
  };
  TestServer server;
  for (const auto& c : cases) {
    TcpClient tcp(server.Port());
    ASSERT_TRUE(tcp.SendFrame(c.header)) << c.name;
    tcp.SendRaw(c.content);
    EXPECT_TRUE(tcp.WaitClosed()) << c.name;
  }
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
  for (const auto& folder : test::SubFolders(server.Core().OfflineFilesDir())) EXPECT_EQ(folder.filename(), "WANG");
}

TEST(OfflineFiles, ConnectionClosedMidFolderRemovesWhatWasWritten) {
  TestServer server;
  {
    TcpClient tcp(server.Port());
    ASSERT_TRUE(tcp.SendFrame(Header("wang", "Docs", "2", "0")));
    std::string stream = DocsStream();
    ASSERT_TRUE(tcp.SendRaw(stream.substr(0, stream.size() - 40)));
    ASSERT_TRUE(WaitUntil([&] {
      auto folders = test::SubFolders(server.Core().OfflineFilesDir() / "WANG");
      return folders.size() == 1 && fs::exists(folders[0] / "Docs" / "Sub");
    }));
  }
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
}

TEST(OfflineFiles, ClientAnsweringNoGetsNothingAndTheItemIsDeleted) {
  TestServer server;
  FakeFileClient client(server.OfflineFilePort(), "NO");
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "a.txt", "1", "3")));
  ASSERT_TRUE(tcp.SendRaw("abc"));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  auto got = client.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rest, "");
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
}

TEST(OfflineFiles, ClientNotListeningKeepsTheItemAndItsRowForTheNextLogin) {
  TestServer server;
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "a.txt", "1", "3")));
  ASSERT_TRUE(tcp.SendRaw("abc"));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  const std::string path = FirstFilePath(server.Core());
  const std::int64_t rowid = test::CountRows(server.Core(), "select max(rowid) from OfflineFiles");

  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");  // nobody listens on the file port
  // The row never leaves while the attempt runs and fails.
  const auto until = std::chrono::steady_clock::now() + 600ms;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(
        test::CountRows(server.Core(), "select count(*) from OfflineFiles where rowid = " + std::to_string(rowid)), 1);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(WaitUntil([&] { return !DeliveryClaims::Instance().Claimed(path); }));
  EXPECT_EQ(test::ReadFile(path), "abc");

  FakeFileClient client(server.OfflineFilePort());
  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  auto got = client.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rest, "START\r\nabc");
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(path); }));
  EXPECT_TRUE(WaitForRows(server.Core(), kAllFiles, 0));
}

TEST(OfflineFiles, RowsStayWhileTheTransferRunsAndARacingLoginGetsEachItemOnce) {
  TestServer server;
  // The client answers only after a pause, so the transfers are still
  // running when the second login's search comes.
  FakeFileClient client(server.OfflineFilePort(), "OK", 800ms);
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "one", "1", "1")));
  ASSERT_TRUE(tcp.SendRaw("1"));
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "Docs", "2", "0")));
  ASSERT_TRUE(tcp.SendRaw(DocsStream()));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 2));
  std::vector<std::string> paths;
  {
    DatabaseLock lock(server.Core().Db());
    Statement st(server.Core().Db(), "select FilePath from OfflineFiles");
    while (st.Step()) paths.push_back(st.ColumnText(0));
  }

  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  ASSERT_TRUE(WaitUntil(
      [&] { return DeliveryClaims::Instance().Claimed(paths[0]) && DeliveryClaims::Instance().Claimed(paths[1]); }));
  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  // Both rows are still there while the client has not answered.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 2);

  EXPECT_EQ(client.WaitFor(2).size(), 2u);
  EXPECT_TRUE(WaitForRows(server.Core(), kAllFiles, 0));
  // Nothing is sent a second time.
  EXPECT_EQ(client.WaitFor(3, 1500ms).size(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
}

TEST(OfflineFiles, TwoItemsTravelOnTwoConnectionsSideBySide) {
  TestServer server;
  FakeFileClient client(server.OfflineFilePort(), "OK", 300ms);
  TcpClient tcp(server.Port());
  for (const char* name : {"one", "two"}) {
    ASSERT_TRUE(tcp.SendFrame(Header("wang", name, "1", "1")));
    ASSERT_TRUE(tcp.SendRaw("1"));
  }
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 2));
  // Two uploads within one 4.32-second step never share a folder.
  EXPECT_EQ(test::SubFolders(server.Core().OfflineFilesDir() / "WANG").size(), 2u);
  StartSearchOffline(OfflineOwnersOf(server.Core()), "WANG", "127.0.0.1");
  EXPECT_EQ(client.WaitFor(2).size(), 2u);
  // The fake client answers only after a pause, so sends made one after
  // the other would never have two connections open.
  EXPECT_EQ(client.MaxConcurrent(), 2);
}

}  // namespace
}  // namespace corvan
