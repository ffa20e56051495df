// The administrative operations: one function per operation, shared by every
// front end (the console, corvanctl through the admin socket or on the
// files, the web console). Each takes its typed input, runs every check
// itself and returns a `Result`; each operation that changes something
// writes one row to the audit log (storage/audit_log.h) naming the actor,
// whatever the outcome past the argument checks. Questions to confirm stay
// with the front ends; the operations only act.
//
// Thread rules: as the admin commands (admin_commands.h): never on an io
// thread of the core.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/directory_admin.h"
#include "admin/maintenance.h"
#include "admin/settings_ops.h"
#include "base/status.h"
#include "offline/offline.h"
#include "presence/announcements.h"
#include "presence/presence.h"
#include "server/modules.h"
#include "storage/account_fields.h"
#include "storage/audit_log.h"

namespace corvan {

class ServerCore;
class StatusLog;

// Who asks for an operation, as the audit log names them.
struct Actor {
  enum class Kind { kConsole, kCorvanctl, kSync, kWeb };
  Kind kind = Kind::kCorvanctl;
  std::string name;    // the caller's user name, the web administrator, "console", "sync"
  std::string origin;  // "uid 1000", a peer address; empty for the console and the sync

  static Actor Console();
  static Actor Sync();
  // A corvanctl caller: the user name of `uid` from the password database
  // (the number when it has none) and origin "uid N".
  static Actor Corvanctl(uid_t uid);
  static Actor Web(std::string admin, std::string address);
};

// "console", "corvanctl", "sync", "web"; and back (nothing for another text).
std::string_view ActorKindName(Actor::Kind kind);
std::optional<Actor::Kind> ActorKindFromName(std::string_view name);

// What the operations work on, each owner by itself. Made only by
// MakeOpsContext.
struct OpsContext {
  Directory& dir;
  Database& db;
  StatusLog& log;
  SettingsStore& settings;
  ServerLifecycle& lifecycle;
  RemovalService& removal;
  Executors& run;
  // The notices to online clients, started only `inServer`.
  NoticeOwners notices;
  // The database file, Configure.xml, the folder of stored offline files and
  // the running program (for the autostart entry).
  std::filesystem::path databasePath;
  std::filesystem::path configPath;
  std::filesystem::path offlineFilesDir;
  std::filesystem::path executable;
  // The program's directory sync, bound to the core; empty when it has none.
  using SyncFunction =
      std::function<DirectorySyncOutcome(const DirectorySyncRequest&, const std::function<void(int, int)>&)>;
  SyncFunction syncDirectory;
  // Inside the running server (notices to online clients are started);
  // false when the tool works on the files.
  bool inServer;
};
OpsContext MakeOpsContext(ServerCore& core, bool inServer);

// --- Accounts ---------------------------------------------------------------

// Refused when a department code names no department (the editor's list
// could not offer it; on a command line it is a mistyped code).
inline constexpr std::string_view kUnknownOrgPrefix = "部门不存在：";
inline constexpr std::string_view kUnknownUserPrefix = "用户不存在：";

// A new account from the editor's form (the form's checks, a department
// that exists, the editor's field lengths); a notice to online clients.
Result<TUserInfo> AddAccount(OpsContext& ctx, const Actor& who, const UserForm& form);
// The editor's form of the account `name` ("用户不存在：NAME" when there is
// none), to change it.
Result<UserForm> AccountForm(OpsContext& ctx, const std::string& name);
// Changes the account `origName` to what `form` holds (a department other
// than its current one must exist).
Result<TUserInfo> ChangeAccount(OpsContext& ctx, const Actor& who, const std::string& origName, const UserForm& form);
Status DeleteAccount(OpsContext& ctx, const Actor& who, const std::string& username);
Status MoveAccounts(OpsContext& ctx, const Actor& who, const std::vector<std::string>& usernames,
                    const std::string& code);

// The outcome of an import: ok, or refused with the report of the lines.
struct ImportReport {
  std::size_t imported = 0;
  struct LineError {
    std::size_t line = 0;  // 0: the file as a whole
    std::string message;
  };
  std::vector<LineError> errors;
  std::string message;  // the summary or the refusal
};
// Imports every row of the CSV file `source`, all in one directory update
// and one transaction (one publish), or none. A refusal carries the report
// in `report` (the lines the file was refused for).
Result<ImportReport> ImportAccounts(OpsContext& ctx, const Actor& who, const std::filesystem::path& source,
                                    ImportReport* refusedReport = nullptr);
// Writes every account (passwords included) to a private file; the count.
Result<std::size_t> ExportAccounts(OpsContext& ctx, const Actor& who, const std::filesystem::path& target);

// The whole file, up to `limit` bytes; a failure names the path and the
// system's reason.
Result<std::string> ReadSmallFile(const std::filesystem::path& path, std::size_t limit);

// --- Departments ------------------------------------------------------------

// The new department's code.
Result<std::string> AddDepartment(OpsContext& ctx, const Actor& who, const std::string& parent, const std::string& name,
                                  const std::string& orderText);
// Without `orderText` the department keeps its display order.
Status RenameDepartment(OpsContext& ctx, const Actor& who, const std::string& code, const std::string& name,
                        const std::optional<std::string>& orderText);
Status DeleteDepartment(OpsContext& ctx, const Actor& who, const std::string& code);
// Puts the department `code` with everything below it under `parent`; the
// department's new code (MoveOrg).
Result<std::string> MoveDepartment(OpsContext& ctx, const Actor& who, const std::string& code,
                                   const std::string& parent);

// --- Settings, announcement, maintenance --------------------------------------

SettingsSaveResult SaveSettings(OpsContext& ctx, const Actor& who, const SettingsForm& form);
PublishResult Announce(OpsContext& ctx, const Actor& who, const std::optional<std::string>& text);
// As BackupDatabase / RestoreDatabase; a result that only asks to confirm
// is not recorded.
MaintenanceResult Backup(OpsContext& ctx, const Actor& who, const std::filesystem::path& chosen, bool overwrite);
MaintenanceResult Restore(OpsContext& ctx, const Actor& who, const std::filesystem::path& source, bool confirmed);
CleanOfflineFilesResult CleanOffline(OpsContext& ctx, const Actor& who);
// The same cleanup started on a job of the server (the console's menu): the
// row records that it was started.
void StartCleanOffline(OpsContext& ctx, const Actor& who);
// The directory sync (one row per run with its summary; a dry run changes
// nothing and is not recorded here). Refused when the program has no sync.
Result<DirectorySyncOutcome> SyncDirectory(OpsContext& ctx, const Actor& who, const DirectorySyncRequest& request,
                                           const std::function<void(int, int)>& progress = {});
void StartServer(OpsContext& ctx, const Actor& who);
void StopServer(OpsContext& ctx, const Actor& who);

// Writes the audit row of an operation: `result` ok or refused with its
// message. A failed write is logged in the status log (the change itself
// stands). For the operations' own files.
void Audit(OpsContext& ctx, const Actor& who, std::string_view operation, std::string target, std::string detail,
           const Status& result);

// The audit rows matching `query`; refused for an unknown actor kind.
Result<std::vector<AuditRow>> ReadAuditLog(OpsContext& ctx, const AuditQuery& query);

}  // namespace corvan
