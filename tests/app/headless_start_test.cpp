// The program started headless: on a data folder where it cannot serve, one
// line on standard error naming the cause and the path, and a non-zero exit
// status, so that a service manager reports and restarts it; "--help" and
// "--version" without a start; and what a service manager waiting for it
// (systemd's Type=notify) hears.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "server/instance.h"
#include "support/offline_support.h"
#include "support/process.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::ProcessOutcome;

// The program on `home` with CORVAN_HEADLESS=1 (or with a display, for the
// console), `args` after its name and `env` added to its environment.
std::unique_ptr<test::ChildProcess> Start(const fs::path& home, const fs::path& logs, bool console = false,
                                          const std::vector<std::string>& args = {},
                                          const std::vector<std::string>& env = {}) {
  std::vector<std::string> added = {"CORVAN_HOME=" + home.string(), "XDG_CONFIG_HOME=" + (logs / "xdg").string(),
                                    console ? "DISPLAY=:99" : "CORVAN_HEADLESS=1"};
  added.insert(added.end(), env.begin(), env.end());
  std::vector<std::string> argv = {CORVAN_SERVER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<test::ChildProcess>(
      argv,
      test::Environment({"CORVAN_", "XDG_CONFIG_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=", "NOTIFY_SOCKET=", "WATCHDOG_"},
                        added),
      logs);
}

ProcessOutcome RunProgram(const fs::path& home, const fs::path& logs, bool console = false,
                          const std::vector<std::string>& args = {}) {
  return Start(home, logs, console, args)->Finish();
}

// One line, ended by a newline.
bool OneLine(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

class HeadlessStart : public ::testing::Test {
 protected:
  HeadlessStart() : home_(dir_.Path() / "data") {
    fs::create_directories(home_);
    fs::create_directories(logs_.Path());
    Settings(port_);
  }
  void Settings(std::uint16_t port) {
    std::ofstream(home_ / "Configure.xml")
        << "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Struct><ServerPort>" << port
        << "</ServerPort></Struct></RootNode>\r\n";
  }

  test::TempDir dir_;
  test::TempDir logs_;
  fs::path home_;
  std::uint16_t port_ = test::FreePort();
};

TEST_F(HeadlessStart, DataFolderThatCannotBeMade) {
  std::ofstream(dir_.Path() / "file") << "x";
  const fs::path home = dir_.Path() / "file" / "data";
  ProcessOutcome r = RunProgram(home, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find(home.string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Not a directory"), std::string::npos) << r.err;
}

TEST_F(HeadlessStart, AnotherServerHoldsTheFolder) {
  auto lock = AcquireInstanceLock(home_);
  ASSERT_TRUE(lock.IsOk());
  ProcessOutcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("另一个服务器正在使用数据目录 " + home_.string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find((home_ / "Mutex_Server_ONLY_ONE.lock").string()), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
#if defined(CORVAN_SERVER_HAS_CONSOLE)
  // The window, by contrast, ends silently with status 0.
  ProcessOutcome window = RunProgram(home_, logs_.Path(), /*console=*/true);
  EXPECT_EQ(window.status, 0);
  EXPECT_EQ(window.err, "");
  EXPECT_EQ(window.out, "");
#endif
}

TEST_F(HeadlessStart, DatabaseThatIsNotADatabase) {
  std::ofstream(home_ / "Corvan_Server.mdb") << std::string(4096, 'x');
  ProcessOutcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find((home_ / "Corvan_Server.mdb").string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("file is not a database"), std::string::npos) << r.err;  // the engine's message
  EXPECT_NE(r.out.find("数据库连接失败"), std::string::npos) << r.out;
}

TEST_F(HeadlessStart, PortTakenByAnotherProgram) {
  test::TakenPort taken = test::TakeAPort();
  const std::string port = std::to_string(taken.port);
  Settings(taken.port);

  ProcessOutcome r = RunProgram(home_, logs_.Path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("无法监听端口" + port + "（数据目录 " + home_.string() + "）"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Address already in use"), std::string::npos) << r.err;  // the system's message
  // The status log keeps its line, and shows no stop of listeners that
  // never ran.
  EXPECT_NE(r.out.find("服务器在" + port + "端口启动失败!"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("停止监听"), std::string::npos) << r.out;
}

TEST_F(HeadlessStart, HelpAndVersionPrintAndEndWithoutStarting) {
  const fs::path home = dir_.Path() / "never-made";
  struct Case {
    const char* arg;
    bool console;
    const char* shown;
  };
  for (Case c : {Case{"--help", false, "用法：corvan-server"}, Case{"-h", false, "CORVAN_HOME"},
                 Case{"--help", true, "用法：corvan-server"}, Case{"--version", false, "corvan-server "}}) {
    ProcessOutcome r = RunProgram(home, logs_.Path(), c.console, {c.arg});
    EXPECT_EQ(r.status, 0) << c.arg;
    EXPECT_NE(r.out.find(c.shown), std::string::npos) << c.arg << r.out;
    EXPECT_EQ(r.err, "") << c.arg;
  }
  EXPECT_TRUE(OneLine(RunProgram(home, logs_.Path(), false, {"--version"}).out));
  EXPECT_FALSE(fs::exists(home));
}

// A datagram socket standing in for the service manager's notification
// socket.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  bool Bound() const { return bound_; }
  // The next message that holds `part`, skipping others, within `timeout`.
  std::optional<std::string> Next(std::string_view part, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      std::string message(buffer, static_cast<std::size_t>(n));
      if (message.find(part) != std::string::npos) return message;
    }
    return std::nullopt;
  }

 private:
  fs::path path_;
  UniqueFd fd_;
  bool bound_ = false;
};

bool Accepts(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// READY=1 once the listeners are up, the status with the online count, and
// watchdog pings from the running server; STOPPING=1 at the stop.
TEST_F(HeadlessStart, TellsTheServiceManagerWhenItServesAndPingsTheWatchdog) {
  NotifySocket notify(logs_.Path() / "notify");
  ASSERT_TRUE(notify.Bound());
  auto server = Start(home_, logs_.Path(), false, {},
                      {"NOTIFY_SOCKET=" + (logs_.Path() / "notify").string(), "WATCHDOG_USEC=200000"});
  std::optional<std::string> ready = notify.Next("READY=1", 20s);
  ASSERT_TRUE(ready) << server->Err();
  EXPECT_TRUE(Accepts(port_));
  EXPECT_NE(ready->find("STATUS=服务器正在运行，共0人在线"), std::string::npos) << *ready;
  // Every 100 ms, half the watchdog's interval.
  for (int ping = 0; ping < 3; ++ping) ASSERT_TRUE(notify.Next("WATCHDOG=1", 5s)) << ping;
  server->Signal(SIGTERM);
  EXPECT_TRUE(notify.Next("STOPPING=1", 10s));
  EXPECT_EQ(server->Finish().status, 0);
}

}  // namespace
}  // namespace corvan
