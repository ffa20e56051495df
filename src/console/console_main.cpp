#include "console/console_main.h"

#include <signal.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "console/main_window.h"
#include "console/main_shell.h"
#include "console/prompter.h"
#include "console/stop_signals.h"
#include "server/admin_endpoint.h"
#include "server/instance.h"
#include "server/server_core.h"

namespace corvan {

bool InstallQtTranslation(QCoreApplication& app) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator.get()))
    return false;
  // Owned by the application from here: it is used until the application ends.
  translator.release()->setParent(&app);
  return true;
}

int RunConsole(int argc, char** argv, const std::filesystem::path& home) {
  // Before any thread starts: the stop signals then reach only StopSignals.
  BlockStopSignals();
  // A client that goes away mid-write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));
  if (!InstallQtTranslation(app))
    std::fprintf(stderr, "Qt translation qtbase_zh_CN not found in %s: Qt's own texts stay English\n",
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath).toLocal8Bit().constData());
  StopSignals stopSignals;
  if (!stopSignals.Watching()) std::perror("signalfd");

  CoreOptions options;
  options.home = home;
  options.executable = ExecutablePath();
  ServerCore core(options);
  QtPrompter prompter;

  // The window (with its dialogs) exists before the database opens, so the
  // log line of a failed open reaches the status log too.
  MainWindow window(core, prompter);
  // The status log on standard output as well, as the headless run prints
  // it; the window's lines are queued to it as the window itself does.
  core.Log().SetSink([&window](const std::string& line) {
    QMetaObject::invokeMethod(&window, [&window, text = QString::fromStdString(line)] { window.LogStatus(text); },
                              Qt::QueuedConnection);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  // The skinned frame, menus, toolbar, group bar and tray; the window is
  // hidden into the tray rather than closed, so only "退出" (or a stop
  // signal, which takes the same way) ends the loop.
  auto* shell = new MainShell(window, core, prompter);
  QObject::connect(&stopSignals, &StopSignals::StopRequested, shell, &MainShell::Exit);
  QApplication::setQuitOnLastWindowClosed(false);
  if (!core.OpenDatabase())
    prompter.Information(nullptr, QStringLiteral("数据库连接失败"), QStringLiteral("信息"));
  // A stop signal while that message was up ends the program here.
  if (stopSignals.Received()) {
    core.StopServer();
    return 0;
  }
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
