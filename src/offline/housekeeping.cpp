// Offline housekeeping: the purges of old messages and files
// (`TDeleteOldOfflineInfoThread`, `TDeleteOldOfflineFilesThread`) run at every
// server start; the cleanup of unreferenced upload folders
// (`TDeleteUnUseOfflineFilesThread`) runs on the administrator's command.
#include <vector>

#include "base/text.h"
#include "offline/active_folders.h"
#include "offline/delivery_claims.h"
#include "offline/offline.h"
#include "offline/offline_store.h"
#include "server/server_core.h"

namespace corvan {

namespace fs = std::filesystem;

std::string OfflineCutOff(Clock::time_point now, int days) { return FormatDbTime(now - std::chrono::hours(24) * days); }

void PurgeOldOfflineInfo(ServerCore& core, int days) {
  MutexLock lock(core.OfflineInfoLock);
  try {
    DatabaseLock dbLock(core.Db());
    Statement st(core.Db(), "delete from OfflineInfo where SendTime < :SendTime_temp");
    st.BindText(":SendTime_temp", OfflineCutOff(Clock::now(), days));
    st.Run();
  } catch (const std::exception&) {
    // The purge ends; the next start tries again.
  }
}

void PurgeOldOfflineFiles(ServerCore& core, int days) {
  MutexLock lock(core.OfflineFilesLock);
  struct OldRow {
    std::int64_t rowid;
    std::string path;
  };
  std::vector<OldRow> rows;
  try {
    DatabaseLock dbLock(core.Db());
    Statement st(core.Db(), "select rowid, FilePath from OfflineFiles where SendTime < :SendTime_temp");
    st.BindText(":SendTime_temp", OfflineCutOff(Clock::now(), days));
    while (st.Step()) {
      OldRow r{st.ColumnInt64(0), st.ColumnText(1)};
      // An item on its way to a client keeps its row until the transfer
      // ends; it is purged at a later start if it is still there.
      if (!DeliveryClaims::Instance().Claimed(r.path)) rows.push_back(std::move(r));
    }
  } catch (const std::exception&) {
    return;
  }
  for (const auto& r : rows) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(r.path, ec))) continue;  // removed by hand: only the row goes
    const fs::path folder = UploadFolderOf(core.OfflineFilesDir(), r.path);
    // The removal service never waits for this lock, so asking under it is safe.
    if (!folder.empty()) core.Removal().Remove(RemovalService::Kind::kFolder, folder);
  }
  try {
    std::vector<std::int64_t> rowids;
    rowids.reserve(rows.size());
    for (const auto& r : rows) rowids.push_back(r.rowid);
    DeleteOfflineFileRows(core.Db(), rowids);
  } catch (const std::exception&) {
  }
}

void StartOfflinePurges(ServerCore& core, int days) {
  core.PostOfflineInfoLane([&core, days] { PurgeOldOfflineInfo(core, days); });
  core.PostOfflineFilesLane([&core, days] { PurgeOldOfflineFiles(core, days); });
}

CleanOfflineFilesResult CleanOfflineFiles(ServerCore& core) {
  CleanOfflineFilesResult result;
  core.LogEvent("正在清理离线文件");
  std::vector<fs::path> folders;
  try {
    const fs::path& root = core.OfflineFilesDir();
    std::error_code ec;
    if (fs::is_directory(root, ec)) {
      for (const auto& recipient : fs::directory_iterator(root)) {
        if (!fs::is_directory(recipient.symlink_status())) continue;
        for (const auto& upload : fs::directory_iterator(recipient.path())) {
          if (fs::is_directory(upload.symlink_status())) folders.push_back(upload.path());
        }
      }
    }
    for (const auto& folder : folders) {
      // An upload still being received, or an item on its way to a client,
      // has no row yet (or no longer): leave it alone.
      if (ActiveFolders::Instance().Contains(folder)) {
        ++result.spared;
        continue;
      }
      std::int64_t count;
      {
        DatabaseLock dbLock(core.Db());
        Statement st(core.Db(), "select count(*) from OfflineFiles where FilePath like :OfflineFile");
        st.BindText(":OfflineFile", folder.string() + "%");
        count = st.Step() ? st.ColumnInt64(0) : 0;
      }
      if (count == 0) {
        core.Removal().Remove(RemovalService::Kind::kFolder, folder);
        ++result.removed;
      } else {
        ++result.kept;
      }
    }
  } catch (const std::exception&) {
    // The walk or a count failed: the cleanup stops without its closing line.
    return result;
  }
  core.LogEvent("离线文件清理结束");
  result.completed = true;
  return result;
}

void StartCleanOfflineFiles(ServerCore& core) {
  core.PostJob([&core] { CleanOfflineFiles(core); });
}

}  // namespace corvan
