// SIGTERM to the real program while uploads are arriving and deliveries are
// waiting: after a restart every row has its item on disk, and everything
// stored before the signal is delivered at the next login.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "app/modules_default.h"
#include "faults/fault_helpers.h"
#include "faults/server_process.h"
#include "storage/config.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ServerProcess;
using test::TcpClient;
using test::WaitUntil;

struct Stored {
  std::set<std::string> messages;                          // SendContent of every OfflineInfo row
  std::vector<std::pair<std::string, std::string>> files;  // FilePath, FileType
};

Stored ReadStored(const fs::path& dbPath) {
  Database db;
  Stored out;
  if (!db.Open(dbPath.string(), false).IsOk()) return out;
  DatabaseLock lock(db);
  Statement m(db, "select SendContent from OfflineInfo");
  while (m.Step()) out.messages.insert(m.ColumnBlob(0));
  Statement f(db, "select FilePath, FileType from OfflineFiles order by rowid");
  while (f.Step()) out.files.emplace_back(f.ColumnText(0), f.ColumnText(1));
  return out;
}

TEST(Sigterm, StoredItemsSurviveAStopMidUploadAndAreDeliveredAfterTheRestart) {
  test::TempDir home;
  const std::uint16_t port = test::FreePort();
  const fs::path dbPath = home.Path() / "Corvan_Server.mdb";
  test::SeedDatabase(dbPath, {{"WANG", "pw", "Wang"}, {"LI", "pw", "Li", "001", 101}});
  WriteConfigValue(home.Path() / "Configure.xml", "ServerPort", std::to_string(port));

  std::vector<std::string> messages;
  {
    ServerProcess server(home.Path());
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(WaitUntil([&] { return TcpClient(port).Connected(); }, 30s));

    TcpClient sender(port);
    for (int i = 0; i < 5; ++i) {
      messages.push_back(EncodeOfflineMessage("wang", "li", "message " + std::to_string(i)));
      ASSERT_TRUE(sender.SendFrame(messages.back()));
    }
    for (int i = 0; i < 3; ++i) {
      const std::string body = "file " + std::to_string(i);
      ASSERT_TRUE(sender.SendFrame(
          test::UploadHeader("wang", "f" + std::to_string(i) + ".txt", "1", std::to_string(body.size()))));
      ASSERT_TRUE(sender.SendRaw(body));
    }
    ASSERT_TRUE(sender.SendFrame(test::UploadHeader("wang", "Docs", "2", "0")));
    ASSERT_TRUE(sender.SendRaw(test::DocsStream()));
    ASSERT_TRUE(WaitUntil(
        [&] {
          Stored s = ReadStored(dbPath);
          return s.messages.size() == 5 && s.files.size() == 4;
        },
        30s));

    // In flight at the signal: two uploads half received, a login whose
    // deliveries wait, and a message that may or may not be stored.
    TcpClient halfFile(port);
    ASSERT_TRUE(halfFile.SendFrame(test::UploadHeader("wang", "half.bin", "1", "100000")));
    ASSERT_TRUE(halfFile.SendRaw(std::string(50000, 'h')));
    TcpClient halfFolder(port);
    const std::string docs = test::DocsStream();
    ASSERT_TRUE(halfFolder.SendFrame(test::UploadHeader("wang", "HalfDocs", "2", "0")));
    ASSERT_TRUE(halfFolder.SendRaw(docs.substr(0, docs.size() / 2)));
    TcpClient wang(port, "127.0.0.9");
    auto login = test::Ask(wang, test::Request("Loginin", {{"username", "wang"}, {"pwd", "pw"}}));
    ASSERT_EQ(test::ReplyField(login.value_or(""), "reason"), "登录成功");
    ASSERT_TRUE(sender.SendFrame(EncodeOfflineMessage("wang", "li", "racing the signal")));

    EXPECT_EQ(server.Terminate(), 0);
  }

  // Every row names an item that is there and whole.
  Stored after = ReadStored(dbPath);
  for (const auto& m : messages) EXPECT_EQ(after.messages.count(m), 1u);
  ASSERT_GE(after.files.size(), 4u);
  for (const auto& [path, type] : after.files) {
    EXPECT_TRUE(type == "1" ? fs::is_regular_file(path) : fs::is_directory(path)) << path;
    EXPECT_EQ(fs::path(path).filename() == "half.bin" || fs::path(path).filename() == "HalfDocs", false) << path;
  }

  // The uploads the stop cut short left nothing behind.
  for (const auto& p : test::Tree(home.Path() / "OfflineFiles")) {
    EXPECT_NE(p.filename(), "half.bin");
    EXPECT_NE(p.filename(), "HalfDocs");
  }

  // The restart: the same data folder, served in-process with client ports
  // of the test's own, and WANG logs in.
  CoreOptions options;
  options.home = home.Path();
  options.ClientPort = test::FreePort();
  options.OfflineInfoPort = test::FreePort();
  options.OfflineFilePort = test::FreePort();
  options.offlineDeliveryDelay = 100ms;
  UseDefaultWiring(options);
  test::UdpPeer messagePort("127.0.0.1", options.OfflineInfoPort);
  test::FakeFileClient filePort(options.OfflineFilePort);
  ASSERT_TRUE(filePort.Listening());
  ServerCore core(options);
  ASSERT_TRUE(core.Lifecycle().OpenDatabase().IsOk());
  ASSERT_TRUE(core.Lifecycle().FirstShow());
  TcpClient wang(core.Lifecycle().ListeningPort());
  auto login = test::Ask(wang, test::Request("Loginin", {{"username", "wang"}, {"pwd", "pw"}}));
  ASSERT_EQ(test::ReplyField(login.value_or(""), "reason"), "登录成功");

  std::set<std::string> received;
  while (received.size() < after.messages.size()) {
    auto datagram = messagePort.Receive(10s);
    if (!datagram) break;
    received.insert(*datagram);
  }
  for (const auto& m : after.messages) EXPECT_EQ(received.count(m), 1u);
  auto transfers = filePort.WaitFor(after.files.size(), 20s);
  EXPECT_EQ(transfers.size(), after.files.size());
  std::set<std::string> contents;
  for (const auto& t : transfers) contents.insert(t.rest);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(contents.count("START\r\nfile " + std::to_string(i)), 1u) << i;
}

}  // namespace
}  // namespace corvan
