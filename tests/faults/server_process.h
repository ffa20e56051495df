// The real program as a child process, for tests that stop or kill it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/offline_support.h"

extern char** environ;

namespace corvan::test {

// The program, started headless on a data folder; killed at destruction if
// it is still running.
class ServerProcess {
 public:
  explicit ServerProcess(const std::filesystem::path& home) {
    const std::string homeVar = "CORVAN_HOME=" + home.string();
    const std::string configVar = "XDG_CONFIG_HOME=" + (home / "xdg").string();
    std::vector<std::string> env = {homeVar, configVar, "CORVAN_HEADLESS=1"};
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view v(*e);
      if (!v.starts_with("CORVAN_") && !v.starts_with("XDG_CONFIG_HOME=") && !v.starts_with("DISPLAY=") &&
          !v.starts_with("WAYLAND_DISPLAY=")) {
        env.emplace_back(v);
      }
    }
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string program = CORVAN_SERVER_BINARY;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (home / "stdout.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }
  // Ends the program at once (SIGKILL) and reaps it.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Sends SIGTERM and waits (bounded) for the exit; the exit status, or -1.
  int Terminate(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitUntil(
        [&] {
          pid_t r = ::waitpid(pid_, &status, WNOHANG);
          return r == pid_;
        },
        timeout);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace corvan::test
