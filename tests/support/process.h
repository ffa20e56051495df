// Test support: runs a program of the project (the server, corvanctl, a
// script) as a child process with an environment of the test's choosing,
// its standard output and error in files, and stops it by its PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::test {

struct ProcessOutcome {
  int status = -1;  // the exit status; 128 + signal when killed; -1 when it did not end in time
  std::string out;
  std::string err;
};

// This process's environment without the variables whose "NAME=" starts
// with one of `dropped` (for instance "CORVAN_" drops every CORVAN_ variable),
// with `added` ("NAME=value") after it.
std::vector<std::string> Environment(const std::vector<std::string_view>& dropped,
                                     const std::vector<std::string>& added);

// A child running argv[0] with `argv` and `env`; standard input from
// /dev/null, standard output and error into "stdout.log" and "stderr.log"
// in `logs`.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::filesystem::path logs);
  // Kills the child if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Sends `signal` to the child.
  void Signal(int signal) const;
  // What it wrote to standard output or error so far.
  std::string Out() const;
  std::string Err() const;
  // Waits up to `timeout` for the child to end (then kills it) and collects
  // what it wrote.
  ProcessOutcome Finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  std::filesystem::path logs_;
  pid_t pid_ = -1;
};

// Runs a child to its end (at most `timeout`).
ProcessOutcome RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::filesystem::path& logs,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace corvan::test
