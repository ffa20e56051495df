#include "storage/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>

#include "base/text.h"
#include "storage/storage_test_support.h"
#include "support/sync_hook.h"

namespace corvan {
namespace {

using storage_test::ReadFile;
using storage_test::TempDir;
using storage_test::WriteFile;

std::string Doc(std::string_view structBody) {
  return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Struct>" + std::string(structBody) +
         "</Struct></RootNode>\r\n";
}

ServerSettings Parse(std::string_view structBody) { return ParseConfiguration(Doc(structBody)).settings; }

TEST(ConfigParseTest, BooleansAreExactAndCaseSensitive) {
  EXPECT_TRUE(Parse("<StartMin> True </StartMin>").StartMin);
  EXPECT_FALSE(Parse("<StartMin>true</StartMin>").StartMin);
  EXPECT_FALSE(Parse("<StartMin>TRUE</StartMin>").StartMin);
  EXPECT_FALSE(Parse("").StartMin);

  EXPECT_FALSE(Parse("<AllowReg>\r\n False\t</AllowReg>").AllowReg);
  EXPECT_TRUE(Parse("<AllowReg>false</AllowReg>").AllowReg);
  EXPECT_TRUE(Parse("<AllowReg>0</AllowReg>").AllowReg);
  EXPECT_TRUE(Parse("").AllowReg);
}

TEST(ConfigParseTest, NumbersFollowTheirOwnTrimmingRules) {
  EXPECT_EQ(Parse("<ServerPort> 8000 </ServerPort>").ServerPort, 8000);
  EXPECT_EQ(Parse("<ServerPort>abc</ServerPort>").ServerPort, 9475);
  EXPECT_EQ(Parse("<ServerPort>99999999999</ServerPort>").ServerPort, 9475);
  EXPECT_EQ(Parse("<ServerPort>70000</ServerPort>").ServerPort, 70000);  // no range check
  EXPECT_EQ(Parse("").ServerPort, 9475);

  EXPECT_EQ(Parse("<OfflineInfoDay>7</OfflineInfoDay>").OfflineInfoDay, 7);
  EXPECT_EQ(Parse("<OfflineInfoDay>-5</OfflineInfoDay>").OfflineInfoDay, -5);  // kept; the start fixes it
  EXPECT_EQ(Parse("<OfflineInfoDay>7 </OfflineInfoDay>").OfflineInfoDay, 3);   // not trimmed
  EXPECT_EQ(Parse("<OfflineInfoDay>seven</OfflineInfoDay>").OfflineInfoDay, 3);
  EXPECT_EQ(Parse("").OfflineInfoDay, 3);
}

TEST(ConfigParseTest, InformationDefaultsOnlyWhenMissing) {
  EXPECT_EQ(Parse("").Information, "沟通协作，创造价值！");
  EXPECT_EQ(Parse("<Information></Information>").Information, "");
  EXPECT_EQ(Parse("<Information/>").Information, "");
  EXPECT_EQ(Parse("<Information>  a &amp; b  </Information>").Information, "  a & b  ");
  auto r = ParseConfiguration(Doc("<Information/>"));
  EXPECT_TRUE(r.structFound);
  EXPECT_TRUE(r.hasInformation);
  EXPECT_FALSE(r.hasServerPort);
}

TEST(ConfigParseTest, BrokenOrMisshapenFilesGiveDefaults) {
  for (std::string bytes : {std::string("not xml"), std::string("<RootNode><Struct>"),
                            std::string("<Other><Struct><ServerPort>1</ServerPort></Struct></Other>"),
                            std::string("<RootNode><ServerPort>1</ServerPort></RootNode>")}) {
    ConfigReadResult r = ParseConfiguration(bytes);
    EXPECT_FALSE(r.structFound) << bytes;
    EXPECT_EQ(r.settings.ServerPort, 9475);
    EXPECT_TRUE(r.settings.AllowReg);
    EXPECT_FALSE(r.settings.StartMin);
    EXPECT_EQ(r.settings.OfflineInfoDay, 3);
    EXPECT_EQ(r.settings.Information, "沟通协作，创造价值！");
  }
}

TEST(ConfigWriteTest, NewDocumentHoldsOnlyTheKeyAsGbkWithCrLf) {
  auto bytes = UpdateConfigDocument(std::nullopt, "StartMin", "True");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->rfind("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n", 0), 0u);
  EXPECT_NE(bytes->find("<StartMin>True</StartMin>"), std::string::npos);
  EXPECT_EQ(bytes->substr(bytes->size() - 2), "\r\n");
  for (std::size_t i = 0; i < bytes->size(); ++i) {
    if ((*bytes)[i] == '\n') {
      EXPECT_EQ((*bytes)[i - 1], '\r');
    }
  }
  ConfigReadResult r = ParseConfiguration(*bytes);
  EXPECT_TRUE(r.structFound);
  EXPECT_TRUE(r.hasStartMin);
  EXPECT_FALSE(r.hasServerPort || r.hasAllowReg || r.hasOfflineInfoDay || r.hasInformation);
  EXPECT_TRUE(r.settings.StartMin);
}

TEST(ConfigWriteTest, ChineseTextIsStoredAsGbkAndReadBack) {
  const std::string info = "欢迎 <使用> & \"测试\"\n第二行";
  auto bytes = UpdateConfigDocument(std::nullopt, "Information", info);
  ASSERT_TRUE(bytes);
  auto gbk = Utf8ToGbk("欢迎");
  ASSERT_TRUE(gbk);
  EXPECT_NE(bytes->find(*gbk), std::string::npos);
  EXPECT_EQ(bytes->find("欢迎"), std::string::npos);  // not UTF-8 on disk
  EXPECT_EQ(ParseConfiguration(*bytes).settings.Information, info);

  // A character outside GBK survives as a character reference.
  auto emoji = UpdateConfigDocument(std::nullopt, "Information", "ok 😀");
  ASSERT_TRUE(emoji);
  EXPECT_EQ(ParseConfiguration(*emoji).settings.Information, "ok 😀");
}

TEST(ConfigWriteTest, UpdatesKeepOtherContentAndAppendNewKeysLast) {
  std::string existing = Doc("<ServerPort>8000</ServerPort><Extra a=\"1\">x</Extra><Information>old</Information>");
  auto bytes = UpdateConfigDocument(existing, "Information", " new ");
  ASSERT_TRUE(bytes);
  bytes = UpdateConfigDocument(*bytes, "AllowReg", "False");
  ASSERT_TRUE(bytes);
  auto r = ParseConfiguration(*bytes);
  EXPECT_EQ(r.settings.ServerPort, 8000);
  EXPECT_EQ(r.settings.Information, " new ");
  EXPECT_FALSE(r.settings.AllowReg);
  EXPECT_NE(bytes->find("<Extra a=\"1\">x</Extra>"), std::string::npos);
  EXPECT_LT(bytes->find("<Information>"), bytes->find("<AllowReg>"));
  EXPECT_LT(bytes->find("<AllowReg>"), bytes->find("</Struct>"));
}

TEST(ConfigWriteTest, MissingStructIsAddedAndUnparsableFilesAreLeftAlone) {
  std::string noStruct = "<?xml version=\"1.0\" encoding=\"GB2312\"?><RootNode><Note>n</Note></RootNode>";
  auto bytes = UpdateConfigDocument(noStruct, "ServerPort", "1234");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(ParseConfiguration(*bytes).settings.ServerPort, 1234);
  EXPECT_NE(bytes->find("<Note>n</Note>"), std::string::npos);
  EXPECT_LT(bytes->find("<Note>"), bytes->find("<Struct>"));

  EXPECT_FALSE(UpdateConfigDocument(std::string("<RootNode><Struct>"), "StartMin", "True"));
  EXPECT_FALSE(UpdateConfigDocument(std::string("<Other/>"), "StartMin", "True"));
  EXPECT_FALSE(UpdateConfigDocument(std::nullopt, "bad key", "x"));
  EXPECT_FALSE(UpdateConfigDocument(std::nullopt, "", "x"));

  TempDir dir;
  auto path = dir / "Configure.xml";
  WriteFile(path, "<RootNode><Struct>");
  WriteConfigValue(path, "StartMin", "True");
  EXPECT_EQ(ReadFile(path), "<RootNode><Struct>");
  // No temporary files are left behind either way.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ConfigWriteTest, RewritesThatWouldNotReadBackAreRefused) {
  std::string existing = Doc("<ServerPort>8000</ServerPort>");
  // XML 1.0 has no form for most control characters, and bytes that are
  // not UTF-8 are no text at all; writing either would break the file.
  EXPECT_FALSE(UpdateConfigDocument(existing, "Information", "a\x01b"));
  EXPECT_FALSE(UpdateConfigDocument(existing, "Information", "bad \xff\xfe"));
  // Tabs, line ends and DEL are text.
  auto kept = UpdateConfigDocument(existing, "Information", "a\tb\r\nc\nd\x7f");
  ASSERT_TRUE(kept);
  EXPECT_EQ(ParseConfiguration(*kept).settings.Information, "a\tb\r\nc\nd\x7f");

  // A hand-edited file in another encoding may hold names outside GBK,
  // which a GBK file cannot spell.
  std::string latin =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><?xo\xc4\x83 x?><RootNode><Struct>"
      "<ServerPort>8000</ServerPort></Struct></RootNode>";
  EXPECT_FALSE(UpdateConfigDocument(latin, "OfflineInfoDay", "7"));

  TempDir dir;
  auto path = dir / "Configure.xml";
  WriteFile(path, existing);
  WriteConfigValue(path, "Information", "a\x01b");
  EXPECT_EQ(ReadFile(path), existing);
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", xdg_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
  TempDir xdg_;
  TempDir data_;
};

TEST_F(ConfigFileTest, FirstRunCreatesAutostartAndAFileHoldingOnlyStartMin) {
  ServerSettings s;
  s.OfflineInfoDay = 9;
  s.Information = "x";
  s.AllowReg = false;
  std::filesystem::path exe = data_ / "corvan server";
  EXPECT_TRUE(ReadConfiguration(data_.path(), s, [&] { CreateAutoStartShortcut(exe); }).firstRun);
  EXPECT_EQ(s.ServerPort, 9475);
  EXPECT_TRUE(s.AllowReg);
  EXPECT_FALSE(s.StartMin);
  EXPECT_EQ(s.OfflineInfoDay, 0);
  EXPECT_EQ(s.Information, "");

  EXPECT_TRUE(AutoStartEnabled());
  EXPECT_EQ(AutostartEntryPath(), xdg_ / "autostart" / "Corvan服务器.desktop");
  std::string entry = ReadFile(AutostartEntryPath());
  EXPECT_NE(entry.find("Type=Application\n"), std::string::npos);
  EXPECT_NE(entry.find("Name=Corvan服务器\n"), std::string::npos);
  EXPECT_NE(entry.find("Comment=Corvan\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=\"" + exe.string() + "\"\n"), std::string::npos);
  EXPECT_NE(entry.find("Path=" + data_.path().string() + "\n"), std::string::npos);

  auto r = ParseConfiguration(ReadFile(data_ / "Configure.xml"));
  EXPECT_TRUE(r.hasStartMin);
  EXPECT_FALSE(r.hasServerPort || r.hasAllowReg || r.hasOfflineInfoDay || r.hasInformation);

  // The next run reads the file and starts minimised.
  ServerSettings next;
  EXPECT_FALSE(ReadConfiguration(data_.path(), next, [] { FAIL() << "not on a later run"; }).firstRun);
  EXPECT_TRUE(next.StartMin);
  EXPECT_EQ(next.OfflineInfoDay, 3);
  EXPECT_EQ(next.Information, "沟通协作，创造价值！");
}

TEST_F(ConfigFileTest, AutostartEntryIsKeptWhenPresentAndRemovable) {
  std::filesystem::create_directories(AutostartEntryPath().parent_path());
  WriteFile(AutostartEntryPath(), "mine");
  CreateAutoStartShortcut("/opt/corvan/corvan-server");
  EXPECT_EQ(ReadFile(AutostartEntryPath()), "mine");
  RemoveAutoStartShortcut();
  EXPECT_FALSE(AutoStartEnabled());
  CreateAutoStartShortcut("/opt/corvan/corvan-server");
  std::string entry = ReadFile(AutostartEntryPath());
  EXPECT_NE(entry.find("Exec=/opt/corvan/corvan-server\n"), std::string::npos);
  EXPECT_NE(entry.find("Path=/opt/corvan\n"), std::string::npos);

  EXPECT_FALSE(AutostartEntryText("/opt/a\nb"));
  auto odd = AutostartEntryText("/opt/100%/a$b");
  ASSERT_TRUE(odd);
  EXPECT_NE(odd->find("Exec=\"/opt/100%%/a\\\\$b\"\n"), std::string::npos);
}

TEST_F(ConfigFileTest, WriteConfigValueRewritesTheFileInPlace) {
  auto path = data_ / "Configure.xml";
  WriteConfigValue(path, "ServerPort", "8000");
  WriteConfigValue(path, "Information", "公告");
  WriteConfigValue(path, "ServerPort", "8001");
  ServerSettings s;
  EXPECT_FALSE(ReadConfiguration(data_.path(), s, nullptr).firstRun);
  EXPECT_EQ(s.ServerPort, 8001);
  EXPECT_EQ(s.Information, "公告");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_.path()), {}), 1);
}

TEST_F(ConfigFileTest, AFileThatCannotBeReadKeepsRegistrationClosedAndSaysWhy) {
  // A folder of that name, and a file past the size bound: both exist and
  // neither can be read as settings. What they hold cannot be known, so
  // registration stays closed; the other values are the defaults.
  std::filesystem::create_directory(data_ / "Configure.xml");
  ServerSettings s;
  s.AllowReg = true;
  s.ServerPort = 1;
  ConfigurationLoad load = ReadConfiguration(data_.path(), s, [] { FAIL() << "not a first run"; });
  std::string reason = load.readable.Message();
  EXPECT_FALSE(load.firstRun);
  EXPECT_FALSE(s.AllowReg);
  EXPECT_EQ(s.ServerPort, kDefaultServerPort);
  EXPECT_EQ(s.OfflineInfoDay, kDefaultOfflineInfoDay);
  EXPECT_FALSE(reason.empty());
  EXPECT_TRUE(std::filesystem::is_directory(data_ / "Configure.xml"));  // not replaced by a first-run file
  std::filesystem::remove(data_ / "Configure.xml");

  WriteFile(data_ / "Configure.xml", Doc("<AllowReg>False</AllowReg>") + std::string(kMaxConfigBytes, ' '));
  s = ServerSettings{};
  load = ReadConfiguration(data_.path(), s, nullptr);
  reason = load.readable.Message();
  EXPECT_FALSE(load.firstRun);
  EXPECT_FALSE(s.AllowReg);
  EXPECT_NE(reason.find("1048576"), std::string::npos) << reason;

  // A readable file reports nothing.
  WriteFile(data_ / "Configure.xml", Doc("<ServerPort>8000</ServerPort>"));
  load = ReadConfiguration(data_.path(), s, nullptr);
  reason = load.readable.Message();
  EXPECT_FALSE(load.firstRun);
  EXPECT_TRUE(s.AllowReg);
  EXPECT_TRUE(reason.empty());

  ServerSettings used;
  used.AllowReg = false;
  EXPECT_EQ(UnreadableConfigurationLine("/d/Configure.xml", "Is a directory", used),
            "无法读取配置文件/d/Configure.xml（Is a directory），改用：ServerPort=9475，StartMin=False，"
            "AllowReg=False，OfflineInfoDay=3，Information=沟通协作，创造价值！");
}

// What the file and the folder held at each sync made while rewriting.
struct SyncSeen {
  std::filesystem::path path;
  std::string fileThen;
};

TEST_F(ConfigFileTest, NewContentIsSyncedThenRenamedThenTheFolderIsSynced) {
  auto path = data_ / "Configure.xml";
  WriteConfigValue(path, "ServerPort", "8000");
  const std::string before = ReadFile(path);
  const auto folder = std::filesystem::weakly_canonical(data_.path());
  std::vector<SyncSeen> seen;
  {
    test::SyncHook hook([&](const std::filesystem::path& p) {
      if (p.parent_path() == folder || p == folder) seen.push_back({p, ReadFile(path)});
      return 0;
    });
    WriteConfigValue(path, "ServerPort", "8001");
  }
  const std::string after = ReadFile(path);
  ASSERT_NE(after, before);
  ASSERT_EQ(seen.size(), 2u);
  // The temporary file, while the old one is still in place...
  EXPECT_NE(seen[0].path, folder);
  EXPECT_NE(seen[0].path.filename(), "Configure.xml");
  EXPECT_EQ(seen[0].fileThen, before);
  // ...then the folder, after the rename.
  EXPECT_EQ(seen[1].path, folder);
  EXPECT_EQ(seen[1].fileThen, after);
}

TEST_F(ConfigFileTest, AFailingSyncKeepsTheOldFileAndLeavesNoTemporary) {
  auto path = data_ / "Configure.xml";
  WriteConfigValue(path, "ServerPort", "8000");
  const std::string before = ReadFile(path);
  {
    // The temporary file's sync fails; the folder's would pass.
    test::SyncHook hook([](const std::filesystem::path& p) { return std::filesystem::is_directory(p) ? 0 : EIO; });
    WriteConfigValue(path, "ServerPort", "8001");
  }
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_.path()), {}), 1);
}

}  // namespace
}  // namespace corvan
