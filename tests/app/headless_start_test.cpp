// The program started headless on a data folder where it cannot serve: one
// line on standard error naming the cause and the path, and a non-zero exit
// status, so that a service manager reports and restarts it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "server/instance.h"
#include "support/offline_support.h"
#include "support/test_server.h"

extern char** environ;

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Outcome {
  int status = -1;  // the exit status; -1 when it did not end in time
  std::string out;
  std::string err;
};

// Runs the program on `home` with CORVAN_HEADLESS=1 (or with a display, for
// the console) and waits up to 20 s for it to end; killed if it does not.
Outcome RunProgram(const fs::path& home, const fs::path& logs, bool console = false) {
  std::vector<std::string> env = {"CORVAN_HOME=" + home.string(), "XDG_CONFIG_HOME=" + (logs / "xdg").string()};
  env.emplace_back(console ? "DISPLAY=:99" : "CORVAN_HEADLESS=1");
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
  const std::string out = (logs / "stdout.log").string();
  const std::string err = (logs / "stderr.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  Outcome r;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pid <= 0) return r;
  int status = 0;
  bool ended = test::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 20s);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  } else {
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

// One line, ended by a newline.
bool OneLine(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

class HeadlessStart : public ::testing::Test {
 protected:
  HeadlessStart() : home_(dir_.Path() / "data") {
    fs::create_directories(home_);
    fs::create_directories(logs_.Path());
    Settings(test::FreePort());
  }
  void Settings(std::uint16_t port) {
    std::ofstream(home_ / "Configure.xml")
        << "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Struct><ServerPort>" << port
        << "</ServerPort></Struct></RootNode>\r\n";
  }

  test::TempDir dir_;
  test::TempDir logs_;
  fs::path home_;
};

TEST_F(HeadlessStart, DataFolderThatCannotBeMade) {
  std::ofstream(dir_.Path() / "file") << "x";
  const fs::path home = dir_.Path() / "file" / "data";
  Outcome r = RunProgram(home, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find(home.string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Not a directory"), std::string::npos) << r.err;
}

TEST_F(HeadlessStart, AnotherServerHoldsTheFolder) {
  auto lock = AcquireInstanceLock(home_);
  ASSERT_TRUE(lock.IsOk());
  Outcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("another server"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find((home_ / "Mutex_Server_ONLY_ONE.lock").string()), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
#if defined(CORVAN_SERVER_HAS_CONSOLE)
  // The window, by contrast, ends silently with status 0.
  Outcome window = RunProgram(home_, logs_.Path(), /*console=*/true);
  EXPECT_EQ(window.status, 0);
  EXPECT_EQ(window.err, "");
  EXPECT_EQ(window.out, "");
#endif
}

TEST_F(HeadlessStart, DatabaseThatIsNotADatabase) {
  std::ofstream(home_ / "Corvan_Server.mdb") << std::string(4096, 'x');
  Outcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find((home_ / "Corvan_Server.mdb").string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("file is not a database"), std::string::npos) << r.err;  // the engine's message
  EXPECT_NE(r.out.find("数据库连接失败"), std::string::npos) << r.out;
}

TEST_F(HeadlessStart, PortTakenByAnotherProgram) {
  UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(taken.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin_port));
  Settings(ntohs(addr.sin_port));

  Outcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("port " + port), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Address already in use"), std::string::npos) << r.err;  // the system's message
  // The status log keeps its line, and shows no stop of listeners that
  // never ran.
  EXPECT_NE(r.out.find("服务器在" + port + "端口启动失败!"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("停止监听"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace corvan
