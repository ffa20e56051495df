// Real servers the tests start (slapd, Samba's AD DC): a program run in the
// foreground so that the test owns it, stopped by its process id, and the
// commands that prepare its data.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvan::test {

class Daemon {
 public:
  Daemon() = default;
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() { Stop(); }

  // Runs `argv` (argv[0] a full path) with standard output and error
  // appended to `log`, and waits until `ready` holds. False when the program
  // ends first or is not ready within `wait` (it is stopped then).
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& log, const std::function<bool()>& ready,
             std::chrono::milliseconds wait = std::chrono::seconds(30));
  // SIGTERM, and SIGKILL when it has not ended after five seconds.
  void Stop();
  bool Running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Whether ip:port takes a TCP connection.
bool Accepts(const std::string& ip, std::uint16_t port);

// Runs a shell command with its output appended to `log`; true when it
// exits with status 0.
bool RunLogged(const std::string& command, const std::filesystem::path& log);

// A shell word holding `text` as it is.
std::string ShellQuoted(const std::string& text);

}  // namespace corvan::test
