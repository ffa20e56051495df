// corvanctl as a program: its exit statuses, its usage errors, what it leaves
// (or does not leave) in a data folder, and root acting on a folder that
// belongs to another user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

fs::path CorvanctlPath() { return fs::path(CORVAN_SERVER_BINARY).parent_path() / "corvanctl"; }

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

using Outcome = test::ProcessOutcome;

// Runs corvanctl with CORVAN_HOME set to `home` (unset when nothing), stdin
// from /dev/null, and collects its status and output.
// `switchesUser`: root on another user's folder changes its effective uid,
// after which the process is not dumpable and LeakSanitizer cannot inspect
// it; leak checking is off for those runs only.
Outcome Corvanctl(const std::optional<fs::path>& home, const std::vector<std::string>& args,
                  bool switchesUser = false) {
  test::TempDir capture;
  std::vector<std::string> argv = {CorvanctlPath().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> added;
  std::vector<std::string_view> dropped = {"CORVAN_HOME="};
  if (home) added.push_back("CORVAN_HOME=" + home->string());
  if (switchesUser) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    dropped.push_back("ASAN_OPTIONS=");
    added.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
  }
  return test::RunProcess(argv, test::Environment(dropped, added), capture.Path());
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
    EXPECT_TRUE(Contains(r.err, "用法：corvanctl")) << shown << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << shown << ": " << r.out;
  }
  EXPECT_FALSE(fs::exists(home));

  Outcome help = Corvanctl(home, {"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* line : {"0  完成", "1  被拒绝", "2  用法错误", "3  服务器未运行", "4  问题", "5  数据目录"})
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
// database, works there, and so do the settings, a file of their own.
TEST(CorvanctlTest, FolderWithoutDatabaseIsAnErrorExceptForRestoreAndSettings) {
  test::TempDir tmp;
  fs::path home = tmp.Path() / "home";
  fs::create_directory(home);
  Outcome get = Corvanctl(home, {"config", "get", "ServerPort"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "9475\n");
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"status"}, {"user", "list"}, {"org", "tree"}}) {
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

// The settings are changed while no server runs, through the checks the
// settings window makes, and written as the server writes them; a folder
// without a database gets a settings file and nothing else.
TEST(CorvanctlTest, ConfigSetWorksWhileNoServerRuns) {
  test::TempDir tmp;
  const fs::path home = tmp.Path();
  struct Case {
    const char* key;
    const char* value;
    int status;
    const char* message;
  };
  for (Case c : {Case{"ServerPort", "9600", 0, "重新启动服务器后生效"},
                 Case{"ServerPort", "0", 1, "请输入合法的端口（1-65535）"},
                 Case{"ServerPort", "70000", 1, "请输入合法的端口（1-65535）"},
                 Case{"OfflineInfoDay", "31", 1, "离线信息保存天数应为1-30天"}, Case{"OfflineInfoDay", "7", 0, ""},
                 Case{"AllowReg", "maybe", 2, "AllowReg 的值应为 True 或 False"}}) {
    Outcome r = Corvanctl(home, {"config", "set", c.key, c.value});
    EXPECT_EQ(r.status, c.status) << c.key << "=" << c.value << ": " << r.err;
    EXPECT_TRUE(Contains(r.status == 0 ? r.out : r.err, c.message)) << c.key << "=" << c.value << ": " << r.err;
  }
  EXPECT_EQ(Corvanctl(home, {"config", "get", "ServerPort"}).out, "9600\n");
  EXPECT_EQ(Corvanctl(home, {"config", "get", "OfflineInfoDay"}).out, "7\n");
  EXPECT_TRUE(Contains(Slurp(home / "Configure.xml"), "<ServerPort>9600</ServerPort>"));
  EXPECT_FALSE(fs::exists(home / "Corvan_Server.mdb"));
}

// A failure names the caller's file and the system's reason, never the copy
// in transit, and leaves nothing behind in the data folder.
TEST(CorvanctlTest, FileFailuresNameTheCallersFile) {
  test::TempDir tmp;
  const fs::path home = tmp.Path() / "home", mine = tmp.Path() / "mine";
  fs::create_directories(home);
  fs::create_directories(mine);
  test::SeedDatabase(home / "Corvan_Server.mdb", {{"ALICE", "pw", "Alice", "001", 100}});
  std::ofstream(mine / "notes.mdb") << "not a database";
  const std::string gone = (mine / "gone").string();
  struct Case {
    std::vector<std::string> args;
    std::string shown;
  };
  for (const Case& c : std::vector<Case>{
           {{"restore", (mine / "notes.mdb").string(), "--yes"},
            "恢复数据失败：" + (mine / "notes.mdb").string() + ": file is not a database"},
           {{"restore", gone + ".mdb", "--yes"}, "恢复数据失败：" + gone + ".mdb: No such file or directory"},
           {{"restore", mine.string(), "--yes"}, "恢复数据失败：" + mine.string() + ": Is a directory"},
           {{"user", "import", gone + ".csv"}, "无法读取文件：" + gone + ".csv: No such file or directory"},
           {{"backup", gone + "/b"}, "备份数据失败：" + gone + ": No such file or directory"},
           {{"backup", (home / "Corvan_Server.mdb").string(), "--yes"},
            "备份数据失败：" + (home / "Corvan_Server.mdb").string() + ": 这是正在使用的数据库"},
           {{"user", "export", gone + "/u.csv"}, "无法写入文件：" + gone + ": No such file or directory"}}) {
    Outcome r = Corvanctl(home, c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.err, c.shown + "\n") << c.args[0];
  }
  for (const auto& e : fs::directory_iterator(home))
    EXPECT_FALSE(Contains(e.path().filename().string(), "corvanctl-transfer")) << e.path();
  EXPECT_EQ(Corvanctl(home, {"user", "show", "alice"}).status, 0);
}

// Root on a folder that belongs to the service's user acts as that user
// inside it: the lock file and the database stay the owner's. The caller's
// own files are the caller's: a backup or an export is written as root
// (mode 0600) into a folder the owner may not enter, and a restore or an
// import reads a file only root may read.
TEST(CorvanctlTest, RootActsAsTheOwnerInTheFolderAndAsItselfOnItsOwnFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kOwner = 65534;  // nobody
  constexpr gid_t kGroup = 65534;
  test::TempDir tmp;
  ::chmod(tmp.Path().c_str(), 0755);  // the owner must reach its folder
  const fs::path home = tmp.Path() / "home", vault = tmp.Path() / "vault";
  fs::create_directory(home);
  fs::create_directory(vault);
  ::chmod(vault.c_str(), 0700);
  test::SeedDatabase(home / "Corvan_Server.mdb", {{"ALICE", "pw", "Alice", "001", 100}});
  for (const auto& e : fs::recursive_directory_iterator(home)) ASSERT_EQ(::chown(e.path().c_str(), kOwner, kGroup), 0);
  ASSERT_EQ(::chown(home.c_str(), kOwner, kGroup), 0);
  std::ofstream(vault / "in.csv") << "username,pwd,nickname,organizeNo\nbob,1,Bob,001\n";
  test::SeedDatabase(vault / "copy.mdb", {{"CARL", "pw", "Carl", "001", 100}});
  ::chmod((vault / "in.csv").c_str(), 0600);
  ::chmod((vault / "copy.mdb").c_str(), 0600);

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"user", "import", (vault / "in.csv").string()},
           {"backup", (vault / "b").string()},
           {"user", "export", (vault / "users.csv").string()},
       }) {
    Outcome r = Corvanctl(home, args, true);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
  }
  for (const char* name : {"b.mdb", "users.csv"}) {
    struct stat st {};
    ASSERT_EQ(::stat((vault / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_uid, 0u) << name;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
  }
  EXPECT_TRUE(Contains(Slurp(vault / "users.csv"), "BOB,1,Bob,001"));
  Outcome restore = Corvanctl(home, {"restore", (vault / "copy.mdb").string(), "--yes"}, true);
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_TRUE(Contains(Corvanctl(home, {"user", "list"}, true).out, "CARL"));
  for (const auto& e : fs::directory_iterator(home)) {
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOwner) << e.path();
    EXPECT_FALSE(Contains(e.path().filename().string(), "corvanctl-transfer")) << e.path();
  }
  EXPECT_TRUE(fs::exists(home / "Mutex_Server_ONLY_ONE.lock"));
}

}  // namespace
}  // namespace corvan
