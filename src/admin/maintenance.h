// Backup and restore of the database file, as operations that any front end
// (the console window, the administration endpoint) calls and whose result
// it shows.
//
// A backup copies the live database with SQLite's online backup, so a copy
// taken while the server writes is consistent. A restore replaces the live
// database with a copy, only while the server is stopped, then brings the
// file to the current layout and reloads the in-memory directory.
//
// Thread rules: run on the controlling thread (the window thread, or the
// endpoint's command thread), never on an io thread of the core. The
// database connection's own lock orders the copy against other users.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/status.h"

namespace corvan {

class Database;
class ServerLifecycle;

inline constexpr std::string_view kBackupExists = "目标已经存在，是否继续？";
inline constexpr std::string_view kBackupOk = "备份数据成功";
inline constexpr std::string_view kBackupFailed = "备份数据失败";
inline constexpr std::string_view kStopServerFirst = "请先停止服务器";
inline constexpr std::string_view kRestoreConfirm = "是否确定恢复数据？";
inline constexpr std::string_view kRestoreOk = "恢复数据成功";
inline constexpr std::string_view kRestoreFailed = "恢复数据失败";
inline constexpr std::string_view kDatabaseConnectFailed = "数据库连接失败";
inline constexpr std::string_view kMaintenanceCaption = "信息";

// The outcome of one maintenance operation, ready to be shown under the
// caption kMaintenanceCaption.
struct MaintenanceResult {
  // Done, or why not. The message is the one for the administrator, on
  // success as well ("备份数据成功"); empty when the operation ends without
  // one (a restore source that does not exist, kNotFound).
  Status status;
  // True when nothing was done because the front end must ask the status's
  // message (a yes/no question) first and call again with the answer.
  bool needsConfirmation = false;
  // Why a backup or restore failed, from the system or the database, after
  // the path it concerns ("/x: No such file or directory"); empty on
  // success.
  std::string reason;

  // What the administrator is shown: the message, then the reason after a
  // colon ("备份数据失败：/x: No such file or directory").
  std::string Shown() const;
};

// The file a backup chosen as `chosen` is written to: ".mdb" is appended
// unless the name already ends in ".mdb" in any letter case.
std::filesystem::path BackupTargetName(const std::filesystem::path& chosen);

// Whether a backup may be written at `target`: not a folder, not the live
// database `livePath` itself (renaming a copy over the open file would lose
// every later change), in a folder that can be written. The refusal names
// the path and the system's reason. Checked by every writer of a backup,
// the server and the command-line tool alike.
Status CheckBackupTarget(const std::filesystem::path& target, const std::filesystem::path& livePath);

// Copies the database open on `db` (whose file is `livePath`) to `target`
// (taken as it stands). The copy is written to a temporary file beside the
// target and renamed over it at the end, so a failed backup leaves an
// existing file at `target` as it was. A target that is the live file
// itself is refused.
MaintenanceResult BackupDatabaseTo(Database& db, const std::filesystem::path& livePath,
                                   const std::filesystem::path& target);

// The backup command: the target is `BackupTargetName(chosen)`; when a file
// of that name exists and `overwrite` is false, nothing is written and the
// result asks "目标已经存在，是否继续？".
MaintenanceResult BackupDatabase(Database& db, const std::filesystem::path& livePath,
                                 const std::filesystem::path& chosen, bool overwrite);

// The restore command. Refused with "请先停止服务器" while the TCP listener
// is recorded. A source that does not exist (or is not a file) ends it
// without a message, the reason saying why. When `confirmed` is false
// nothing is done and the result asks "是否确定恢复数据？". A source that
// cannot be read, or is not a database holding authreg, vcard and organize,
// gives "恢复数据失败" and leaves the live database untouched. Otherwise the
// content is copied into the live database, the database is opened again
// (older files gain the offline tables and orgID) and the directory is
// reloaded: "恢复数据成功", or "恢复数据失败" when the copy or the reload
// fails, or "数据库连接失败" when the reopened file cannot be used. Every
// failure carries its reason. `livePath` is the file `db` opens.
MaintenanceResult RestoreDatabase(ServerLifecycle& lifecycle, Database& db, const std::filesystem::path& livePath,
                                  const std::filesystem::path& source, bool confirmed);

}  // namespace corvan
