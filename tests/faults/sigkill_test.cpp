// SIGKILL to the real program while it delivers stored files: after a
// restart every item is still stored whole and reaches the recipient at the
// next login.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "app/modules_default.h"
#include "faults/fault_helpers.h"
#include "faults/server_process.h"
#include "storage/config.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ServerProcess;
using test::TcpClient;
using test::WaitUntil;

// A client machine's file port (1871, as the program delivers to) that
// takes the connections and reads the headers but never answers: every
// delivery stays in its first step until the program ends.
class SilentFilePort {
 public:
  SilentFilePort(const std::string& ip, std::uint16_t port) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    int on = 1;
    ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_.Get(), 16) != 0) {
      listener_.Reset();
    }
  }
  bool Listening() const { return listener_.Valid(); }

  // Accepts and reads until `n` header lines arrived or `timeout` passed;
  // the number of headers seen.
  std::size_t WaitForHeaders(std::size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Headers() < n && std::chrono::steady_clock::now() < deadline) {
      std::vector<pollfd> fds{{listener_.Get(), POLLIN, 0}};
      for (auto& c : connections_) fds.push_back({c.fd.Get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        UniqueFd c(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.Valid()) connections_.push_back({std::move(c), {}});
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        char buf[4096];
        ssize_t got = ::recv(fds[i].fd, buf, sizeof buf, 0);
        if (got > 0) connections_[i - 1].received.append(buf, static_cast<std::size_t>(got));
      }
    }
    return Headers();
  }

 private:
  struct Connection {
    UniqueFd fd;
    std::string received;
  };
  std::size_t Headers() const {
    std::size_t n = 0;
    for (const auto& c : connections_) n += c.received.find('\n') != std::string::npos ? 1 : 0;
    return n;
  }

  UniqueFd listener_;
  std::vector<Connection> connections_;
};

std::vector<std::string> StoredFilesOf(const fs::path& dbPath, const std::string& user) {
  Database db;
  std::vector<std::string> out;
  if (!db.Open(dbPath.string(), false).IsOk()) return out;
  DatabaseLock lock(db);
  Statement st(db, "select FilePath from OfflineFiles where ToUser = :u order by rowid");
  st.BindText(":u", user);
  while (st.Step()) out.push_back(st.ColumnText(0));
  return out;
}

TEST(Sigkill, FilesBeingDeliveredWhenTheServerDiesAreDeliveredAtTheNextLogin) {
  // BOB's machine: an address of its own, so its file port can be 1871.
  const std::string bobIp = "127.0.71." + std::to_string(10 + ::getpid() % 200);
  SilentFilePort bobFiles(bobIp, 1871);
  if (!bobFiles.Listening()) GTEST_SKIP() << "port 1871 on " << bobIp << " is taken";

  test::TempDir home;
  const std::uint16_t port = test::FreePort();
  const fs::path dbPath = home.Path() / "Corvan_Server.mdb";
  test::SeedDatabase(dbPath, {{"BOB", "pw", "Bob"}, {"LI", "pw", "Li", "001", 101}});
  WriteConfigValue(home.Path() / "Configure.xml", "ServerPort", std::to_string(port));

  std::set<std::string> contents;
  {
    ServerProcess server(home.Path());
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(WaitUntil([&] { return TcpClient(port).Connected(); }, 30s));
    TcpClient sender(port);
    for (int i = 0; i < 5; ++i) {
      const std::string body = "stored file " + std::to_string(i) + std::string(1000 * i, 'x');
      contents.insert("START\r\n" + body);
      ASSERT_TRUE(sender.SendFrame(
          test::UploadHeader("bob", "f" + std::to_string(i) + ".bin", "1", std::to_string(body.size()))));
      ASSERT_TRUE(sender.SendRaw(body));
    }
    ASSERT_TRUE(WaitUntil([&] { return StoredFilesOf(dbPath, "BOB").size() == 5; }, 30s));

    TcpClient bob(port, bobIp);
    auto login = test::Ask(bob, test::Request("Loginin", {{"username", "bob"}, {"pwd", "pw"}}));
    ASSERT_EQ(test::ReplyField(login.value_or(""), "reason"), "登录成功");
    // The deliveries have connected to BOB's file port and offered their items.
    ASSERT_GE(bobFiles.WaitForHeaders(1, 30s), 1u);
    server.Kill();
  }

  const std::vector<std::string> stored = StoredFilesOf(dbPath, "BOB");
  ASSERT_EQ(stored.size(), 5u);
  for (const auto& path : stored) EXPECT_TRUE(fs::is_regular_file(path)) << path;

  // The restart on the same data folder, in-process with client ports of
  // the test's own; BOB logs in again.
  CoreOptions options;
  options.home = home.Path();
  options.ClientPort = test::FreePort();
  options.OfflineInfoPort = test::FreePort();
  options.OfflineFilePort = test::FreePort();
  options.offlineDeliveryDelay = 100ms;
  UseDefaultWiring(options);
  test::FakeFileClient filePort(options.OfflineFilePort);
  ASSERT_TRUE(filePort.Listening());
  ServerCore core(options);
  ASSERT_TRUE(core.Lifecycle().OpenDatabase().IsOk());
  ASSERT_TRUE(core.Lifecycle().FirstShow());
  TcpClient bob(core.Lifecycle().ListeningPort());
  auto login = test::Ask(bob, test::Request("Loginin", {{"username", "bob"}, {"pwd", "pw"}}));
  ASSERT_EQ(test::ReplyField(login.value_or(""), "reason"), "登录成功");

  auto transfers = filePort.WaitFor(5, 20s);
  ASSERT_EQ(transfers.size(), 5u);
  std::set<std::string> received;
  for (const auto& t : transfers) received.insert(t.rest);
  EXPECT_EQ(received, contents);
  EXPECT_TRUE(test::WaitForRows(core, "select count(*) from OfflineFiles", 0));
  EXPECT_TRUE(WaitUntil([&] { return test::NoUploadFolders(core); }));
}

}  // namespace
}  // namespace corvan
