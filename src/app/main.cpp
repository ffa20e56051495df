// corvan-server: the program entry.
//
// With a display (and CORVAN_HEADLESS not 1) the console window is shown;
// otherwise the server runs headless: status-log lines go to standard output
// and SIGTERM or SIGINT stop the server and end the program with status 0.
#include <signal.h>

#include <cstdio>
#include <iostream>

#include "server/instance.h"
#include "server/server_core.h"

#ifdef CORVAN_WITH_CONSOLE
#include "console/console_main.h"
#endif

namespace {

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
  corvan::ServerCore core(options);
  core.Log().SetSink([](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  core.OpenDatabase();
  core.FirstShow();

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  core.StopServer();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path home = corvan::DataFolder();
  auto instance = corvan::AcquireInstanceLock(home);
  if (!instance) return 0;  // another server runs on this data folder
#ifdef CORVAN_WITH_CONSOLE
  if (corvan::DisplayAvailable()) return corvan::RunConsole(argc, argv, home);
#endif
  (void)argc;
  (void)argv;
  return RunHeadless(home);
}
