#include "admin/maintenance.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "server/lifecycle.h"
#include "storage/database.h"
#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

MaintenanceResult Done(StatusCode code, std::string_view message) {
  MaintenanceResult r;
  r.status = Status(code, std::string(message));
  return r;
}

MaintenanceResult Ask(std::string_view question) {
  MaintenanceResult r = Done(StatusCode::kRefused, question);
  r.needsConfirmation = true;
  return r;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

}  // namespace

fs::path BackupTargetName(const fs::path& chosen) {
  std::string name = chosen.string();
  std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : name;
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (tail == ".mdb") return chosen;
  return fs::path(name + ".mdb");
}

std::string MaintenanceResult::Shown() const {
  if (reason.empty()) return status.Message();
  return status.Message() + "：" + reason;
}

Status CheckBackupTarget(const fs::path& target, const fs::path& livePath) {
  if (SameFile(target, livePath)) return Status(StatusCode::kRefused, target.string() + ": 这是正在使用的数据库");
  std::error_code ec;
  if (fs::is_directory(target, ec))
    return Status(StatusCode::kIoFailed, target.string() + ": " + std::generic_category().message(EISDIR));
  // The folder the copy goes to: SQLite's own message for it ("unable to
  // open database file") would not say what is wrong.
  fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return Status(StatusCode::kIoFailed, folder.string() + ": " + std::generic_category().message(errno));
  return Status::Ok();
}

MaintenanceResult BackupDatabaseTo(Database& db, const fs::path& livePath, const fs::path& target) {
  auto failed = [&](const Status& why) {
    MaintenanceResult r = Done(why.Code(), kBackupFailed);
    r.reason = why.Message();
    return r;
  };
  if (Status usable = CheckBackupTarget(target, livePath); !usable.IsOk()) return failed(usable);
  // A fresh private file, made with O_EXCL: nothing planted under a
  // guessable name is ever written through.
  Result<fs::path> tmp = MakePrivateTemporary(target);
  if (!tmp.IsOk()) return failed(tmp.GetStatus());
  Status copied = db.BackupTo(tmp.Value().string());
  if (copied.IsOk()) {
    std::error_code ec;
    fs::rename(tmp.Value(), target, ec);
    if (ec) copied = Status(StatusCode::kIoFailed, target.string() + ": " + ec.message());
  }
  if (!copied.IsOk()) {
    std::error_code ignored;
    fs::remove(tmp.Value(), ignored);
    return failed(copied);
  }
  return Done(StatusCode::kOk, kBackupOk);
}

MaintenanceResult BackupDatabase(Database& db, const fs::path& livePath, const fs::path& chosen, bool overwrite) {
  if (chosen.empty()) {
    MaintenanceResult r = Done(StatusCode::kInvalidInput, kBackupFailed);
    r.reason = "没有文件名";
    return r;
  }
  fs::path target = BackupTargetName(chosen);
  std::error_code ec;
  if (!overwrite && fs::exists(target, ec)) return Ask(kBackupExists);
  return BackupDatabaseTo(db, livePath, target);
}

MaintenanceResult RestoreDatabase(ServerLifecycle& lifecycle, Database& db, const fs::path& livePath,
                                  const fs::path& source, bool confirmed) {
  // A running server's handlers use the connection: the file is replaced
  // only while the server is stopped.
  if (lifecycle.TcpServerExists()) return Done(StatusCode::kRefused, kStopServerFirst);
  auto failed = [&](StatusCode code, std::string_view message, std::string reason) {
    MaintenanceResult r = Done(code, message);
    r.reason = std::move(reason);
    return r;
  };
  std::error_code ec;
  if (source.empty()) return failed(StatusCode::kNotFound, "", "没有文件名");
  if (!fs::is_regular_file(source, ec)) {
    int why = fs::exists(source, ec) ? (fs::is_directory(source, ec) ? EISDIR : EINVAL) : ENOENT;
    return failed(StatusCode::kNotFound, "", source.string() + ": " + std::generic_category().message(why));
  }
  if (!confirmed) return Ask(kRestoreConfirm);
  // A file that cannot be read, or is not a directory database, would leave
  // the server without accounts: refuse it before anything is touched.
  if (::access(source.c_str(), R_OK) != 0)
    return failed(StatusCode::kIoFailed, kRestoreFailed,
                  source.string() + ": " + std::generic_category().message(errno));
  if (Status usable = CheckDirectoryDatabase(source.string()); !usable.IsOk())
    return failed(usable.Code(), kRestoreFailed, usable.Message());

  const fs::path& live = livePath;
  Status copied;
  if (!SameFile(source, live)) {
    if (db.IsOpen()) {
      // The online backup copies into the open connection inside one write
      // transaction: a failure leaves the live content as it was.
      if (Status restored = db.RestoreFrom(source.string()); !restored.IsOk())
        copied = Status(restored.Code(), source.string() + ": " + restored.Message());
    } else {
      // No connection (it failed earlier): replace the file whole.
      Result<fs::path> made = MakePrivateTemporary(live);
      if (made.IsOk()) {
        const fs::path& tmp = made.Value();
        // The copy takes the source's mode: set private again before it
        // becomes the live file.
        fs::copy_file(source, tmp, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
        if (!ec) fs::rename(tmp, live, ec);
        if (ec) {
          copied = Status(StatusCode::kIoFailed, live.string() + ": " + ec.message());
          std::error_code ignored;
          fs::remove(tmp, ignored);
        }
      } else {
        copied = made.GetStatus();
      }
    }
  }
  // Opened again in every case, so the old file stays usable after a failed
  // copy and a restored older file gains the tables and columns it lacks.
  if (Status reopened = lifecycle.OpenDatabase(); !reopened.IsOk())
    return failed(StatusCode::kDatabaseFailed, kDatabaseConnectFailed, live.string() + ": " + reopened.Message());
  if (!copied.IsOk()) return failed(StatusCode::kDatabaseFailed, kRestoreFailed, copied.Message());
  if (!lifecycle.LoadDirectory())
    return failed(StatusCode::kDatabaseFailed, kRestoreFailed, live.string() + ": 无法读取部门和用户");
  return Done(StatusCode::kOk, kRestoreOk);
}

}  // namespace corvan
