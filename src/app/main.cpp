// corvan-server: the program entry.
//
// With a display (and CORVAN_HEADLESS not 1) the console window is shown;
// otherwise the server runs headless: status-log lines go to standard output
// and SIGTERM or SIGINT stop the server and end the program with status 0.
//
// A headless start that cannot serve (the data folder cannot be made, another
// server holds the data folder, the database does not open, the port cannot
// be listened on) prints one line naming the cause and the path on standard
// error and ends with status 1, so that a service manager reports it and
// restarts. The console ends silently when another server holds the folder.
//
// "--help" and "--version" print and end before anything else happens.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "admin/admin_endpoint.h"
#include "app/line_writer.h"
#include "app/modules_default.h"
#include "app/service_notify.h"
#include "server/instance.h"
#include "server/server_core.h"
#include "web/web_console.h"

#ifdef CORVAN_WITH_CONSOLE
#include "console/console_main.h"
#endif

namespace {

// A test-only duration in milliseconds from the environment (used by the load
// generator to shorten the status scan for one run); nothing when unset or not
// a positive number. The product's own values stay the defaults.
std::optional<std::chrono::milliseconds> TestDuration(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  char* end = nullptr;
  long long ms = std::strtoll(text, &end, 10);
  if (*end != '\0' || ms <= 0) return std::nullopt;
  return std::chrono::milliseconds(ms);
}

// One descriptor per client connection: lift the soft open-files limit to the
// hard limit so that thousands of clients can stay connected.
void RaiseOpenFilesLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

constexpr int kExitStartFailed = 1;

constexpr const char* kHelp =
    "用法：corvan-server [--desktop-entry]\n"
    "      corvan-server --help | --version\n"
    "\n"
    "Corvan 局域网即时通讯服务器及其管理控制台。\n"
    "有图形显示（DISPLAY 或 WAYLAND_DISPLAY）且 CORVAN_HEADLESS 不是 1 时显示管理控制台；\n"
    "否则在后台运行：状态日志写到标准输出，收到 SIGTERM 或 SIGINT 时停止服务器并退出。\n"
    "无法启动时在标准错误输出一行原因（含路径），退出状态为 1。\n"
    "\n"
    "选项：\n"
    "  --desktop-entry  由桌面菜单启动：系统服务占用数据目录时，用消息框说明如何管理该服务\n"
    "  --help           显示本说明并退出\n"
    "  --version        显示版本并退出\n"
    "\n"
    "环境变量：\n"
    "  CORVAN_HOME      数据目录；未设置时，安装的程序使用 /var/lib/corvan，其他情况使用程序所在目录\n"
    "  CORVAN_HEADLESS  为 1 时即使有图形显示也不显示窗口\n"
    "  NOTIFY_SOCKET    由 systemd 设置（Type=notify）：监听启动后发送 READY=1，并报告在线人数和看门狗信号\n"
    "\n"
    "管理：corvanctl(1)；说明：man corvan-server\n";

// "--help" or "--version" anywhere on the command line: the text to print.
std::optional<std::string> InformationRequest(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::string(kHelp);
    if (arg == "--version") return std::string("corvan-server ") + CORVAN_VERSION + "\n";
  }
  return std::nullopt;
}

// The one line of a failed headless start, on standard error.
int StartFailed(const std::string& line) {
  std::fprintf(stderr, "corvan-server: %s\n", line.c_str());
  std::fflush(stderr);
  return kExitStartFailed;
}

int RunHeadless(const std::filesystem::path& home) {
  // Block the stop signals in every thread; the main thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  corvan::CoreOptions options;
  options.home = home;
  options.executable = corvan::ExecutablePath();
  corvan::UseDefaultWiring(options);
  if (auto interval = TestDuration("CORVAN_TEST_STATUS_INTERVAL_MS")) options.statusInterval = *interval;
  if (auto silence = TestDuration("CORVAN_TEST_SILENCE_MS")) options.silenceLimit = *silence;
  // The status log goes to standard output (the journal, under a service
  // manager) from a writer thread of its own: a slow journal never holds up
  // the lanes that write the lines. Declared before the core, so it is
  // destroyed (and writes what is left) only after the core.
  corvan::LineWriter statusOutput(STDOUT_FILENO);
  corvan::ServerCore core(options);
  core.Log().SetSink([&statusOutput](const std::string& line) { statusOutput.Write(line); });
  // Before a start failure is told on standard error, the status lines that
  // led to it are out.
  const auto endStatusOutput = [&] {
    core.Log().SetSink(nullptr);
    statusOutput.Flush();
  };
  if (corvan::Status opened = core.Lifecycle().OpenDatabase(); !opened.IsOk()) {
    endStatusOutput();
    return StartFailed("无法打开数据库 " + core.DatabasePath().string() + "：" + opened.Message());
  }
  if (!core.Lifecycle().FirstShow()) {
    endStatusOutput();
    return StartFailed("无法从数据库 " + core.DatabasePath().string() + " 读取部门和用户");
  }
  if (core.Lifecycle().ListeningPort() == 0 || !core.Lifecycle().StartFailure().empty()) {
    // Nothing listens: the stop lines of listeners that never ran are not
    // shown, and the failed start's status-log line stays the last one.
    std::string reason = core.Lifecycle().StartFailure();
    endStatusOutput();
    return StartFailed("无法监听端口" + std::to_string(core.Settings().ServerPort()) + "（数据目录 " + home.string() +
                       "）：" + (reason.empty() ? "原因不明" : reason));
  }
  // The web console, off until `corvanctl web enable`; it follows its
  // settings file from then on, and the server runs on if it cannot start.
  corvan::WebConsoleOptions web;
  web.assets = corvan::FindWebAssets(corvan::ExecutablePath().parent_path()).value_or(std::filesystem::path());
  if (auto interval = TestDuration("CORVAN_TEST_SAMPLE_INTERVAL_MS")) web.sampleInterval = *interval;
  corvan::WebConsole console(core, web);
  console.Start();
  // corvanctl's way in; the server runs on without it if it cannot be made.
  corvan::AdminEndpoint admin(core, {corvan::AdminSocketPath(home)});
  if (corvan::Status started = admin.Start(); !started.IsOk())
    std::fprintf(stderr, "corvan-server: 管理接口无法启动（corvanctl 将无法连接此服务器）：%s\n",
                 started.Message().c_str());
  // Serving: a service manager waiting for it (Type=notify) hears so now.
  corvan::ServiceNotifier notifier(core);
  notifier.Ready();

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  notifier.Stopping();
  admin.Stop();
  console.Stop();
  core.Lifecycle().StopServer();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto text = InformationRequest(argc, argv)) {
    std::fputs(text->c_str(), stdout);
    return 0;
  }
  bool console = false;
#ifdef CORVAN_WITH_CONSOLE
  console = corvan::DisplayAvailable();
#endif
  corvan::Result<std::filesystem::path> folder = corvan::DataFolder();
  if (!folder.IsOk()) return StartFailed("无法创建数据目录 " + folder.GetStatus().Message());
  const std::filesystem::path home = folder.Value();
  corvan::Result<corvan::UniqueFd> instance = corvan::AcquireInstanceLock(home, true);
  if (!instance.IsOk()) {
    if (!instance.GetStatus().Message().empty())
      return StartFailed("无法打开单实例锁文件 " + instance.GetStatus().Message());
#ifdef CORVAN_WITH_CONSOLE
    // Started from the desktop menu: say who holds the folder.
    if (corvan::StartedFromDesktopEntry(argc, argv) && console)
      return corvan::RunServiceHoldsFolderNotice(argc, argv, home);
#endif
    if (console) return 0;  // another server runs on this data folder: the window ends silently
    return StartFailed("另一个服务器正在使用数据目录 " + home.string() + "（它持有 " +
                       (home / "Mutex_Server_ONLY_ONE.lock").string() + "）");
  }
  RaiseOpenFilesLimit();
#ifdef CORVAN_WITH_CONSOLE
  if (console) return corvan::RunConsole(argc, argv, home, corvan::DefaultModules(), corvan::DefaultRequests());
#endif
  (void)argc;
  (void)argv;
  return RunHeadless(home);
}
