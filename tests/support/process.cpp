#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace corvan::test {

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::vector<std::string> Environment(const std::vector<std::string_view>& dropped,
                                     const std::vector<std::string>& added) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view v(*e);
    bool drop = false;
    for (std::string_view prefix : dropped) drop = drop || v.starts_with(prefix);
    if (!drop) env.emplace_back(v);
  }
  env.insert(env.end(), added.begin(), added.end());
  return env;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, fs::path logs)
    : logs_(std::move(logs)) {
  std::vector<std::string> args = argv, vars = env;
  std::vector<char*> argp, envp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  const std::string out = (logs_ / "stdout.log").string();
  const std::string err = (logs_ / "stderr.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::string ChildProcess::Out() const { return Slurp(logs_ / "stdout.log"); }
std::string ChildProcess::Err() const { return Slurp(logs_ / "stderr.log"); }

ProcessOutcome ChildProcess::Finish(std::chrono::milliseconds timeout) {
  ProcessOutcome r;
  if (pid_ > 0) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended == pid_) {
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  r.out = Out();
  r.err = Err();
  return r;
}

ProcessOutcome RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const fs::path& logs, std::chrono::milliseconds timeout) {
  return ChildProcess(argv, env, logs).Finish(timeout);
}

}  // namespace corvan::test
