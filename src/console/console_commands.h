// The console commands of the data and announcement groups, the status-log
// menu and help, as plain operations over the core and the prompter: every
// dialog, question and message goes through the Prompter, so tests run them
// without a person. The main window wires its menu items, toolbar buttons,
// group bar items and tray menu to these.
//
// Everything runs on the window thread.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "server/online_users.h"

class QWidget;

namespace corvan {

class HelpWindow;
class Prompter;
class ServerCore;

inline constexpr std::string_view kDatabaseFilter = "*.mdb(数据库)|*.mdb|*.*(所有文件)|*.*";
inline constexpr std::string_view kHelpMissing = "无法打开帮助文件!";
inline constexpr std::string_view kAnnouncementCaption = "提示";
inline constexpr std::string_view kAnnouncementPrompt = "请输入公告内容";

// A filter of the form "text|patterns|text|patterns" as a file dialog's
// filter: "text (patterns)" entries joined by ";;". "*.*" (any file here,
// where names need no dot) becomes "*".
QString DialogFilter(std::string_view pairs);

// The lines "在线用户" appends: "共" + N + "人在线！", then per entry
// name, address and last sign of life, in list order.
std::vector<std::string> OnlineUserLines(const std::vector<TUserOnlineInfo>& online);

class ConsoleCommands {
 public:
  ConsoleCommands(ServerCore& core, Prompter& prompter, QWidget* owner);

  // Run after a restore has touched the database: reload the tree and both
  // account lists from the directory.
  std::function<void()> AfterRestore;

  // "备份数据": the save dialog, the overwrite question, the copy.
  void BackupDatabase();
  // "恢复数据": refused while the TCP listener exists; the open dialog, the
  // question, the restore, the reload.
  void RestoreDatabase();
  // "发布公告": the text input, then publishing to everybody online.
  void PublishAnnouncement();
  // "从目录同步": the directory sync with a progress dialog, then its
  // summary and a reload of the lists (through AfterRestore).
  void SyncDirectory();
  // "清理离线文件" from the menu or the group bar: starts at once.
  void CleanOfflineFiles();
  // "清理离线文件" from the toolbar: refused while the TCP listener exists.
  void CleanOfflineFilesFromToolbar();
  // "在线用户" of the status-log menu.
  void ListOnlineUsers();
  // "服务器帮助": the help window on the guide beside the program (see
  // FindHelpIndex); "无法打开帮助文件!" when there is none.
  void OpenHelp();
  // The help window, made at the first "服务器帮助"; null before.
  HelpWindow* Help() const { return helpWindow_; }

 private:
  void Inform(std::string_view text, QWidget* owner);

  ServerCore& core_;
  Prompter& prompter_;
  QWidget* owner_;
  HelpWindow* helpWindow_ = nullptr;  // owned by owner_
};

}  // namespace corvan
