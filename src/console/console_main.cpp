#include "console/console_main.h"

#include <signal.h>

#include <QApplication>

#include "console/frmmain.h"
#include "console/main_shell.h"
#include "console/prompter.h"
#include "admin/admin_endpoint.h"
#include "server/instance.h"
#include "server/server_core.h"

namespace corvan {

int RunConsole(int argc, char** argv, const std::filesystem::path& home, CoreModules modules,
               RequestTable requests) {
  // A client that goes away mid-write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));

  CoreOptions options;
  options.home = home;
  options.executable = ExecutablePath();
  options.modules = std::move(modules);
  options.requests = std::move(requests);
  ServerCore core(options);
  QtPrompter prompter;

  // The window (with its dialogs) exists before the database opens, so the
  // log line of a failed open reaches the status log too.
  Tfrmmain window(core, prompter);
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

}  // namespace corvan
