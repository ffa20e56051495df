#include "console/console_main.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include <QApplication>

#include "console/main_window.h"
#include "console/main_shell.h"
#include "console/prompter.h"
#include "admin/admin_endpoint.h"
#include "server/instance.h"
#include "server/server_core.h"

namespace corvan {

int RunConsole(int argc, char** argv, const std::filesystem::path& home) {
  // A client that goes away mid-write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));

  CoreOptions options;
  options.home = home;
  options.executable = ExecutablePath();
  ServerCore core(options);
  QtPrompter prompter;

  // The window (with its dialogs) exists before the database opens, so the
  // log line of a failed open reaches the status log too.
  MainWindow window(core, prompter);
  // The skinned frame, menus, toolbar, group bar and tray; the window is
  // hidden into the tray rather than closed, so only "退出" ends the loop.
  new MainShell(window, core, prompter);
  QApplication::setQuitOnLastWindowClosed(false);
  if (!core.OpenDatabase())
    prompter.Information(nullptr, QStringLiteral("数据库连接失败"), QStringLiteral("信息"));
  window.show();  // the first show loads the directory and starts the server
  // corvanctl's way in, as in the headless run; the console runs on without it.
  AdminEndpoint admin(core, {AdminSocketPath(home)});
  std::string adminError;
  if (!admin.Start(&adminError)) core.LogStatus("admin endpoint: " + adminError);
  int status = app.exec();
  admin.Stop();
  core.StopServer();
  return status;
}

bool StartedFromDesktopEntry(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] == kDesktopEntryOption) return true;
  return false;
}

std::string ServiceHoldsFolderNotice(const std::filesystem::path& home, bool usable) {
  std::string text = usable ? "Corvan服务器已在运行（系统服务 corvan），数据目录 " + home.string() + " 正由它使用。"
                            : "数据目录 " + home.string() + " 属于系统服务 corvan，当前用户不能使用。";
  text +=
      "\n\n"
      "请在终端中以 root 身份管理服务器：\n"
      "  corvanctl status            查看状态\n"
      "  corvanctl --help            全部管理命令\n"
      "  systemctl start corvan      启动服务\n"
      "  systemctl stop corvan       停止服务\n"
      "  journalctl -u corvan -f     查看运行日志";
  return text;
}

void TellServiceHoldsFolder(Prompter& prompter, const std::filesystem::path& home) {
  bool usable = ::access(home.c_str(), R_OK | W_OK | X_OK) == 0;
  prompter.Information(nullptr, QString::fromStdString(ServiceHoldsFolderNotice(home, usable)),
                       QStringLiteral("信息"));
}

int RunServiceHoldsFolderNotice(int argc, char** argv, const std::filesystem::path& home) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));
  QtPrompter prompter;
  TellServiceHoldsFolder(prompter, home);
  return 0;
}

}  // namespace corvan
