#include "console/console_main.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "admin/admin_endpoint.h"
#include "console/main_shell.h"
#include "console/main_window.h"
#include "console/prompter.h"
#include "console/stop_signals.h"
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

int RunConsole(int argc, char** argv, const std::filesystem::path& home, CoreModules modules, RequestTable requests) {
  // Before any thread starts: the stop signals then reach only StopSignals.
  BlockStopSignals();
  // A client that goes away mid-write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));
  if (!InstallQtTranslation(app))
    std::fprintf(stderr, "未找到Qt的中文翻译 qtbase_zh_CN（查找位置：%s），Qt自身的文字将显示为英文\n",
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath).toLocal8Bit().constData());
  StopSignals stopSignals;
  if (!stopSignals.Watching()) std::perror("signalfd");

  CoreOptions options;
  options.home = home;
  options.executable = ExecutablePath();
  options.autoStartOnFirstRun = true;
  options.modules = std::move(modules);
  options.requests = std::move(requests);
  ServerCore core(options);
  QtPrompter prompter;

  // The window (with its dialogs) exists before the database opens, so the
  // log line of a failed open reaches the status log too.
  MainWindow window(core, prompter);
  // The status log on standard output as well, as the headless run prints
  // it; the window's lines are queued to it as the window itself does.
  core.Log().SetSink([&window](const std::string& line) {
    QMetaObject::invokeMethod(
        &window, [&window, text = QString::fromStdString(line)] { window.LogStatus(text); }, Qt::QueuedConnection);
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
  if (!core.Lifecycle().OpenDatabase().IsOk())
    prompter.Information(nullptr, QStringLiteral("数据库连接失败"), QStringLiteral("信息"));
  // A stop signal while that message was up ends the program here.
  if (stopSignals.Received()) {
    core.Lifecycle().StopServer();
    return 0;
  }
  window.show();  // the first show loads the directory and starts the server
  // corvanctl's way in, as in the headless run; the console runs on without it.
  AdminEndpoint admin(core, {AdminSocketPath(home)});
  if (Status started = admin.Start(); !started.IsOk()) core.Log().Append("admin endpoint: " + started.Message());
  int status = app.exec();
  admin.Stop();
  core.Lifecycle().StopServer();
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
  prompter.Information(nullptr, QString::fromStdString(ServiceHoldsFolderNotice(home, usable)), QStringLiteral("信息"));
}

int RunServiceHoldsFolderNotice(int argc, char** argv, const std::filesystem::path& home) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvan服务器"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvan服务器"));
  InstallQtTranslation(app);  // without it the box's button is English, nothing more
  QtPrompter prompter;
  TellServiceHoldsFolder(prompter, home);
  return 0;
}

}  // namespace corvan
