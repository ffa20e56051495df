#include "console/console_commands.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QPointer>
#include <QProgressDialog>
#include <QStringList>
#include <QUrl>
#include <atomic>
#include <optional>
#include <thread>

#include "admin/maintenance.h"
#include "admin/operations.h"
#include "base/text.h"
#include "console/help_window.h"
#include "console/prompter.h"
#include "offline/offline.h"
#include "presence/announcements.h"
#include "presence/presence.h"
#include "server/server_core.h"

namespace corvan {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::filesystem::path PathOf(const QString& text) { return std::filesystem::path(text.toStdString()); }

}  // namespace

QString DialogFilter(std::string_view pairs) {
  QStringList parts = Q(pairs).split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns)
      if (p == QStringLiteral("*.*")) p = QStringLiteral("*");
    entries << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return entries.join(QStringLiteral(";;"));
}

std::vector<std::string> OnlineUserLines(const std::vector<TUserOnlineInfo>& online) {
  std::vector<std::string> lines;
  lines.reserve(online.size() + 1);
  lines.push_back("共" + std::to_string(online.size()) + "人在线！");
  for (const TUserOnlineInfo& entry : online)
    lines.push_back(entry.UserName + " " + entry.IP + " " + FormatTimestamp(entry.LastSeen));
  return lines;
}

ConsoleCommands::ConsoleCommands(ServerCore& core, Prompter& prompter, QWidget* owner)
    : core_(core), prompter_(prompter), owner_(owner) {}

void ConsoleCommands::Inform(std::string_view text, QWidget* owner) {
  prompter_.Information(owner, Q(text), Q(kMaintenanceCaption));
}

void ConsoleCommands::BackupDatabase() {
  std::optional<QString> chosen = prompter_.SaveFile(owner_, QStringLiteral("备份数据"), DialogFilter(kDatabaseFilter));
  if (!chosen || chosen->isEmpty()) return;
  OpsContext ops = MakeOpsContext(core_, true);
  MaintenanceResult result = Backup(ops, Actor::Console(), PathOf(*chosen), false);
  if (result.needsConfirmation) {
    if (!prompter_.Question(owner_, Q(result.status.Message()), Q(kMaintenanceCaption))) return;
    result = Backup(ops, Actor::Console(), PathOf(*chosen), true);
  }
  // A failure says why after its message: a missing folder, a read-only
  // file system.
  if (!result.status.Message().empty()) Inform(result.Shown(), owner_);
}

void ConsoleCommands::RestoreDatabase() {
  // The listener's handlers use the database: no dialog while it exists.
  if (core_.Lifecycle().TcpServerExists()) {
    Inform(kStopServerFirst, owner_);
    return;
  }
  std::optional<QString> chosen = prompter_.OpenFile(owner_, QStringLiteral("恢复数据"), DialogFilter(kDatabaseFilter));
  if (!chosen || chosen->isEmpty()) return;
  OpsContext ops = MakeOpsContext(core_, true);
  MaintenanceResult result = Restore(ops, Actor::Console(), PathOf(*chosen), false);
  if (result.needsConfirmation) {
    if (!prompter_.Question(owner_, Q(result.status.Message()), Q(kMaintenanceCaption))) return;
    result = Restore(ops, Actor::Console(), PathOf(*chosen), true);
    // The directory may have been reloaded (or emptied): no view may keep
    // showing the old one.
    if (AfterRestore) AfterRestore();
  }
  const std::string& message = result.status.Message();
  if (message.empty()) return;
  // The connection message belongs to no window. A failure says why after
  // its message: a file that cannot be read or is not a database.
  Inform(result.Shown(), message == kDatabaseConnectFailed ? nullptr : owner_);
}

void ConsoleCommands::PublishAnnouncement() {
  std::optional<QString> entered =
      prompter_.GetText(owner_, Q(kAnnouncementCaption), Q(kAnnouncementPrompt), Q(core_.Settings().Information()));
  std::optional<std::string> text;
  if (entered) text = entered->toStdString();
  OpsContext ops = MakeOpsContext(core_, true);
  PublishResult result = Announce(ops, Actor::Console(), text);
  // A text that could not be saved is still sent; the administrator is told.
  if (!result.ok && !result.message.empty()) Inform(result.message, owner_);
}

void ConsoleCommands::SyncDirectory() {
  if (!core_.Modules().DirectorySync) return;
  QProgressDialog progress(QStringLiteral("正在从目录同步部门和帐号…"), QString(), 0, 0, owner_);
  progress.setObjectName(QStringLiteral("directorySyncProgress"));
  progress.setWindowTitle(QStringLiteral("从目录同步"));
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(0);
  progress.show();
  // The sync reads the directory and writes the database off the window
  // thread; the window keeps painting and shows the steps.
  std::atomic<int> done{0}, total{0};
  std::atomic<bool> finished{false};
  DirectorySyncOutcome outcome;
  std::thread worker([&] {
    OpsContext ops = MakeOpsContext(core_, true);
    Result<DirectorySyncOutcome> ran = corvan::SyncDirectory(ops, Actor::Console(), {}, [&](int d, int t) {
      done = d;
      total = t;
    });
    outcome = ran.IsOk() ? std::move(ran.Value()) : DirectorySyncOutcome{false, {}, ran.GetStatus().Message()};
    finished = true;
  });
  while (!finished) {
    if (total > 0) {
      progress.setMaximum(total);
      progress.setValue(done);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  worker.join();
  progress.close();
  if (AfterRestore) AfterRestore();
  Inform(outcome.message, owner_);
}

void ConsoleCommands::CleanOfflineFiles() {
  OpsContext ops = MakeOpsContext(core_, true);
  StartCleanOffline(ops, Actor::Console());
}

void ConsoleCommands::CleanOfflineFilesFromToolbar() {
  if (core_.Lifecycle().TcpServerExists()) {
    Inform(kStopServerFirst, owner_);
    return;
  }
  OpsContext ops = MakeOpsContext(core_, true);
  StartCleanOffline(ops, Actor::Console());
}

void ConsoleCommands::ListOnlineUsers() {
  for (std::string& line : OnlineUserLines(corvan::ListOnlineUsers(core_.Online())))
    core_.Log().Append(std::move(line));
}

void ConsoleCommands::OpenHelp() {
  // The guide is found from the program's own folder, not the data folder.
  std::optional<std::filesystem::path> index = FindHelpIndex(core_.Options().executable.parent_path());
  if (index) {
    if (!helpWindow_) helpWindow_ = new HelpWindow(owner_);
    if (helpWindow_->Open(*index)) return;
  }
  Inform(kHelpMissing, owner_);
}

}  // namespace corvan
