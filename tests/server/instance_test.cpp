// The process-level pieces of a start: the data folder, the single-instance
// lock and the settings file that cannot be read.
#include "server/instance.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "server/server_core.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

unsigned Mode(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

// CORVAN_HOME for one test.
class HomeVariable {
 public:
  explicit HomeVariable(const fs::path& home) { ::setenv("CORVAN_HOME", home.c_str(), 1); }
  ~HomeVariable() { ::unsetenv("CORVAN_HOME"); }
};

TEST(DataFolder, IsMadePrivateUnderTheUsualUmaskOrSaysWhyNot) {
  test::TempDir dir;
  mode_t saved = ::umask(022);
  {
    HomeVariable home(dir.Path() / "a" / "data");
    Result<fs::path> folder = DataFolder();
    EXPECT_EQ(folder.ValueOr({}), dir.Path() / "a" / "data");
    EXPECT_TRUE(folder.IsOk()) << folder.GetStatus().Message();
    EXPECT_EQ(Mode(dir.Path() / "a" / "data"), 0700u);
    EXPECT_EQ(Mode(dir.Path() / "a"), 0755u);  // the folders above keep the usual modes
  }
  ::umask(saved);
  {
    // An existing folder is used as it is.
    fs::create_directory(dir.Path() / "open");
    fs::permissions(dir.Path() / "open", fs::perms::all);
    HomeVariable home(dir.Path() / "open");
    Result<fs::path> folder = DataFolder();
    EXPECT_TRUE(folder.IsOk()) << folder.GetStatus().Message();
  }
  {
    std::ofstream(dir.Path() / "file") << "x";
    HomeVariable home(dir.Path() / "file" / "data");
    std::string error = DataFolder().GetStatus().Message();
    EXPECT_NE(error.find((dir.Path() / "file" / "data").string()), std::string::npos) << error;
    EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
  }
}

TEST(Instance, LockIsPrivateAndAPlantedLinkIsRefused) {
  test::TempDir dir;
  {
    auto lock = AcquireInstanceLock(dir.Path(), true);
    ASSERT_TRUE(lock.IsOk());
    EXPECT_EQ(Mode(dir.Path() / "Mutex_Server_ONLY_ONE.lock"), 0600u);
    // Held by another: nothing, and no error (that is the ordinary case).
    auto held = AcquireInstanceLock(dir.Path(), true);
    EXPECT_FALSE(held.IsOk());
    EXPECT_TRUE(held.GetStatus().Message().empty()) << held.GetStatus().Message();
  }
  fs::remove(dir.Path() / "Mutex_Server_ONLY_ONE.lock");
  fs::create_symlink(dir.Path() / "target", dir.Path() / "Mutex_Server_ONLY_ONE.lock");
  auto planted = AcquireInstanceLock(dir.Path(), true);
  EXPECT_FALSE(planted.IsOk());
  std::string error = planted.GetStatus().Message();
  EXPECT_NE(error.find("Mutex_Server_ONLY_ONE.lock"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(dir.Path() / "target"));
}

// corvanctl tells "a server holds the folder" from "no server ever ran here"
// by these codes; neither is a failure worth a message.
TEST(Instance, LockTellsAHeldLockFromAMissingFile) {
  test::TempDir dir;
  auto missing = AcquireInstanceLock(dir.Path(), /*create=*/false);
  EXPECT_EQ(missing.GetStatus().Code(), StatusCode::kNotFound);
  EXPECT_TRUE(missing.GetStatus().Message().empty());
  EXPECT_FALSE(fs::exists(dir.Path() / "Mutex_Server_ONLY_ONE.lock"));

  auto held = AcquireInstanceLock(dir.Path());
  ASSERT_TRUE(held.IsOk());
  auto second = AcquireInstanceLock(dir.Path(), /*create=*/false);
  EXPECT_EQ(second.GetStatus().Code(), StatusCode::kRefused);

  auto inFile = AcquireInstanceLock(dir.Path() / "Mutex_Server_ONLY_ONE.lock");
  EXPECT_EQ(inFile.GetStatus().Code(), StatusCode::kIoFailed);
  EXPECT_NE(inFile.GetStatus().Message().find("Not a directory"), std::string::npos) << inFile.GetStatus().Message();
}

TEST(UnreadableSettings, AreLoggedAndKeepRegistrationClosed) {
  test::TestServer::Setup setup;
  setup.start = false;
  test::TestServer server(setup);
  const fs::path file = server.Home() / "Configure.xml";
  fs::remove(file);
  fs::create_directory(file);
  server.Core().Lifecycle().LoadConfiguration();
  EXPECT_FALSE(server.Core().Settings().AllowReg());
  bool logged = false;
  for (const auto& line : server.Core().Log().Lines()) {
    if (line.find("无法读取配置文件" + file.string()) != std::string::npos &&
        line.find("AllowReg=False") != std::string::npos && line.find("ServerPort=9475") != std::string::npos) {
      logged = true;
    }
  }
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace corvan

namespace corvan {
namespace {

// The first run (no Configure.xml) writes the desktop autostart entry only
// for a core that asks for it (the console); a headless server never does.
TEST(FirstRun, WritesTheAutostartEntryOnlyWhenAsked) {
  for (bool asked : {false, true}) {
    test::TempDir home, xdg;
    ::setenv("XDG_CONFIG_HOME", xdg.Path().c_str(), 1);
    CoreOptions options;
    options.home = home.Path();
    options.executable = home.Path() / "corvan-server";
    options.autoStartOnFirstRun = asked;
    ServerCore core(options);
    core.Lifecycle().LoadConfiguration();
    EXPECT_EQ(fs::exists(xdg.Path() / "autostart"), asked) << asked;
    EXPECT_TRUE(fs::exists(home.Path() / "Configure.xml")) << asked;
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace corvan
