// corvanctl: administration of a Corvan server from a terminal.
//
//   corvanctl [--json] COMMAND [ARGS...]
//
// The data folder is found as the server finds it: $CORVAN_HOME, else the
// service's folder for an installed program, else the folder of this
// program. Nothing is created there by a command that only reads: a folder
// that does not exist, or holds no database, is an error naming it. Run as
// root on a folder that another user owns, the tool acts as that user inside
// the folder, so that every file it makes there belongs to the folder's
// owner; the caller's own files (a backup's target, a restore's source) are
// written and read as the caller (see file_handover.h). When a server runs
// on the folder, the command goes to its administration endpoint; otherwise
// the commands that can work on the files alone run here (those that write
// under the folder's instance lock), and the others report that the server
// is not running.
//
// Exit status: see kExitStatuses below.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "admin/admin_codec.h"
#include "admin/admin_commands.h"
#include "admin/admin_endpoint.h"
#include "admin/command_table.h"
#include "app/modules_default.h"
#include "file_handover.h"
#include "identity.h"
#include "server/instance.h"
#include "storage/schema.h"

namespace {

namespace fs = std::filesystem;
using corvan::AdminReply;

// Long enough for a backup or restore of a large database.
constexpr std::chrono::minutes kReplyTimeout{10};

volatile sig_atomic_t interrupted = 0;

// The command line after the tool's own options, for the usage shown with a
// usage error.
std::vector<std::string> commandLine;

constexpr const char* kUsageLine = "用法：corvanctl [--json] 命令 [参数...]";
constexpr const char* kExitStatuses =
    "退出状态：\n"
    "  0  完成\n"
    "  1  被拒绝或失败（原因在标准错误输出）\n"
    "  2  用法错误（未知的命令或选项，参数个数不对）\n"
    "  3  服务器未运行，或无法连接其管理接口\n"
    "  4  问题没有得到回答（加 --yes）\n"
    "  5  数据目录不存在，或其中没有数据库\n";
constexpr const char* kDataFolderHelp =
    "数据目录：$CORVAN_HOME；未设置时，安装的程序使用 /var/lib/corvan，其他情况使用程序所在的目录。\n"
    "请以服务器的用户或 root 运行。root 在属于其他用户的数据目录里以该用户的身份操作；\n"
    "backup、user export 写出的文件和 restore、user import 读入的文件则以调用者的身份读写（写出的文件权限为 0600）。\n";

AdminReply Failure(std::string message, int exitCode) {
  AdminReply r;
  r.message = std::move(message);
  r.exitCode = exitCode;
  return r;
}

class Runner {
 public:
  Runner(fs::path home, bool writes, bool createsDatabase)
      : home_(std::move(home)), writes_(writes), createsDatabase_(createsDatabase) {}

  // Runs one command, in the server when one runs, else on the files.
  // `input` is what was read for it from the terminal (a password).
  AdminReply Run(const std::vector<std::string>& argv, const std::optional<std::string>& input = std::nullopt) {
    if (!lockTried_) {
      lockTried_ = true;
      // A command that only reads does not create the lock file: where it
      // is missing, no server has run on the folder.
      corvan::Result<corvan::UniqueFd> lock = corvan::AcquireInstanceLock(home_, writes_);
      if (lock.IsOk()) lock_ = std::move(lock).Value();
      std::error_code ec;
      noLockFile_ = !lock_ && !fs::exists(home_ / "Mutex_Server_ONLY_ONE.lock", ec);
    }
    if (lock_ || noLockFile_) return RunOnFolder(argv, input);
    corvan::Result<AdminReply> reply =
        corvan::CallAdminEndpoint(corvan::AdminSocketPath(home_), corvan::AdminRequest{argv, input}, kReplyTimeout);
    if (reply.IsOk()) return std::move(reply).Value();
    return Failure("无法连接服务器的管理接口：" + reply.GetStatus().Message(), corvan::kExitNotRunning);
  }

 private:
  AdminReply RunOnFolder(const std::vector<std::string>& argv, const std::optional<std::string>& input) {
    fs::path database = home_ / corvan::kDatabaseFileName;
    std::error_code ec;
    if (corvan::RunsWithoutServer(argv) && !createsDatabase_ && !corvan::IsConfigCommand(argv) &&
        !fs::exists(database, ec))
      return Failure("数据目录中没有数据库：" + database.string(), corvan::kExitNoData);
    return corvan::RunAdminCommandOnFolder(home_, corvan::ExecutablePath().parent_path() / "corvan-server", argv,
                                           corvan::DefaultModules(), input);
  }

  fs::path home_;
  bool writes_;
  bool createsDatabase_;
  bool lockTried_ = false;
  bool noLockFile_ = false;
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
  if (r.exitCode == corvan::kExitUsage) {
    // The usage of the command named, when the line names one; else every
    // command's.
    std::optional<std::string> usage = corvan::CommandUsageOf(commandLine);
    std::cerr << kUsageLine << '\n' << (usage ? *usage : corvan::AdminUsage()) << std::endl;
  }
}

int ExitStatus(const AdminReply& r) { return r.ok ? 0 : (r.exitCode == 0 ? 1 : r.exitCode); }

bool AskYes(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "是";
}

// Whether the command sets a password ("web admin add|passwd NAME").
bool TakesPassword(const std::vector<std::string>& args) {
  corvan::Result<corvan::ParsedCommand> parsed = corvan::ParseCommandLine(args);
  return parsed.IsOk() && parsed.Value().row->readsPassword;
}

// One line from standard input, without its line end.
std::optional<std::string> ReadLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A password asked on the terminal with the echo off (twice, to catch a
// typing slip), or one line of standard input when that is not a terminal.
std::optional<std::string> ReadPassword() {
  if (!isatty(STDIN_FILENO)) return ReadLine();
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return ReadLine();
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << "密码：" << std::flush;
  std::optional<std::string> first = ReadLine();
  std::cerr << "\n再次输入密码：" << std::flush;
  std::optional<std::string> second = first ? ReadLine() : std::nullopt;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << std::endl;
  if (!first || !second) return std::nullopt;
  if (*first != *second) {
    std::cerr << "两次输入的密码不一致" << std::endl;
    return std::nullopt;
  }
  return first;
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
      return ExitStatus(r);
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
      std::cout << kUsageLine << '\n' << corvan::AdminUsage() << "\n\n" << kDataFolderHelp << '\n' << kExitStatuses;
      return 0;
    } else if (a == "--version") {
      std::cout << "corvanctl " << CORVAN_VERSION << std::endl;
      return 0;
    } else {
      args.push_back(std::move(a));
    }
  }
  bool follow = false;
  if (!args.empty() && args[0] == "log") {
    std::vector<std::string> rest;
    for (const auto& a : args) {
      if (a == "-f" || a == "--follow") follow = true;
      else rest.push_back(a);
    }
    args = rest;
  }
  commandLine = args;
  if (args.empty()) {
    Print(Failure("没有给出命令", corvan::kExitUsage), json);
    return corvan::kExitUsage;
  }
  if (auto error = corvan::AdminUsageError(args)) {
    Print(Failure(*error, corvan::kExitUsage), json);
    return corvan::kExitUsage;
  }
  if (args[0] == "help") {
    std::cout << kUsageLine << '\n' << corvan::AdminUsage() << std::endl;
    return 0;
  }

  fs::path home = corvan::DataFolderPath();
  std::error_code ec;
  if (!fs::is_directory(home, ec)) {
    // Only a restore may make the folder it puts the database in (private,
    // as the server makes it).
    if (!corvan::CreatesDatabase(args) || !corvan::DataFolder().IsOk()) {
      Print(Failure("数据目录不存在：" + home.string(), corvan::kExitNoData), json);
      return corvan::kExitNoData;
    }
  }
  corvan::Identity identity;
  if (auto refusal = identity.ActAsOwnerOf(home)) {
    Print(Failure(*refusal, corvan::kExitRefused), json);
    return corvan::kExitRefused;
  }
  Runner runner(home, corvan::WritesWithoutServer(args), corvan::CreatesDatabase(args));
  if (follow) return FollowLog(runner, json);

  std::optional<std::string> input;
  if (TakesPassword(args)) {
    input = ReadPassword();
    if (!input) {
      Print(Failure("没有读到密码", corvan::kExitUsage), json);
      return corvan::kExitUsage;
    }
  }
  args = corvan::FileHandover::AbsoluteFile(std::move(args));
  corvan::FileHandover handover(home, identity);
  auto run = [&runner, &input](const std::vector<std::string>& argv) { return runner.Run(argv, input); };
  AdminReply reply = handover.Run(args, run);
  if (reply.exitCode == corvan::kExitConfirm && !json && isatty(STDIN_FILENO)) {
    if (!AskYes(reply.message)) return corvan::kExitConfirm;
    args.push_back("--yes");
    reply = handover.Run(args, run);
  }
  Print(reply, json);
  return ExitStatus(reply);
}
