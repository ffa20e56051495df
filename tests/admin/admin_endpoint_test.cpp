#include "admin/admin_endpoint.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "admin/admin_commands.h"
#include "admin/maintenance.h"
#include "storage/database.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using test::TestServer;

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Spit(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

// An in-process server with its endpoint, and a client that calls it.
class AdminEndpointTest : public ::testing::Test {
 protected:
  AdminEndpointTest() : server_(Seeded()), endpoint_(server_.Core(), {AdminSocketPath(server_.Home())}) {
    Status started = endpoint_.Start();
    EXPECT_TRUE(started.IsOk()) << started.Message();
  }

  static TestServer::Setup Seeded() {
    TestServer::Setup s;
    s.users = {{"ALICE", "pw", "Alice", "001", 100}};
    return s;
  }

  AdminReply Call(std::vector<std::string> argv) {
    Result<AdminReply> reply =
        CallAdminEndpoint(AdminSocketPath(server_.Home()), {std::move(argv)}, std::chrono::seconds(30));
    EXPECT_TRUE(reply.IsOk()) << reply.GetStatus().Message();
    return reply.ValueOr(AdminReply{});
  }

  std::filesystem::path File(const std::string& name) const { return server_.Home() / name; }

  TestServer server_;
  AdminEndpoint endpoint_;
};

TEST(AdminPeerTest, OnlyTheOwnUserOrRootIsServed) {
  EXPECT_TRUE(PeerAllowed(1000, 1000));
  EXPECT_TRUE(PeerAllowed(0, 1000));
  EXPECT_FALSE(PeerAllowed(1001, 1000));
  EXPECT_FALSE(PeerAllowed(1000, 0));
}

TEST_F(AdminEndpointTest, SocketIsPrivateToTheOwner) {
  struct stat st {};
  ASSERT_EQ(::lstat(AdminSocketPath(server_.Home()).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  endpoint_.Stop();
  EXPECT_FALSE(std::filesystem::exists(AdminSocketPath(server_.Home())));
}

// As root: a child process that has become another user reaches the socket
// (its mode opened for the test) and is turned away by the peer check. The
// child of this threaded process makes system calls only (no allocation,
// whose locks another thread may have held at the fork); it hands the reply
// back through a pipe and the parent decodes it.
TEST_F(AdminEndpointTest, PeerOfAnotherUserIsRefusedByItsUid) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_EQ(::chmod(server_.Home().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(AdminSocketPath(server_.Home()).c_str(), 0666), 0);
  const std::string request = EncodeRequest(AdminRequest{{"stop"}});
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = AdminSocketPath(server_.Home()).string();
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.data(), path.size());
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(3);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) ::_exit(4);
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
      if (::write(pipeFds[1], buf, static_cast<std::size_t>(n)) != n) ::_exit(5);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto decoded = DecodeReply(reply.substr(0, reply.find('\n')));
  ASSERT_TRUE(decoded) << reply;
  EXPECT_FALSE(decoded->ok);
  EXPECT_EQ(decoded->message, "拒绝访问：用户不符");
  EXPECT_TRUE(server_.Core().Lifecycle().TcpServerExists());
}

TEST_F(AdminEndpointTest, PeerOfAnotherUserIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root is always allowed";
  endpoint_.Stop();
  AdminEndpoint other(server_.Core(), {AdminSocketPath(server_.Home()), ::geteuid() + 1});
  ASSERT_TRUE(other.Start().IsOk());
  AdminReply r = Call({"stop"});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(server_.Core().Lifecycle().TcpServerExists());
}

TEST_F(AdminEndpointTest, GarbageAndOversizedRequestsGetNoCommandRun) {
  auto raw = [&](const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string p = AdminSocketPath(server_.Home()).string();
    std::memcpy(addr.sun_path, p.data(), p.size());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[512];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return reply;
  };
  auto bad = DecodeReply(raw("{\"argv\":[\"stop\",1]}\n"));
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->ok);
  EXPECT_EQ(raw("{\"argv\":[\"stop\"]"), "");  // no newline before the peer closed
  EXPECT_EQ(raw(std::string(kMaxAdminLine + 10, 'x')), "");
  EXPECT_TRUE(server_.Core().Lifecycle().TcpServerExists());
  EXPECT_TRUE(Call({"status"}).ok);  // still serving
}

TEST_F(AdminEndpointTest, StatusStopStartAndLog) {
  AdminReply status = Call({"status"});
  EXPECT_TRUE(status.ok);
  EXPECT_TRUE(status.data["running"].AsBool());
  EXPECT_EQ(status.data["users"].AsInt(), 1);

  AdminReply again = Call({"start"});
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(again.message.rfind("服务器已经启动，请先停止后重新启动!", 0), 0u);

  AdminReply stop = Call({"stop"});
  EXPECT_TRUE(stop.ok);
  EXPECT_FALSE(server_.Core().Lifecycle().TcpServerExists());
  ASSERT_FALSE(stop.lines.empty());
  EXPECT_EQ(stop.lines.front().rfind("TCP服务器停止监听时间：", 0), 0u);

  AdminReply log = Call({"log"});
  std::int64_t seq = log.data["seq"].AsInt();
  EXPECT_GT(seq, 0);
  EXPECT_TRUE(Call({"log", "--since", std::to_string(seq)}).lines.empty());
  EXPECT_TRUE(Call({"start"}).ok);
  AdminReply newer = Call({"log", "--since", std::to_string(seq)});
  ASSERT_FALSE(newer.lines.empty());
  EXPECT_NE(newer.lines.front().find("端口启动成功!"), std::string::npos);

  AdminReply online = Call({"online"});
  ASSERT_EQ(online.lines.size(), 1u);
  EXPECT_EQ(online.lines[0], "共0人在线！");
}

TEST_F(AdminEndpointTest, AccountsAndDepartments) {
  AdminReply org = Call({"org", "add", "Root", "研发部"});
  ASSERT_TRUE(org.ok) << org.message;
  EXPECT_EQ(org.data["organizeNo"].AsString(), "Root001");
  // A sibling of the same name is asked about first.
  AdminReply same = Call({"org", "add", "Root", "研发部"});
  EXPECT_EQ(same.exitCode, kExitConfirm);
  EXPECT_EQ(same.message, "该组下已经有同名组，是否继续添加");
  EXPECT_EQ(Call({"org", "add", "Root", "x", "--order", "10001"}).message, "优先级请正确输入！");

  AdminReply add = Call({"user", "add", " bob ", "--pwd", "1", "--nick", "Bob", "--org", "Root001"});
  ASSERT_TRUE(add.ok) << add.message;
  EXPECT_EQ(add.data["username"].AsString(), "BOB");
  EXPECT_EQ(Call({"user", "add", "Bob", "--pwd", "1", "--nick", "B", "--org", "Root001"}).message,
            "此登录名已经存在，请换用其它名称");
  EXPECT_EQ(Call({"user", "add", "carl", "--pwd", "1", "--org", "Root001"}).message, "*号项必须填写");
  EXPECT_EQ(Call({"user", "add", "carl", "--pwd", "1", "--nick", "C", "--org", "Nowhere"}).message,
            "部门不存在：Nowhere");

  AdminReply set = Call({"user", "set", "bob", "--name", "robert", "--email", "r@x"});
  ASSERT_TRUE(set.ok) << set.message;
  AdminReply show = Call({"user", "show", "ROBERT"});
  EXPECT_EQ(show.data["email"].AsString(), "r@x");
  EXPECT_EQ(show.data["path"].AsString(), "研发部");
  EXPECT_TRUE(show.data["pwd"].IsNull());
  EXPECT_EQ(Call({"user", "set", "robert", "--name", "alice"}).message, "此登录名已经存在，请换用其它名称");

  AdminReply move = Call({"move", "ALICE", "ROBERT", "Root001"});
  EXPECT_EQ(move.exitCode, kExitConfirm);
  EXPECT_TRUE(Call({"move", "ALICE", "ROBERT", "Root001", "--yes"}).ok);
  EXPECT_EQ(Call({"user", "list", "Root001"}).data["users"].AsArray().size(), 2u);

  EXPECT_TRUE(Call({"org", "rename", "Root001", "产品部"}).ok);
  AdminReply tree = Call({"org", "tree"});
  bool renamed = false;
  for (const auto& line : tree.lines) renamed = renamed || line.find("  Root001 产品部") == 0;
  EXPECT_TRUE(renamed);

  EXPECT_EQ(Call({"user", "del", "ALICE"}).message, "是否删除此用户？");
  EXPECT_TRUE(Call({"user", "show", "ALICE"}).ok);
  EXPECT_TRUE(Call({"user", "del", "ALICE", "--yes"}).ok);
  EXPECT_FALSE(Call({"user", "show", "ALICE"}).ok);

  EXPECT_EQ(Call({"org", "del", "Root001"}).message, "是否要删除该组？该组用户会同时删除");
  EXPECT_TRUE(Call({"org", "del", "Root001", "--yes"}).ok);
  EXPECT_FALSE(server_.Core().Dir().Get()->UserExists("ROBERT"));
  EXPECT_FALSE(Call({"org", "del", "Root", "--yes"}).ok);
}

TEST_F(AdminEndpointTest, RestoreIsRefusedWhileRunningAndWorksWhenStopped) {
  AdminReply backup = Call({"backup", File("copy").string()});
  ASSERT_TRUE(backup.ok) << backup.message;
  EXPECT_EQ(backup.message, "备份数据成功");
  ASSERT_TRUE(std::filesystem::exists(File("copy.mdb")));
  EXPECT_EQ(Call({"backup", File("copy").string()}).message, "目标已经存在，是否继续？");

  ASSERT_TRUE(Call({"user", "add", "dan", "--pwd", "1", "--nick", "D", "--org", "001"}).ok);
  AdminReply refused = Call({"restore", File("copy.mdb").string(), "--yes"});
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.message, "请先停止服务器");
  EXPECT_TRUE(server_.Core().Dir().Get()->UserExists("DAN"));

  ASSERT_TRUE(Call({"stop"}).ok);
  EXPECT_EQ(Call({"restore", File("copy.mdb").string()}).message, "是否确定恢复数据？");
  AdminReply restored = Call({"restore", File("copy.mdb").string(), "--yes"});
  EXPECT_TRUE(restored.ok) << restored.message;
  EXPECT_EQ(restored.message, "恢复数据成功");
  EXPECT_FALSE(server_.Core().Dir().Get()->UserExists("DAN"));
  EXPECT_TRUE(server_.Core().Dir().Get()->UserExists("ALICE"));
}

TEST_F(AdminEndpointTest, CsvImportWithABadRowWritesNothing) {
  Spit(File("in.csv"),
       "username,pwd,nickname,organizeNo\r\n"
       "eve,1,Eve,001\r\n"
       "alice,1,Alice2,001\r\n"
       "frank,1,,001\r\n"
       "gina,1,Gina,999\r\n");
  AdminReply r = Call({"user", "import", File("in.csv").string()});
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.data["errors"].AsArray().size(), 3u);
  EXPECT_EQ(r.data["errors"].AsArray()[0]["line"].AsInt(), 3);
  EXPECT_EQ(r.data["errors"].AsArray()[1]["line"].AsInt(), 4);
  EXPECT_EQ(r.data["errors"].AsArray()[2]["line"].AsInt(), 5);
  EXPECT_FALSE(server_.Core().Dir().Get()->UserExists("EVE"));
  {
    Database db;
    ASSERT_TRUE(db.Open((server_.Home() / "Corvan_Server.mdb").string()).IsOk());
    DatabaseLock lock(db);
    Statement st(db, "select count(*) from authreg");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.ColumnInt64(0), 1);
  }

  Spit(File("in.csv"), "username,pwd,nickname,organizeNo,USERID\neve,1,\"Eve, Jr.\",001,7\n");
  AdminReply ok = Call({"user", "import", File("in.csv").string()});
  ASSERT_TRUE(ok.ok) << ok.message;
  AdminReply exported = Call({"user", "export", File("out.csv").string()});
  ASSERT_TRUE(exported.ok) << exported.message;
  std::string csv = Slurp(File("out.csv"));
  EXPECT_NE(csv.find("EVE,1,\"Eve, Jr.\",001,7"), std::string::npos);
  EXPECT_NE(csv.find("ALICE,pw,Alice,001,100"), std::string::npos);
}

TEST_F(AdminEndpointTest, SettingsAnnouncementAndCleanup) {
  EXPECT_EQ(Call({"config", "set", "ServerPort", "abc"}).message, "请输入合法的端口（1-65535）");
  AdminReply port = Call({"config", "set", "ServerPort", "12345"});
  EXPECT_TRUE(port.ok);
  EXPECT_EQ(port.message, "重新启动服务器后生效");
  EXPECT_EQ(Call({"config", "get", "ServerPort"}).lines, std::vector<std::string>{"12345"});
  EXPECT_TRUE(Call({"config", "set", "AllowReg", "False"}).ok);
  EXPECT_FALSE(server_.Core().Settings().AllowReg());
  EXPECT_EQ(Call({"config", "set", "OfflineInfoDay", "31"}).message, "离线信息保存天数应为1-30天");

  AdminReply announce = Call({"announce", "新公告"});
  EXPECT_TRUE(announce.ok) << announce.message;
  EXPECT_EQ(server_.Core().Settings().Information(), "新公告");

  EXPECT_TRUE(Call({"clean-offline"}).ok);
  EXPECT_EQ(Call({"frobnicate"}).exitCode, kExitUsage);
}

// A mistyped department code is named as such, not taken for a missing
// field; a failed backup says why.
TEST_F(AdminEndpointTest, RefusalsNameTheirCause) {
  ASSERT_TRUE(Call({"org", "add", "Root", "研发部"}).ok);
  AdminReply add = Call({"user", "add", "bob", "--pwd", "1", "--nick", "Bob", "--org", "Root999"});
  EXPECT_EQ(add.exitCode, kExitRefused);
  EXPECT_EQ(add.message, "部门不存在：Root999");
  AdminReply set = Call({"user", "set", "ALICE", "--org", "Root999"});
  EXPECT_EQ(set.exitCode, kExitRefused);
  EXPECT_EQ(set.message, "部门不存在：Root999");
  AdminReply missing = Call({"user", "add", "bob", "--pwd", "1", "--nick", "Bob"});
  EXPECT_EQ(missing.message, "*号项必须填写");  // a field really missing keeps the editor's message

  std::string folder = (server_.Home() / "no-such-folder").string();
  AdminReply backup = Call({"backup", folder + "/b"});
  EXPECT_EQ(backup.exitCode, kExitRefused);
  EXPECT_EQ(backup.message, "备份数据失败：" + folder + ": No such file or directory");
}

// Usage errors are found before anything runs, whatever the command needs.
TEST(AdminUsageTest, UnknownCommandsOptionsAndArgumentCounts) {
  EXPECT_FALSE(AdminUsageError({"status"}));
  EXPECT_FALSE(AdminUsageError({"user", "list"}));
  EXPECT_FALSE(AdminUsageError({"user", "list", "001"}));
  EXPECT_FALSE(AdminUsageError({"move", "A", "B", "001", "--yes"}));
  EXPECT_FALSE(AdminUsageError({"announce"}));
  EXPECT_FALSE(AdminUsageError({"user", "add", "bob", "--pwd", "1", "--org=001"}));
  EXPECT_EQ(AdminUsageError({"nosuch"}), "未知的命令：nosuch");
  EXPECT_EQ(AdminUsageError({"user"}), "未知的命令：user");
  EXPECT_EQ(AdminUsageError({"user", "frob", "x"}), "未知的命令：user frob");
  EXPECT_EQ(AdminUsageError({"user", "add"}), "user add：缺少参数");
  EXPECT_EQ(AdminUsageError({"status", "now"}), "status：参数过多");
  EXPECT_EQ(AdminUsageError({"backup"}), "backup：缺少参数");
  EXPECT_EQ(AdminUsageError({"move", "A"}), "move：缺少参数");
  EXPECT_EQ(AdminUsageError({"status", "--bogus"}), "未知的选项：--bogus");
  EXPECT_EQ(AdminUsageError({"user", "add", "bob", "--pwd"}), "选项 --pwd 需要一个值");
  EXPECT_TRUE(AdminUsageError({}));
}

// Without a server the files are used directly, for the commands that allow
// it; the others say the server is not running.
TEST(AdminOnFolderTest, WorksOnTheFilesOrSaysTheServerIsNotRunning) {
  test::TempDir home;
  test::SeedDatabase(home.Path() / "Corvan_Server.mdb", {{"ALICE", "pw", "Alice", "001", 100}});
  auto run = [&](std::vector<std::string> argv) { return RunAdminCommandOnFolder(home.Path(), "/nonexistent", argv); };

  AdminReply status = run({"status"});
  EXPECT_TRUE(status.ok);
  EXPECT_FALSE(status.data["running"].AsBool());
  EXPECT_EQ(run({"user", "list"}).data["users"].AsArray().size(), 1u);
  AdminReply stop = run({"stop"});
  EXPECT_EQ(stop.exitCode, kExitNotRunning);
  EXPECT_EQ(stop.message, "服务器未运行");
  EXPECT_EQ(run({"user", "add", "x", "--pwd", "1", "--nick", "x", "--org", "001"}).exitCode, kExitNotRunning);
  // A usage error is one whether or not a server runs.
  EXPECT_EQ(run({"nosuch"}).exitCode, kExitUsage);
  EXPECT_EQ(run({"user", "add"}).exitCode, kExitUsage);

  Spit(home.Path() / "in.csv", "username,pwd,nickname,organizeNo\nbob,1,Bob,001\n");
  EXPECT_TRUE(run({"user", "import", (home.Path() / "in.csv").string()}).ok);
  EXPECT_TRUE(run({"backup", (home.Path() / "b").string()}).ok);
  EXPECT_EQ(run({"user", "list"}).data["users"].AsArray().size(), 2u);
  Spit(home.Path() / "junk.mdb", "not a database");
  EXPECT_EQ(run({"restore", (home.Path() / "junk.mdb").string(), "--yes"}).message,
            "恢复数据失败：" + (home.Path() / "junk.mdb").string() + ": file is not a database");
  EXPECT_EQ(run({"user", "list"}).data["users"].AsArray().size(), 2u);
  EXPECT_TRUE(run({"restore", (home.Path() / "b.mdb").string(), "--yes"}).ok);
  EXPECT_FALSE(std::filesystem::exists(home.Path() / "Configure.xml"));  // nothing written on the side
}

// Exports and backups hold passwords: private under the usual umask, and a
// link planted under the name the old export wrote through is left alone.
TEST_F(AdminEndpointTest, ExportsAndBackupsArePrivateAndPlantedNamesAreNotFollowed) {
  mode_t saved = ::umask(022);
  Spit(File("victim"), "keep");
  std::filesystem::create_symlink(File("victim"), File("out.csv.part"));
  AdminReply exported = Call({"user", "export", File("out.csv").string()});
  AdminReply backup = Call({"backup", File("copy").string()});
  ::umask(saved);
  ASSERT_TRUE(exported.ok) << exported.message;
  ASSERT_TRUE(backup.ok) << backup.message;
  struct stat st {};
  ASSERT_EQ(::lstat(File("out.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(Slurp(File("out.csv")).find("ALICE,pw,Alice,001,100"), std::string::npos);
  ASSERT_EQ(::lstat(File("copy.mdb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(std::filesystem::is_symlink(File("out.csv.part")));
  EXPECT_EQ(Slurp(File("victim")), "keep");
}

TEST(AdminSocketPathTest, ALinkInTheSocketsPlaceIsRefusedAndLeftAlone) {
  TestServer server;
  const auto path = AdminSocketPath(server.Home());
  std::filesystem::create_symlink(server.Home() / "elsewhere.sock", path);
  AdminEndpoint endpoint(server.Core(), {path});
  Status started = endpoint.Start();
  EXPECT_FALSE(started.IsOk());
  EXPECT_FALSE(started.Message().empty());
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_FALSE(std::filesystem::exists(server.Home() / "elsewhere.sock"));
}

// Seconds of CPU this process has used, all threads together.
double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST_F(AdminEndpointTest, RunningOutOfDescriptorsNeitherSpinsNorStopsServing) {
#if defined(CORVAN_UBSAN)
  GTEST_SKIP() << "needs a free descriptor for the sanitizer's own checks";
#endif
  // Sockets made while descriptors are plenty; connected once none is left,
  // since connecting takes no new descriptor but accepting does.
  std::vector<UniqueFd> clients;
  int highest = 0;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(clients.back().Valid());
    highest = std::max(highest, clients.back().Get());
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = AdminSocketPath(server_.Home()).string();
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  // Free numbers below the limit are taken too: none is left to accept with.
  std::vector<UniqueFd> fillers;
  for (;;) {
    UniqueFd fd(::dup(clients.front().Get()));
    if (!fd.Valid()) break;
    fillers.push_back(std::move(fd));
  }
  EXPECT_EQ(errno, EMFILE);
  for (UniqueFd& fd : clients) {
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  }
  // The socket is readable but accepting fails: the endpoint must wait, not
  // retry in a loop that burns a whole core.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double used = ProcessCpuSeconds() - before;
  fillers.clear();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  // Waiting costs next to nothing; a spinning loop takes a large share of a
  // core even on a busy machine.
  EXPECT_LT(used, 0.1);
  // Descriptors are back: the waiting peers are taken (and dropped, having
  // sent nothing), and a request is answered.
  clients.clear();
  AdminReply status = Call({"status"});
  EXPECT_TRUE(status.ok) << status.message;
}

}  // namespace
}  // namespace corvan
