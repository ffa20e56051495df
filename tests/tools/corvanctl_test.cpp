// corvanctl as a program: its exit statuses, its usage errors, what it leaves
// (or does not leave) in a data folder, and root acting on a folder that
// belongs to another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/test_server.h"

extern char** environ;

namespace corvan {
namespace {

namespace fs = std::filesystem;

fs::path CorvanctlPath() { return fs::path(CORVAN_SERVER_BINARY).parent_path() / "corvanctl"; }

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs corvanctl with CORVAN_HOME set to `home` (unset when nothing), stdin
// from /dev/null, and collects its status and output.
Outcome Corvanctl(const std::optional<fs::path>& home, const std::vector<std::string>& args) {
  test::TempDir capture;
  fs::path out = capture.Path() / "out", err = capture.Path() / "err";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "CORVAN_HOME=", 12) != 0) env.emplace_back(*e);
  if (home) env.push_back("CORVAN_HOME=" + home->string());
  std::vector<std::string> argv = {CorvanctlPath().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> envp, argp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (auto& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  Outcome r;
  int wstatus = 0;
  if (pid > 0 && ::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t Entries(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(CorvanctlTest, UsageErrorsPrintTheUsageOnStandardErrorAndExit2) {
  test::TempDir tmp;
  fs::path home = tmp.Path() / "mistyped";
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{},
                                                                             {"nosuch"},
                                                                             {"user"},
                                                                             {"user", "add"},
                                                                             {"status", "now"},
                                                                             {"--bogus", "status"},
                                                                             {"backup"},
                                                                             {"user", "add", "bob", "--pwd"}}) {
    Outcome r = Corvanctl(home, args);
    std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_TRUE(Contains(r.err, "usage: corvanctl")) << shown << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << shown << ": " << r.out;
  }
  EXPECT_FALSE(fs::exists(home));

  Outcome help = Corvanctl(home, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* line :
       {"0  done", "1  refused", "2  usage", "3  server not running", "4  a question", "5  the data folder"})
    EXPECT_TRUE(Contains(help.out, line)) << line;
}

// A mistyped folder is named and left as it is: nothing is created by a
// command that only reads, nor by one that needs the server.
TEST(CorvanctlTest, MissingDataFolderIsNamedAndNotCreated) {
  test::TempDir tmp;
  fs::path home = tmp.Path() / "some" / "mistyped" / "folder";
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"status"},
                                             {"user", "list"},
                                             {"org", "tree"},
                                             {"config", "get"},
                                             {"stop"},
                                             {"log"},
                                             {"backup", (tmp.Path() / "b").string()},
                                             {"user", "import", (tmp.Path() / "x.csv").string()}}) {
    Outcome r = Corvanctl(home, args);
    EXPECT_EQ(r.status, 5) << args[0];
    EXPECT_TRUE(Contains(r.err, "数据目录不存在：" + home.string())) << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp.Path() / "some"));
  EXPECT_EQ(Entries(tmp.Path()), 0u);
}

// A folder without a database: reading commands name the missing file and
// write nothing (no lock file either); a restore, whose job is to create the
// database, works there.
TEST(CorvanctlTest, FolderWithoutDatabaseIsAnErrorExceptForRestore) {
  test::TempDir tmp;
  fs::path home = tmp.Path() / "home";
  fs::create_directory(home);
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"status"}, {"user", "list"}, {"org", "tree"}, {"config", "get"}}) {
    Outcome r = Corvanctl(home, args);
    EXPECT_EQ(r.status, 5) << args[0];
    EXPECT_TRUE(Contains(r.err, "数据目录中没有数据库：" + (home / "Corvan_Server.mdb").string())) << r.err;
  }
  EXPECT_EQ(Entries(home), 0u);
  // Commands that need the server say it is not running, as before.
  EXPECT_EQ(Corvanctl(home, {"stop"}).status, 3);
  EXPECT_EQ(Entries(home), 0u);

  fs::path copy = tmp.Path() / "copy.mdb";
  test::SeedDatabase(copy, {{"ALICE", "pw", "Alice", "001", 100}});
  Outcome restore = Corvanctl(home, {"restore", copy.string(), "--yes"});
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_TRUE(fs::exists(home / "Corvan_Server.mdb"));
  Outcome list = Corvanctl(home, {"user", "list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_TRUE(Contains(list.out, "ALICE"));
}

TEST(CorvanctlTest, ExitStatusesOnAFolderNoServerRunsOn) {
  test::TempDir home;
  test::SeedDatabase(home.Path() / "Corvan_Server.mdb", {{"ALICE", "pw", "Alice", "001", 100}});
  Outcome status = Corvanctl(home.Path(), {"status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_TRUE(Contains(status.out, "状态：服务器未运行"));
  Outcome stop = Corvanctl(home.Path(), {"stop"});
  EXPECT_EQ(stop.status, 3);
  EXPECT_TRUE(Contains(stop.err, "服务器未运行"));
  Outcome show = Corvanctl(home.Path(), {"user", "show", "nobody"});
  EXPECT_EQ(show.status, 1);
  EXPECT_TRUE(Contains(show.err, "用户不存在：nobody"));
  Outcome backup = Corvanctl(home.Path(), {"backup", (home.Path() / "gone" / "b").string()});
  EXPECT_EQ(backup.status, 1);
  EXPECT_TRUE(Contains(backup.err, "备份数据失败：" + (home.Path() / "gone").string() + ": No such file or directory"))
      << backup.err;
  std::ofstream(home.Path() / "b.mdb") << "old";
  Outcome ask = Corvanctl(home.Path(), {"backup", (home.Path() / "b").string()});
  EXPECT_EQ(ask.status, 4);
  EXPECT_EQ(Slurp(home.Path() / "b.mdb"), "old");
  Outcome json = Corvanctl(home.Path(), {"--json", "nosuch"});
  EXPECT_EQ(json.status, 2);
  EXPECT_TRUE(Contains(json.out, "\"exit\":2")) << json.out;
}

// Root on a folder that belongs to the service's user acts as that user:
// the lock file, an imported account's database change and a backup belong
// to the folder's owner, never to root.
TEST(CorvanctlTest, RootActsAsTheOwnerOfTheDataFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kOwner = 65534;  // nobody
  constexpr gid_t kGroup = 65534;
  test::TempDir tmp;
  ::chmod(tmp.Path().c_str(), 0755);  // the owner must reach its folder
  fs::path home = tmp.Path() / "home";
  fs::create_directory(home);
  test::SeedDatabase(home / "Corvan_Server.mdb", {{"ALICE", "pw", "Alice", "001", 100}});
  std::ofstream(home / "in.csv") << "username,pwd,nickname,organizeNo\nbob,1,Bob,001\n";
  for (const auto& e : fs::recursive_directory_iterator(home)) ASSERT_EQ(::chown(e.path().c_str(), kOwner, kGroup), 0);
  ASSERT_EQ(::chown(home.c_str(), kOwner, kGroup), 0);

  Outcome import = Corvanctl(home, {"user", "import", (home / "in.csv").string()});
  EXPECT_EQ(import.status, 0) << import.err;
  Outcome backup = Corvanctl(home, {"backup", (home / "b").string()});
  EXPECT_EQ(backup.status, 0) << backup.err;
  for (const auto& e : fs::directory_iterator(home)) {
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOwner) << e.path();
  }
  EXPECT_TRUE(fs::exists(home / "Mutex_Server_ONLY_ONE.lock"));
  EXPECT_TRUE(fs::exists(home / "b.mdb"));
  // What the owner may not write, root acting as the owner may not either,
  // and the refusal says why.
  Outcome denied = Corvanctl(home, {"backup", (tmp.Path() / "b").string()});
  EXPECT_EQ(denied.status, 1);
  EXPECT_TRUE(Contains(denied.err, "Permission denied")) << denied.err;
  fs::path rootsCopy = tmp.Path() / "root-only.mdb";
  test::SeedDatabase(rootsCopy, {{"CARL", "pw", "Carl", "001", 100}});
  ::chmod(rootsCopy.c_str(), 0600);
  Outcome unreadable = Corvanctl(home, {"restore", rootsCopy.string(), "--yes"});
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_TRUE(Contains(unreadable.err, "无法读取文件：" + rootsCopy.string() + ": Permission denied"))
      << unreadable.err;
}

}  // namespace
}  // namespace corvan
