#include <gtest/gtest.h>

#include "base/text.h"
#include "offline/offline.h"
#include "offline/offline_store.h"
#include "offline/transfer_format.h"
#include "storage/offline_tables.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TestServer;
using test::WaitForRows;

std::string HoursAgo(int hours) { return FormatDbTime(Clock::now() - std::chrono::hours(hours)); }

void AddMessage(ServerCore& core, const std::string& to, const std::string& sendTime) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), "insert into OfflineInfo (FromUser,ToUser,SendTime,SendContent) values('LI',:t,:s,'x')");
  st.BindText(":t", to).BindText(":s", sendTime);
  st.Run();
}

// A stored item on disk (unless `onDisk` is false) and its row.
fs::path AddFile(ServerCore& core, const std::string& stamp, const std::string& sendTime, bool onDisk = true) {
  fs::path item = core.OfflineFilesDir() / "WANG" / stamp / "a.txt";
  if (onDisk) test::WriteFile(item, "content");
  OfflineFileRow row{0, "LI", "Li", "WANG", "1", "a.txt", item.string(), sendTime};
  EXPECT_TRUE(OfflineTables(core.Db()).InsertFile(row).IsOk());
  return item;
}

TEST(OfflinePurges, EveryStartPurgesWithTheClampedRetentionAndAStrictCutOff) {
  TestServer::Setup setup;
  setup.start = false;
  setup.offlineInfoDay = 45;  // out of range: 3 days
  TestServer server(setup);
  ServerCore& core = server.Core();
  AddMessage(core, "KEEP", HoursAgo(71));
  AddMessage(core, "DROP", HoursAgo(73));
  const fs::path kept = AddFile(core, "100", HoursAgo(71));
  const fs::path old = AddFile(core, "200", HoursAgo(73));
  AddFile(core, "300", HoursAgo(73), /*onDisk=*/false);  // removed by hand: only the row goes
  // A row from elsewhere pointing outside the store: its row goes, nothing
  // outside the store is touched.
  const fs::path outside = server.Home() / "outside" / "folder" / "a.txt";
  test::WriteFile(outside, "mine");
  EXPECT_TRUE(OfflineTables(core.Db())
                  .InsertFile(OfflineFileRow{0, "LI", "Li", "WANG", "1", "a.txt", outside.string(), HoursAgo(80)})
                  .IsOk());

  ASSERT_TRUE(core.Lifecycle().FirstShow());
  EXPECT_EQ(core.Settings().OfflineInfoDay(), 3);
  ASSERT_TRUE(WaitForRows(core, "select count(*) from OfflineInfo", 1));
  EXPECT_EQ(test::CountRows(core, "select count(*) from OfflineInfo where ToUser = 'KEEP'"), 1);
  ASSERT_TRUE(WaitForRows(core, "select count(*) from OfflineFiles", 1));
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(old.parent_path()));
  EXPECT_TRUE(fs::exists(old.parent_path().parent_path()));  // the recipient folder stays
  EXPECT_TRUE(fs::exists(outside));

  // Starting again while running still purges.
  AddMessage(core, "DROP", HoursAgo(73));
  core.Lifecycle().StartServer();
  EXPECT_TRUE(server.WaitForLog("服务器已经启动，请先停止后重新启动!"));
  EXPECT_TRUE(WaitForRows(core, "select count(*) from OfflineInfo", 1));
}

TEST(OfflinePurges, CutOffIsDaysOfTwentyFourHours) {
  const auto now = Clock::now();
  EXPECT_EQ(OfflineCutOff(now, 3), FormatDbTime(now - 72h));
  EXPECT_LT(OfflineCutOff(now, 3), FormatDbTime(now - 71h));
  EXPECT_GT(OfflineCutOff(now, 3), FormatDbTime(now - 73h));
}

TEST(OfflineCleanup, RemovesOnlyUnreferencedUploadFoldersAndSparesAnUploadInProgress) {
  TestServer server;
  ServerCore& core = server.Core();
  const fs::path wang = core.OfflineFilesDir() / "WANG";
  AddFile(core, "200", HoursAgo(1));                // referenced
  test::WriteFile(wang / "100" / "left.txt", "x");  // unreferenced: removed
  test::WriteFile(wang / "300" / "x.txt", "x");     // unreferenced, but "3001" begins with its path
  AddFile(core, "3001", HoursAgo(1));
  test::WriteFile(core.OfflineFilesDir() / "loose.txt", "x");  // plain files are never removed
  test::WriteFile(wang / "loose.txt", "x");
  fs::create_directories(core.OfflineFilesDir() / "EMPTYUSER");  // recipient folders stay

  // An upload still being received has no row yet.
  test::TcpClient upload(server.Port());
  ASSERT_TRUE(upload.SendFrame(EncodeTransferHeader({"li", "Li", "zhao", "big.bin", "1", "20"})));
  ASSERT_TRUE(upload.SendRaw("0123456789"));
  ASSERT_TRUE(test::WaitUntil([&] {
    auto folders = test::SubFolders(core.OfflineFilesDir() / "ZHAO");
    std::error_code ec;  // the file may not be created yet
    return folders.size() == 1 && fs::file_size(folders[0] / "big.bin", ec) == 10 && !ec;
  }));

  CleanOfflineFilesResult result = CleanOfflineFiles(core.OfflineFilesDir(), core.Db(), core.Removal(), core.Log());
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.removed, 1);
  EXPECT_EQ(result.kept, 3);
  EXPECT_EQ(result.spared, 1);
  EXPECT_FALSE(fs::exists(wang / "100"));
  for (auto name : {"200", "300", "3001", "loose.txt"}) EXPECT_TRUE(fs::exists(wang / name)) << name;
  EXPECT_TRUE(fs::exists(core.OfflineFilesDir() / "loose.txt"));
  EXPECT_TRUE(fs::exists(core.OfflineFilesDir() / "EMPTYUSER"));
  EXPECT_TRUE(server.WaitForLog("正在清理离线文件时间："));
  EXPECT_TRUE(server.WaitForLog("离线文件清理结束时间："));

  // The spared upload completes and is recorded.
  ASSERT_TRUE(upload.SendRaw("0123456789"));
  EXPECT_TRUE(WaitForRows(core, "select count(*) from OfflineFiles where ToUser = 'ZHAO'", 1));
}

TEST(OfflineCleanup, WithoutTheFolderBothLinesAreWrittenAndNothingIsRemoved) {
  TestServer server;
  fs::remove_all(server.Core().OfflineFilesDir());
  ServerCore& core = server.Core();
  StartCleanOfflineFiles(core.Run(), core.OfflineFilesDir(), core.Db(), core.Removal(), core.Log());
  EXPECT_TRUE(server.WaitForLog("离线文件清理结束时间："));
  EXPECT_TRUE(server.WaitForLog("正在清理离线文件时间："));
}

}  // namespace
}  // namespace corvan
