// corvan-server: the program entry.
//
// With a display (and CORVAN_HEADLESS not 1) the console window is shown;
// otherwise the server runs headless: status-log lines go to standard output
// and SIGTERM or SIGINT stop the server and end the program with status 0.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "server/instance.h"
#include "admin/admin_endpoint.h"
#include "server/server_core.h"

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
  if (auto interval = TestDuration("CORVAN_TEST_STATUS_INTERVAL_MS")) options.statusInterval = *interval;
  if (auto silence = TestDuration("CORVAN_TEST_SILENCE_MS")) options.silenceLimit = *silence;
  corvan::ServerCore core(options);
  core.Log().SetSink([](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  core.OpenDatabase();
  core.FirstShow();
  // corvanctl's way in; the server runs on without it if it cannot be made.
  corvan::AdminEndpoint admin(core, {corvan::AdminSocketPath(home)});
  std::string adminError;
  if (!admin.Start(&adminError)) std::fprintf(stderr, "admin endpoint: %s\n", adminError.c_str());

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  admin.Stop();
  core.StopServer();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path home = corvan::DataFolder();
  auto instance = corvan::AcquireInstanceLock(home);
  if (!instance) {
#ifdef CORVAN_WITH_CONSOLE
    // Started from the desktop menu: say who holds the folder.
    if (corvan::StartedFromDesktopEntry(argc, argv) && corvan::DisplayAvailable())
      return corvan::RunServiceHoldsFolderNotice(argc, argv, home);
#endif
    return 0;  // another server runs on this data folder
  }
  RaiseOpenFilesLimit();
#ifdef CORVAN_WITH_CONSOLE
  if (corvan::DisplayAvailable()) return corvan::RunConsole(argc, argv, home);
#endif
  (void)argc;
  (void)argv;
  return RunHeadless(home);
}
