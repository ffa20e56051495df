// An upload's content reaches the disk before its row: every file and
// folder of the item, and the folders naming it, are synced while the row
// does not exist yet; when a sync fails, no row is written at all.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "offline/transfer_format.h"
#include "support/offline_support.h"
#include "support/sync_hook.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::SyncHook;
using test::TcpClient;
using test::TestServer;
using test::WaitForRows;

constexpr const char* kAllFiles = "select count(*) from OfflineFiles";

std::string Header(std::string_view name, std::string_view kind, std::string_view size) {
  return EncodeTransferHeader(
      TransferHeader{"li", "Li Nick", "wang", std::string(name), std::string(kind), std::string(size)});
}

bool Below(const fs::path& path, const fs::path& dir) {
  auto rel = path.lexically_relative(dir);
  return !rel.empty() && *rel.begin() != "..";
}

// The syncs of paths in the offline-files folder, each with the number of
// OfflineFiles rows at the moment of the sync.
class StoreSyncs {
 public:
  explicit StoreSyncs(ServerCore& core)
      : core_(core), hook_([this](const fs::path& p) {
          // Only paths of the store: the database's own syncs happen under
          // its lock, which counting rows would take again.
          const fs::path store = fs::weakly_canonical(core_.OfflineFilesDir());
          if (p != store && !Below(p, store)) return 0;
          const std::int64_t rows = test::CountRows(core_, kAllFiles);
          std::lock_guard lock(mutex_);
          seen_.emplace_back(p, rows);
          return 0;
        }) {}
  std::vector<std::pair<fs::path, std::int64_t>> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  ServerCore& core_;
  std::mutex mutex_;
  std::vector<std::pair<fs::path, std::int64_t>> seen_;  // guarded by mutex_
  SyncHook hook_;
};

std::string OnlyFilePath(ServerCore& core) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), "select FilePath from OfflineFiles");
  return st.Step() ? fs::weakly_canonical(st.ColumnText(0)).string() : std::string();
}

TEST(UploadSync, FileAndEveryFolderNamingItAreSyncedBeforeTheRowExists) {
  TestServer server;
  StoreSyncs syncs(server.Core());
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("a.bin", "1", "5")));
  ASSERT_TRUE(tcp.SendRaw("hello"));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  const fs::path item = OnlyFilePath(server.Core());

  std::set<fs::path> synced;
  for (const auto& [path, rows] : syncs.Seen()) {
    EXPECT_EQ(rows, 0) << path;
    synced.insert(path);
  }
  const fs::path store = fs::weakly_canonical(server.Core().OfflineFilesDir());
  for (const fs::path& p : {item, item.parent_path(), store / "WANG", store}) {
    EXPECT_EQ(synced.count(p), 1u) << p;
  }
}

TEST(UploadSync, EveryFileAndFolderOfAFolderItemIsSynced) {
  TestServer server;
  StoreSyncs syncs(server.Core());
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("Docs", "2", "0")));
  ASSERT_TRUE(tcp.SendRaw(*EncodeEnterFolder("Docs") + *EncodeFileRecord("a.txt", 5) + "hello" +
                          *EncodeEnterFolder("Sub") + *EncodeFileRecord("b.txt", 3) + "xyz" + EncodeLeaveFolder() +
                          EncodeLeaveFolder()));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  const fs::path item = OnlyFilePath(server.Core());
  std::set<fs::path> synced;
  for (const auto& [path, rows] : syncs.Seen()) {
    EXPECT_EQ(rows, 0) << path;
    synced.insert(path);
  }
  for (const fs::path& p : {item, item / "a.txt", item / "Sub", item / "Sub" / "b.txt", item.parent_path()}) {
    EXPECT_EQ(synced.count(p), 1u) << p;
  }
}

TEST(UploadSync, AFailingSyncStoresNoRowRemovesTheUploadAndTheConnectionGoesOn) {
  TestServer server;
  const fs::path store = server.Core().OfflineFilesDir();
  SyncHook failing([&](const fs::path& p) { return fs::path(p).filename() == "a.bin" ? EIO : 0; });
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("a.bin", "1", "5")));
  ASSERT_TRUE(tcp.SendRaw("hello"));
  // The frame after the upload is read once the upload has ended.
  ASSERT_TRUE(tcp.SendFrame(EncodeOfflineMessage("wang", "li", "after")));
  ASSERT_TRUE(WaitForRows(server.Core(), "select count(*) from OfflineInfo", 1));
  EXPECT_TRUE(test::WaitUntil([&] { return test::SubFolders(store / "WANG").empty(); }));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
}

}  // namespace
}  // namespace corvan
