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
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "admin/admin_endpoint.h"
#include "app/modules_default.h"
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
  corvan::ServerCore core(options);
  core.Log().SetSink([](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  if (corvan::Status opened = core.OpenDatabase(); !opened.IsOk()) {
    core.Log().SetSink(nullptr);
    return StartFailed("cannot open the database " + core.DatabasePath().string() + ": " + opened.Message());
  }
  if (!core.FirstShow()) {
    core.Log().SetSink(nullptr);
    return StartFailed("cannot read the accounts and departments from " + core.DatabasePath().string());
  }
  if (core.ListeningPort() == 0 || !core.StartFailure().empty()) {
    // Nothing listens: the stop lines of listeners that never ran are not
    // shown, and the failed start's status-log line stays the last one.
    std::string reason = core.StartFailure();
    core.Log().SetSink(nullptr);
    return StartFailed("cannot listen on port " + std::to_string(core.ServerPort()) + " in " + home.string() + ": " +
                       (reason.empty() ? "unknown error" : reason));
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
    std::fprintf(stderr, "admin endpoint: %s\n", started.Message().c_str());

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  admin.Stop();
  console.Stop();
  core.StopServer();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
#ifdef CORVAN_WITH_CONSOLE
  console = corvan::DisplayAvailable();
#endif
  corvan::Result<std::filesystem::path> folder = corvan::DataFolder();
  if (!folder.IsOk()) return StartFailed("cannot create the data folder " + folder.GetStatus().Message());
  const std::filesystem::path home = folder.Value();
  corvan::Result<corvan::UniqueFd> instance = corvan::AcquireInstanceLock(home, true);
  if (!instance.IsOk()) {
    if (!instance.GetStatus().Message().empty())
      return StartFailed("cannot open the single-instance lock " + instance.GetStatus().Message());
#ifdef CORVAN_WITH_CONSOLE
    // Started from the desktop menu: say who holds the folder.
    if (corvan::StartedFromDesktopEntry(argc, argv) && console)
      return corvan::RunServiceHoldsFolderNotice(argc, argv, home);
#endif
    if (console) return 0;  // another server runs on this data folder: the window ends silently
    return StartFailed("another server is running on the data folder " + home.string() + " (it holds " +
                       (home / "Mutex_Server_ONLY_ONE.lock").string() + ")");
  }
  RaiseOpenFilesLimit();
#ifdef CORVAN_WITH_CONSOLE
  if (console) return corvan::RunConsole(argc, argv, home, corvan::DefaultModules(), corvan::DefaultRequests());
#endif
  (void)argc;
  (void)argv;
  return RunHeadless(home);
}
