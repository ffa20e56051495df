// corvanctl: administration of a Corvan server from a terminal.
//
//   corvanctl [--json] COMMAND [ARGS...]
//
// The data folder is found as the server finds it: $CORVAN_HOME, else the
// folder of this program (it is installed beside corvan-server). When a
// server runs on the folder, the command goes to its administration
// endpoint; otherwise the commands that can work on the files alone run
// here, under the folder's instance lock, and the others report that the
// server is not running.
//
// Exit status: 0 success, 1 refused or failed (the system's message on
// standard error), 2 usage, 3 server not running or unreachable, 4 a
// question was not answered (use --yes).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "admin/admin_codec.h"
#include "admin/admin_commands.h"
#include "admin/admin_endpoint.h"
#include "server/instance.h"

namespace {

namespace fs = std::filesystem;
using corvan::AdminReply;

// Long enough for a backup or restore of a large database.
constexpr std::chrono::minutes kReplyTimeout{10};

volatile sig_atomic_t interrupted = 0;

// Arguments naming files are made absolute: the server resolves them in its
// own working folder.
std::vector<std::string> AbsoluteFiles(std::vector<std::string> argv) {
  std::vector<std::size_t> words;
  for (std::size_t i = 0; i < argv.size(); ++i)
    if (argv[i].rfind("--", 0) != 0) words.push_back(i);
  auto makeAbsolute = [&](std::size_t w) {
    if (w < words.size()) {
      std::string& a = argv[words[w]];
      std::error_code ec;
      fs::path abs = fs::absolute(a, ec);
      if (!ec) a = abs.string();
    }
  };
  if (!words.empty()) {
    const std::string& cmd = argv[words[0]];
    if (cmd == "backup" || cmd == "restore") makeAbsolute(1);
    if (cmd == "user" && words.size() > 1 && (argv[words[1]] == "import" || argv[words[1]] == "export")) makeAbsolute(2);
  }
  return argv;
}

class Runner {
 public:
  explicit Runner(fs::path home) : home_(std::move(home)) {}

  // Runs one command, in the server when one runs, else on the files.
  AdminReply Run(const std::vector<std::string>& argv) {
    if (!lockTried_) {
      lockTried_ = true;
      lock_ = corvan::AcquireInstanceLock(home_);
    }
    if (lock_) return corvan::RunAdminCommandOnFolder(home_, corvan::ExecutablePath().parent_path() / "corvan-server", argv);
    std::string error;
    auto reply = corvan::CallAdminEndpoint(corvan::AdminSocketPath(home_), corvan::AdminRequest{argv}, kReplyTimeout,
                                           &error);
    if (reply) return *reply;
    AdminReply r;
    r.message = "无法连接服务器的管理接口：" + error;
    r.exitCode = corvan::kExitNotRunning;
    return r;
  }

  bool InServer() const { return !lock_; }

 private:
  fs::path home_;
  bool lockTried_ = false;
  std::optional<corvan::UniqueFd> lock_;  // held: no server runs on the folder
};

void Print(const AdminReply& r, bool json) {
  if (json) {
    std::cout << corvan::WriteJson(corvan::ReplyToJson(r)) << std::endl;
    return;
  }
  for (const auto& l : r.lines) std::cout << l << '\n';
  std::cout.flush();
  if (!r.message.empty()) (r.ok ? std::cout : std::cerr) << r.message << std::endl;
}

bool AskYes(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "是";
}

// "log -f": the held lines, then every new line until interrupted.
int FollowLog(Runner& runner, bool json) {
  signal(SIGINT, [](int) { interrupted = 1; });
  signal(SIGTERM, [](int) { interrupted = 1; });
  std::uint64_t since = 0;
  while (!interrupted) {
    AdminReply r = runner.Run({"log", "--since", std::to_string(since)});
    if (!r.ok) {
      Print(r, json);
      return r.exitCode;
    }
    if (json) {
      for (const auto& l : r.lines) std::cout << corvan::WriteJson(corvan::JsonValue(l)) << '\n';
      std::cout.flush();
    } else {
      Print(r, false);
    }
    since = static_cast<std::uint64_t>(r.data["seq"].AsInt(static_cast<std::int64_t>(since)));
    for (int i = 0; i < 10 && !interrupted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  bool json = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "-h" || a == "--help") {
      std::cout << "usage: corvanctl [--json] COMMAND [ARGS...]\n" << corvan::AdminUsage() << std::endl;
      return 0;
    } else {
      args.push_back(std::move(a));
    }
  }
  if (args.empty()) {
    std::cerr << "usage: corvanctl [--json] COMMAND [ARGS...]\n" << corvan::AdminUsage() << std::endl;
    return corvan::kExitUsage;
  }
  Runner runner(corvan::DataFolder());

  if (args[0] == "log") {
    bool follow = false;
    std::vector<std::string> rest;
    for (const auto& a : args) {
      if (a == "-f" || a == "--follow") follow = true;
      else rest.push_back(a);
    }
    if (follow) return FollowLog(runner, json);
    args = rest;
  }

  args = AbsoluteFiles(std::move(args));
  AdminReply reply = runner.Run(args);
  if (reply.exitCode == corvan::kExitConfirm && !json && isatty(STDIN_FILENO)) {
    if (!AskYes(reply.message)) return corvan::kExitConfirm;
    args.push_back("--yes");
    reply = runner.Run(args);
  }
  Print(reply, json);
  return reply.ok ? 0 : (reply.exitCode == 0 ? 1 : reply.exitCode);
}
