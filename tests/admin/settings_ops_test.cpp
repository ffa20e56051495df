#include "admin/settings_ops.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "server/server_core.h"
#include "storage/config.h"
#include "support/test_server.h"

namespace corvan {
namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SettingsOpsTest : public ::testing::Test {
 protected:
  SettingsOpsTest() {
    setenv("XDG_CONFIG_HOME", xdg_.Path().c_str(), 1);
    test::TestServer::Setup s;
    s.start = false;
    server_ = std::make_unique<test::TestServer>(s);
    server_->Core().LoadConfiguration();
  }
  ~SettingsOpsTest() override { unsetenv("XDG_CONFIG_HOME"); }
  ServerCore& Core() { return server_->Core(); }
  ConfigReadResult File() { return ParseConfiguration(Slurp(Core().ConfigPath())); }

  test::TempDir xdg_;
  std::unique_ptr<test::TestServer> server_;
};

TEST(PortTextTest, AcceptsOnlyPortNumbers) {
  EXPECT_EQ(ParsePortText(" 8000 "), 8000);
  EXPECT_EQ(ParsePortText("65535"), 65535);
  EXPECT_FALSE(ParsePortText("0"));
  EXPECT_FALSE(ParsePortText("65536"));
  EXPECT_FALSE(ParsePortText("80a"));
  EXPECT_FALSE(ParsePortText(""));
}

TEST_F(SettingsOpsTest, BadPortStopsBeforeAnythingIsSaved) {
  std::string before = Slurp(Core().ConfigPath());
  SettingsForm form = CurrentSettingsForm(Core());
  form.serverPort = "port";
  form.allowReg = !form.allowReg;
  SettingsSaveResult r = SaveAll(Core(), form);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.messages, std::vector<std::string>{"请输入合法的端口"});
  EXPECT_EQ(Slurp(Core().ConfigPath()), before);
}

TEST_F(SettingsOpsTest, UnchangedPortIsNotWrittenAndTheOtherKeysAre) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.allowReg = false;
  form.offlineInfoDay = 7;
  form.startMin = true;
  SettingsSaveResult r = SaveAll(Core(), form);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.messages.empty());
  ConfigReadResult file = File();
  EXPECT_FALSE(file.settings.AllowReg);
  EXPECT_EQ(file.settings.OfflineInfoDay, 7);
  EXPECT_TRUE(file.settings.StartMin);
  EXPECT_FALSE(Core().AllowReg());
  EXPECT_EQ(Core().OfflineInfoDay(), 7);
  EXPECT_FALSE(Core().Settings().StartMin);  // read at the next start only
}

TEST_F(SettingsOpsTest, ChangedPortIsWrittenAsTypedAndNeedsARestart) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.serverPort = " 12345 ";
  SettingsSaveResult r = SaveAll(Core(), form);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.messages, std::vector<std::string>{"重新启动服务器后生效"});
  EXPECT_EQ(Core().ServerPort(), 12345);
  EXPECT_NE(Slurp(Core().ConfigPath()).find("<ServerPort>12345</ServerPort>"), std::string::npos);
}

TEST_F(SettingsOpsTest, DaysOutsideTheBoxRangeAreRefused) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.offlineInfoDay = 31;
  SettingsSaveResult r = SaveAll(Core(), form);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.messages.back(), "保存离线信息设置失败");
}

TEST_F(SettingsOpsTest, AutoStartFollowsTheBoxOnlyWhenItChanged) {
  SettingsForm form = CurrentSettingsForm(Core());
  ASSERT_FALSE(form.autoStartWasOn);
  form.autoStart = true;
  EXPECT_TRUE(SaveAll(Core(), form).ok);
  EXPECT_TRUE(AutoStartEnabled());
  // Left as found when the window was shown: the entry stays.
  SettingsForm same = form;
  same.autoStartWasOn = false;
  same.autoStart = false;
  EXPECT_TRUE(SaveAll(Core(), same).ok);
  EXPECT_TRUE(AutoStartEnabled());
  form = CurrentSettingsForm(Core());
  form.autoStart = false;
  EXPECT_TRUE(SaveAll(Core(), form).ok);
  EXPECT_FALSE(AutoStartEnabled());
}

}  // namespace
}  // namespace corvan
