#include "admin/maintenance.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "server/server_core.h"
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

MaintenanceResult BackupDatabaseTo(Database& db, const fs::path& livePath, const fs::path& target) {
  auto failed = [&](std::string reason, StatusCode code = StatusCode::kIoFailed) {
    MaintenanceResult r = Done(code, kBackupFailed);
    r.reason = std::move(reason);
    return r;
  };
  // Renaming a copy over the open file would leave the connection writing to
  // an unlinked file: every later change would be lost.
  if (SameFile(target, livePath)) return failed(target.string() + ": the database in use", StatusCode::kRefused);
  std::error_code ec;
  if (fs::is_directory(target, ec)) return failed(target.string() + ": " + std::generic_category().message(EISDIR));
  // The folder the copy goes to: SQLite's own message for it ("unable to
  // open database file") would not say what is wrong.
  fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return failed(folder.string() + ": " + std::generic_category().message(errno));
  // A fresh private file, made with O_EXCL: nothing planted under a
  // guessable name is ever written through.
  Result<fs::path> tmp = MakePrivateTemporary(target);
  if (!tmp.IsOk()) return failed(tmp.GetStatus().Message());
  Status copied = db.BackupTo(tmp.Value().string());
  if (copied.IsOk()) {
    fs::rename(tmp.Value(), target, ec);
    if (ec) copied = Status(StatusCode::kIoFailed, target.string() + ": " + ec.message());
  }
  if (!copied.IsOk()) {
    std::error_code ignored;
    fs::remove(tmp.Value(), ignored);
    return failed(copied.Message(), copied.Code());
  }
  return Done(StatusCode::kOk, kBackupOk);
}

MaintenanceResult BackupDatabase(ServerCore& core, const fs::path& chosen, bool overwrite) {
  if (chosen.empty()) {
    MaintenanceResult r = Done(StatusCode::kInvalidInput, kBackupFailed);
    r.reason = "no file name";
    return r;
  }
  fs::path target = BackupTargetName(chosen);
  std::error_code ec;
  if (!overwrite && fs::exists(target, ec)) return Ask(kBackupExists);
  return BackupDatabaseTo(core.Db(), core.DatabasePath(), target);
}

MaintenanceResult RestoreDatabase(ServerCore& core, const fs::path& source, bool confirmed) {
  // A running server's handlers use the connection: the file is replaced
  // only while the server is stopped.
  if (core.TcpServerExists()) return Done(StatusCode::kRefused, kStopServerFirst);
  std::error_code ec;
  if (source.empty() || !fs::is_regular_file(source, ec)) return Done(StatusCode::kNotFound, "");
  if (!confirmed) return Ask(kRestoreConfirm);
  // A file that is not a directory database would leave the server without
  // accounts: refuse it before anything is touched.
  if (!IsValidDirectoryDatabase(source.string())) return Done(StatusCode::kInvalidInput, kRestoreFailed);

  const fs::path live = core.DatabasePath();
  bool copied = true;
  if (!SameFile(source, live)) {
    if (core.Db().IsOpen()) {
      // The online backup copies into the open connection inside one write
      // transaction: a failure leaves the live content as it was.
      copied = core.Db().RestoreFrom(source.string()).IsOk();
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
        if (ec) fs::remove(tmp, ec);
      }
      copied = made.IsOk() && !ec;
    }
  }
  // Opened again in every case, so the old file stays usable after a failed
  // copy and a restored older file gains the tables and columns it lacks.
  if (!core.OpenDatabase().IsOk()) return Done(StatusCode::kDatabaseFailed, kDatabaseConnectFailed);
  if (!copied) return Done(StatusCode::kDatabaseFailed, kRestoreFailed);
  if (!core.LoadDirectory()) return Done(StatusCode::kDatabaseFailed, kRestoreFailed);
  return Done(StatusCode::kOk, kRestoreOk);
}

}  // namespace corvan
