// The actors, the operations' context, and the operations on settings, the
// announcement, the database, offline files, the directory sync and the
// server's lifecycle.
#include <pwd.h>
#include <unistd.h>

#include <array>

#include "admin/operations.h"
#include "presence/wiring.h"
#include "server/server_core.h"

namespace corvan {

Actor Actor::Console() { return Actor{Kind::kConsole, "console", ""}; }

Actor Actor::Sync() { return Actor{Kind::kSync, "sync", ""}; }

Actor Actor::Corvanctl(uid_t uid) {
  std::string name = std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> buffer{};
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    name = found->pw_name;
  return Actor{Kind::kCorvanctl, std::move(name), "uid " + std::to_string(uid)};
}

Actor Actor::Web(std::string admin, std::string address) {
  return Actor{Kind::kWeb, std::move(admin), std::move(address)};
}

std::string_view ActorKindName(Actor::Kind kind) {
  switch (kind) {
    case Actor::Kind::kConsole: return kAuditConsole;
    case Actor::Kind::kCorvanctl: return kAuditCorvanctl;
    case Actor::Kind::kSync: return kAuditSync;
    case Actor::Kind::kWeb: return kAuditWeb;
  }
  return kAuditCorvanctl;
}

std::optional<Actor::Kind> ActorKindFromName(std::string_view name) {
  for (Actor::Kind k : {Actor::Kind::kConsole, Actor::Kind::kCorvanctl, Actor::Kind::kSync, Actor::Kind::kWeb})
    if (ActorKindName(k) == name) return k;
  return std::nullopt;
}

OpsContext MakeOpsContext(ServerCore& core, bool inServer) {
  OpsContext::SyncFunction sync;
  if (core.Modules().DirectorySync) {
    sync = [&core](const DirectorySyncRequest& request, const std::function<void(int, int)>& progress) {
      return core.Modules().DirectorySync(core, request, progress);
    };
  }
  return OpsContext{.dir = core.Dir(),
                    .db = core.Db(),
                    .log = core.Log(),
                    .settings = core.Settings(),
                    .lifecycle = core.Lifecycle(),
                    .removal = core.Removal(),
                    .run = core.Run(),
                    .notices = NoticeOwnersOf(core),
                    .databasePath = core.DatabasePath(),
                    .configPath = core.ConfigPath(),
                    .offlineFilesDir = core.OfflineFilesDir(),
                    .executable = core.Options().executable,
                    .syncDirectory = std::move(sync),
                    .inServer = inServer};
}

namespace {

std::string OnOff(bool on) { return on ? "True" : "False"; }

}  // namespace

SettingsSaveResult SaveSettings(OpsContext& ctx, const Actor& who, const SettingsForm& form) {
  SettingsSaveResult res = SaveAll(ctx.settings, ctx.configPath, ctx.executable, form);
  Audit(ctx, who, "config set", "Configure.xml",
        "ServerPort=" + form.serverPort + ", StartMin=" + OnOff(form.startMin) + ", AllowReg=" + OnOff(form.allowReg) +
            ", OfflineInfoDay=" + form.offlineInfoDay + ", AutoStart=" + OnOff(form.autoStart),
        res.status);
  return res;
}

PublishResult Announce(OpsContext& ctx, const Actor& who, const std::optional<std::string>& text) {
  PublishResult res = PublishAnnouncement(ctx.settings, ctx.configPath, ctx.notices, text);
  Audit(ctx, who, "announce", "", res.changed ? "text changed" : "sent again",
        res.ok ? Status::Ok() : Status(StatusCode::kIoFailed, res.message));
  return res;
}

MaintenanceResult Backup(OpsContext& ctx, const Actor& who, const std::filesystem::path& chosen, bool overwrite) {
  MaintenanceResult res = BackupDatabase(ctx.db, ctx.databasePath, chosen, overwrite);
  if (!res.needsConfirmation)
    Audit(ctx, who, "backup", BackupTargetName(chosen).string(), "",
          res.status.IsOk() ? Status::Ok() : Status(res.status.Code(), res.Shown()));
  return res;
}

MaintenanceResult Restore(OpsContext& ctx, const Actor& who, const std::filesystem::path& source, bool confirmed) {
  MaintenanceResult res = RestoreDatabase(ctx.lifecycle, ctx.db, ctx.databasePath, source, confirmed);
  // Recorded in the database as it is after the restore.
  if (!res.needsConfirmation)
    Audit(ctx, who, "restore", source.string(), "",
          res.status.IsOk() ? Status::Ok() : Status(res.status.Code(), res.Shown()));
  return res;
}

CleanOfflineFilesResult CleanOffline(OpsContext& ctx, const Actor& who) {
  CleanOfflineFilesResult res = CleanOfflineFiles(ctx.offlineFilesDir, ctx.db, ctx.removal, ctx.log);
  Audit(ctx, who, "clean-offline", "",
        "removed " + std::to_string(res.removed) + ", kept " + std::to_string(res.kept) + ", spared " +
            std::to_string(res.spared),
        res.completed ? Status::Ok() : Status(StatusCode::kIoFailed, "离线文件清理未完成"));
  return res;
}

void StartCleanOffline(OpsContext& ctx, const Actor& who) {
  StartCleanOfflineFiles(ctx.run, ctx.offlineFilesDir, ctx.db, ctx.removal, ctx.log);
  Audit(ctx, who, "clean-offline", "", "started", Status::Ok());
}

Result<DirectorySyncOutcome> SyncDirectory(OpsContext& ctx, const Actor&, const DirectorySyncRequest& request,
                                           const std::function<void(int, int)>& progress) {
  if (!ctx.syncDirectory) return Status(StatusCode::kRefused, "此程序不支持目录同步");
  // The sync records its own row (actor sync, with its counts) for every
  // run, the background ones included.
  return ctx.syncDirectory(request, progress);
}

void StartServer(OpsContext& ctx, const Actor& who) {
  const bool wasRunning = ctx.lifecycle.TcpServerExists();
  ctx.lifecycle.StartServer();
  const bool listening = ctx.lifecycle.ListeningPort() != 0;
  Audit(ctx, who, "start", "", "",
        !wasRunning && listening ? Status::Ok() : Status(StatusCode::kRefused, wasRunning ? "已在运行" : "未能监听"));
}

void StopServer(OpsContext& ctx, const Actor& who) {
  ctx.lifecycle.StopServer();
  Audit(ctx, who, "stop", "", "", Status::Ok());
}

Result<std::vector<AuditRow>> ReadAuditLog(OpsContext& ctx, const AuditQuery& query) {
  if (!query.actorKind.empty() && !ActorKindFromName(query.actorKind))
    return Status(StatusCode::kInvalidInput, "未知的操作者类别：" + query.actorKind);
  return ReadAudit(ctx.db, query);
}

}  // namespace corvan
