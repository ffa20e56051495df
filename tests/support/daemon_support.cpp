#include "support/daemon_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "base/unique_fd.h"

namespace corvan::test {

bool Daemon::Start(const std::vector<std::string>& argv, const std::filesystem::path& log,
                   const std::function<bool()>& ready, std::chrono::milliseconds wait) {
  if (pid_ > 0) return true;
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  const std::string logPath = log.string();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  return false;
}

void Daemon::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool Accepts(const std::string& ip, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (!fd.Valid() || ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return false;
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool RunLogged(const std::string& command, const std::filesystem::path& log) {
  const std::string line = "(" + command + ") >> " + ShellQuoted(log.string()) + " 2>&1";
  return std::system(line.c_str()) == 0;
}

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace corvan::test
