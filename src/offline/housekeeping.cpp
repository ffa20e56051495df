// Offline housekeeping: the purges of old messages and files
// (`TDeleteOldOfflineInfoThread`, `TDeleteOldOfflineFilesThread`) run at every
// server start; the cleanup of unreferenced upload folders
// (`TDeleteUnUseOfflineFilesThread`) runs on the administrator's command.
#include <vector>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "offline/active_folders.h"
#include "offline/delivery_claims.h"
#include "offline/offline.h"
#include "offline/offline_store.h"
#include "server/executors.h"
#include "server/removal_service.h"
#include "server/status_log.h"

namespace corvan {

namespace fs = std::filesystem;

std::string OfflineCutOff(Clock::time_point now, int days) { return FormatDbTime(now - std::chrono::hours(24) * days); }

void PurgeOldOfflineInfo(const OfflineOwners& owners, int days) {
  MutexLock lock(owners.offlineInfoLock);
  Status purged = OfflineTables(owners.db).DeleteMessagesBefore(OfflineCutOff(Clock::now(), days));
  // The purge ends; the next start tries again.
  if (!purged.IsOk()) NoteQuietFailure("offline message purge", purged.Message());
}

void PurgeOldOfflineFiles(const OfflineOwners& owners, int days) {
  MutexLock lock(owners.offlineFilesLock);
  OfflineTables tables(owners.db);
  Result<std::vector<OfflineFileRow>> old = tables.FilesBefore(OfflineCutOff(Clock::now(), days));
  if (!old.IsOk()) {
    // The purge ends; the next start tries again.
    NoteQuietFailure("offline file purge", old.GetStatus().Message());
    return;
  }
  std::vector<OfflineFileRow> rows;
  for (auto& r : old.Value()) {
    // An item on its way to a client keeps its row until the transfer ends;
    // it is purged at a later start if it is still there.
    if (!DeliveryClaims::Instance().Claimed(r.FilePath)) rows.push_back(std::move(r));
  }
  for (const auto& r : rows) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(r.FilePath, ec))) continue;  // removed by hand: only the row goes
    const fs::path folder = UploadFolderOf(owners.offlineFilesDir, r.FilePath);
    // The removal service never waits for this lock, so asking under it is safe.
    if (!folder.empty()) owners.removal.Remove(RemovalService::Kind::kFolder, folder);
  }
  std::vector<std::int64_t> rowids;
  rowids.reserve(rows.size());
  for (const auto& r : rows) rowids.push_back(r.rowid);
  Status deleted = tables.DeleteFiles(rowids);
  // Their items are gone; the rows find nothing at their paths and go at the
  // next start.
  if (!deleted.IsOk()) NoteQuietFailure("offline file purge", "rows not deleted: " + deleted.Message());
}

void StartOfflinePurges(const OfflineOwners& owners, int days) {
  owners.run.PostOfflineInfoLane([owners, days] { PurgeOldOfflineInfo(owners, days); });
  owners.run.PostOfflineFilesLane([owners, days] { PurgeOldOfflineFiles(owners, days); });
}

CleanOfflineFilesResult CleanOfflineFiles(const fs::path& root, Database& db, RemovalService& removal, StatusLog& log) {
  CleanOfflineFilesResult result;
  log.AppendEvent("正在清理离线文件");
  std::vector<fs::path> folders;
  try {
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
      Result<std::int64_t> count = OfflineTables(db).CountFilesUnder(folder.string());
      if (!count.IsOk()) {
        // The cleanup stops without its closing line.
        NoteQuietFailure("offline file cleanup", count.GetStatus().Message());
        return result;
      }
      if (count.Value() == 0) {
        removal.Remove(RemovalService::Kind::kFolder, folder);
        ++result.removed;
      } else {
        ++result.kept;
      }
    }
  } catch (const std::exception&) {
    // The walk failed: the cleanup stops without its closing line.
    NoteQuietFailure("offline file cleanup");
    return result;
  }
  log.AppendEvent("离线文件清理结束");
  result.completed = true;
  return result;
}

void StartCleanOfflineFiles(Executors& run, fs::path root, Database& db, RemovalService& removal, StatusLog& log) {
  run.PostJob([root = std::move(root), &db, &removal, &log] { CleanOfflineFiles(root, db, removal, log); });
}

}  // namespace corvan
