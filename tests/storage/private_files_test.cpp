// Files that hold passwords are private whatever the umask, and writing
// them never follows a name planted beside them.
#include "storage/private_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "storage/config.h"
#include "storage/database.h"
#include "storage/storage_test_support.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using storage_test::ReadFile;
using storage_test::TempDir;
using storage_test::WriteFile;

unsigned Mode(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

// The usual umask for one test, the previous one restored after.
class UsualUmask {
 public:
  UsualUmask() : saved_(::umask(022)) {}
  ~UsualUmask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

std::size_t Entries(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
}

TEST(PrivateFiles, WrittenFilesAndMadeFoldersAreOwnerOnly) {
  UsualUmask umask;
  TempDir dir;
  ASSERT_TRUE(WritePrivateFile(dir / "a.csv", "secret").IsOk());
  EXPECT_EQ(Mode(dir / "a.csv"), 0600u);
  EXPECT_EQ(ReadFile(dir / "a.csv"), "secret");
  // An existing file is replaced whole, and private afterwards.
  WriteFile(dir / "b.csv", "old");
  ::chmod((dir / "b.csv").c_str(), 0644);
  ASSERT_TRUE(WritePrivateFile(dir / "b.csv", "new").IsOk());
  EXPECT_EQ(ReadFile(dir / "b.csv"), "new");
  EXPECT_EQ(Mode(dir / "b.csv"), 0600u);
  EXPECT_EQ(Entries(dir.path()), 2u);  // no temporary file left

  ASSERT_TRUE(MakePrivateFolder(dir / "f", true).IsOk());
  EXPECT_EQ(Mode(dir / "f"), 0700u);
  EXPECT_TRUE(MakePrivateFolder(dir / "f", true).IsOk());  // there already
  ASSERT_TRUE(CreatePrivateFileIfMissing(dir / "f" / "db").IsOk());
  EXPECT_EQ(Mode(dir / "f" / "db"), 0600u);
}

TEST(PrivateFiles, LinksArePassedOverOrRefusedNeverFollowed) {
  TempDir dir;
  fs::create_directory(dir / "elsewhere");
  WriteFile(dir / "elsewhere" / "victim", "keep");

  // A link as the target is replaced by the file; what it pointed to stays.
  fs::create_symlink(dir / "elsewhere" / "victim", dir / "out.csv");
  ASSERT_TRUE(WritePrivateFile(dir / "out.csv", "rows").IsOk());
  EXPECT_FALSE(fs::is_symlink(dir / "out.csv"));
  EXPECT_EQ(ReadFile(dir / "out.csv"), "rows");
  EXPECT_EQ(ReadFile(dir / "elsewhere" / "victim"), "keep");

  // A link where a private folder should be: refused when asked to.
  fs::create_directory_symlink(dir / "elsewhere", dir / "BOB");
  Status made = MakePrivateFolder(dir / "BOB", true);
  EXPECT_FALSE(made.IsOk());
  EXPECT_NE(made.Message().find("BOB"), std::string::npos) << made.Message();
  EXPECT_TRUE(MakePrivateFolder(dir / "BOB", false).IsOk());  // an administrator's link to another disk
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(MakePrivateFolder(dir / "file", false).IsOk());

  // A dangling link where a new file would be made: something has the
  // name, so nothing is created through it.
  fs::create_symlink(dir / "elsewhere" / "new", dir / "dangling");
  EXPECT_TRUE(CreatePrivateFileIfMissing(dir / "dangling").IsOk());
  EXPECT_FALSE(fs::exists(dir / "elsewhere" / "new"));
}

TEST(PrivateFiles, DatabaseAndBackupsAreOwnerOnly) {
  UsualUmask umask;
  TempDir dir;
  const fs::path live = dir / "Corvan_Server.mdb";
  Database db;
  ASSERT_TRUE(db.Open(live.string()).IsOk());
  {
    DatabaseLock lock(db);
    db.Exec("create table t(x); insert into t values (1);");
  }
  EXPECT_EQ(Mode(live), 0600u);

  ASSERT_TRUE(db.BackupTo((dir / "direct.mdb").string()).IsOk());
  EXPECT_EQ(Mode(dir / "direct.mdb"), 0600u);
}

TEST(PrivateFiles, SettingsRewriteLeavesNoTemporaryAndIsPrivate) {
  UsualUmask umask;
  TempDir dir;
  WriteConfigValue(dir / "Configure.xml", "ServerPort", "8000");
  EXPECT_EQ(Mode(dir / "Configure.xml"), 0600u);
  EXPECT_EQ(Entries(dir.path()), 1u);
}

}  // namespace
}  // namespace corvan
