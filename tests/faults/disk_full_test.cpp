// The disk filling up during an upload, made with a file-size limit on the
// process (RLIMIT_FSIZE, SIGXFSZ ignored so a write past it fails with EFBIG
// instead of ending the process): the upload fails cleanly, what was stored
// before stays whole, and the server goes on serving.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "faults/fault_helpers.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;
using test::WaitUntil;

constexpr const char* kAllMessages = "select count(*) from OfflineInfo";
constexpr const char* kAllFiles = "select count(*) from OfflineFiles";

// Lowers the soft file-size limit for its lifetime.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    ::signal(SIGXFSZ, previousHandler_);
  }
  bool Ok() const { return ok_; }

 private:
  rlimit previous_{};
  sighandler_t previousHandler_ = SIG_DFL;
  bool ok_ = false;
};

TEST(DiskFull, UploadPastTheLimitFailsCleanlyAndEarlierItemsStay) {
  TestServer::Setup setup;
  setup.users = {{"ALICE", "Pw1", "Alice"}};
  TestServer server(setup);
  const fs::path dbFile = server.Home() / "Corvan_Server.mdb";

  // Stored before the disk fills: a file, a folder and a message.
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "kept.txt", "1", "4")));
  ASSERT_TRUE(tcp.SendRaw("kept"));
  ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "Docs", "2", "0")));
  ASSERT_TRUE(tcp.SendRaw(test::DocsStream()));
  ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("wang", "li", "before")));
  ASSERT_TRUE(test::WaitForRows(server.Core(), kAllFiles, 2));
  ASSERT_TRUE(test::WaitForRows(server.Core(), kAllMessages, 1));
  const std::vector<std::string> kept = test::StoredPaths(server.Core().Db());
  ASSERT_EQ(kept.size(), 2u);

  {
    // Room enough for the database to go on growing a little, not for a
    // 1 MiB file.
    const rlim_t limit = static_cast<rlim_t>(fs::file_size(dbFile)) + 256 * 1024;
    FileSizeLimit full(limit);
    ASSERT_TRUE(full.Ok());

    struct Case {
      std::string what;
      std::string header;
      std::string content;
    };
    const std::string big(1024 * 1024, 'b');
    const std::vector<Case> cases = {
        {"file", test::UploadHeader("wang", "big.bin", "1", std::to_string(big.size())), big},
        {"file in a folder", test::UploadHeader("wang", "Tree", "2", "0"),
         *EncodeEnterFolder("Tree") + *EncodeFileRecord("big.bin", big.size()) + big + EncodeLeaveFolder()},
    };
    for (const Case& c : cases) {
      TcpClient up(server.Port());
      ASSERT_TRUE(up.SendFrame(c.header)) << c.what;
      up.SendRaw(c.content);  // the server may close before it has taken everything
      EXPECT_TRUE(up.WaitClosed()) << c.what;
    }
    // Nothing of either upload remains: two upload folders, the kept ones.
    EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").size() == 2; }));
    EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 2);

    // Still serving while the disk is full: a login, a small upload, a message.
    test::FakeClient alice(server, "127.0.0.2");
    EXPECT_EQ(test::ReplyField(alice.Login("ALICE", "Pw1").value_or(""), "reason"), "登录成功");
    ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "small.txt", "1", "5")));
    ASSERT_TRUE(tcp.SendRaw("small"));
    ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("wang", "li", "during")));
    EXPECT_TRUE(test::WaitForRows(server.Core(), kAllFiles, 3));
    EXPECT_TRUE(test::WaitForRows(server.Core(), kAllMessages, 2));
  }

  // The items stored before are whole.
  const std::vector<std::string> after = test::StoredPaths(server.Core().Db());
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], kept[0]);
  EXPECT_EQ(after[1], kept[1]);
  EXPECT_EQ(test::ReadFile(kept[0]), "kept");
  EXPECT_EQ(test::ReadFile(fs::path(kept[1]) / "a.txt"), "hello");
  EXPECT_EQ(test::ReadFile(fs::path(kept[1]) / "Sub" / "b.txt"), "xyz");
  EXPECT_EQ(test::ReadFile(after[2]), "small");
  EXPECT_EQ(test::CountRows(server.Core(), "select count(*) from OfflineFiles where FileName in ('big.bin','Tree')"),
            0);
}

// Not a byte may be written any more, the database's journal included: an
// upload that needs no content write still fails at its row, and its item
// is removed; once there is room again the next upload is stored.
TEST(DiskFull, RowThatCannotBeWrittenTakesItsItemWithIt) {
  TestServer server;
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "kept.txt", "1", "4")));
  ASSERT_TRUE(tcp.SendRaw("kept"));
  ASSERT_TRUE(test::WaitForRows(server.Core(), kAllFiles, 1));
  const std::string ping = test::Request("GetOrglist", {});
  {
    FileSizeLimit full(0);
    ASSERT_TRUE(full.Ok());
    // The reply to the request after the upload comes once the upload has
    // been recorded or undone: the connection reads on only then.
    ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "empty.txt", "1", "0")));
    ASSERT_TRUE(tcp.SendFrame(ping));
    ASSERT_TRUE(tcp.ReadFrame());
    ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "Docs", "2", "0")));
    ASSERT_TRUE(tcp.SendRaw(*EncodeEnterFolder("Docs") + *EncodeEnterFolder("Sub") + EncodeLeaveFolder() +
                            EncodeLeaveFolder()));
    ASSERT_TRUE(tcp.SendFrame(ping));
    ASSERT_TRUE(tcp.ReadFrame());
    EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 1);
    EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").size() == 1; }));
  }
  const auto paths = test::StoredPaths(server.Core().Db());
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(test::ReadFile(paths[0]), "kept");
  ASSERT_TRUE(tcp.SendFrame(test::UploadHeader("wang", "later.txt", "1", "1")));
  ASSERT_TRUE(tcp.SendRaw("l"));
  EXPECT_TRUE(test::WaitForRows(server.Core(), kAllFiles, 2));
  EXPECT_EQ(test::SubFolders(server.Core().OfflineFilesDir() / "WANG").size(), 2u);
}

}  // namespace
}  // namespace corvan
