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
    server_->Core().Lifecycle().LoadConfiguration();
  }
  ~SettingsOpsTest() override { unsetenv("XDG_CONFIG_HOME"); }
  ServerCore& Core() { return server_->Core(); }
  SettingsSaveResult Save(const SettingsForm& form) {
    return SaveAll(Core().Settings(), Core().ConfigPath(), Core().Options().executable, form);
  }
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
  SettingsSaveResult r = Save(form);
  EXPECT_FALSE(r.status.IsOk());
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"请输入合法的端口（1-65535）"});
  EXPECT_EQ(Slurp(Core().ConfigPath()), before);
}

TEST_F(SettingsOpsTest, UnchangedPortIsNotWrittenAndTheOtherKeysAre) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.allowReg = false;
  form.offlineInfoDay = " 7 ";
  form.startMin = true;
  SettingsSaveResult r = Save(form);
  EXPECT_TRUE(r.status.IsOk());
  EXPECT_TRUE(r.Messages().empty());
  ConfigReadResult file = File();
  EXPECT_FALSE(file.settings.AllowReg);
  EXPECT_EQ(file.settings.OfflineInfoDay, 7);
  EXPECT_TRUE(file.settings.StartMin);
  EXPECT_FALSE(Core().Settings().AllowReg());
  EXPECT_EQ(Core().Settings().OfflineInfoDay(), 7);
  EXPECT_FALSE(Core().Settings().Current().StartMin);  // read at the next start only
}

TEST_F(SettingsOpsTest, ChangedPortIsWrittenAsTypedAndNeedsARestart) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.serverPort = " 12345 ";
  SettingsSaveResult r = Save(form);
  EXPECT_TRUE(r.status.IsOk());
  EXPECT_EQ(r.Messages(), std::vector<std::string>{"重新启动服务器后生效"});
  EXPECT_EQ(Core().Settings().ServerPort(), 12345);
  EXPECT_NE(Slurp(Core().ConfigPath()).find("<ServerPort>12345</ServerPort>"), std::string::npos);
}

// Whatever the days box holds is saved or refused: a number outside 1 to 30,
// an empty box or letters never reach the file or memory.
TEST_F(SettingsOpsTest, DaysOutsideOneToThirtyAreRefusedByNamingTheRangeAndNotWritten) {
  for (const char* days : {"0", "31", "-5", "", "abc", "99999999999"}) {
    SettingsForm form = CurrentSettingsForm(Core());
    form.offlineInfoDay = days;
    SettingsSaveResult r = Save(form);
    EXPECT_FALSE(r.status.IsOk()) << days;
    EXPECT_EQ(r.Messages(), std::vector<std::string>{"离线信息保存天数应为1-30天"}) << days;
    EXPECT_EQ(Slurp(Core().ConfigPath()).find(std::string("<OfflineInfoDay>") + days + "<"), std::string::npos);
    EXPECT_EQ(Core().Settings().OfflineInfoDay(), 3) << days;
  }
  SettingsForm form = CurrentSettingsForm(Core());
  for (std::int32_t days : {1, 30}) {
    form.offlineInfoDay = std::to_string(days);
    EXPECT_TRUE(Save(form).status.IsOk()) << days;
    EXPECT_EQ(Core().Settings().OfflineInfoDay(), days);
  }
}

// The form shows the days as stored, also outside 1 to 30, though a server
// start uses 3 days for them.
TEST_F(SettingsOpsTest, FormShowsTheStoredDaysNotTheOnesInUse) {
  WriteConfigValue(Core().ConfigPath(), "OfflineInfoDay", "-5");
  EXPECT_EQ(CurrentSettingsForm(Core()).offlineInfoDay, "-5");
  EXPECT_EQ(Core().Settings().OfflineInfoDay(), 3);
}

TEST_F(SettingsOpsTest, ANoticeOfAnEarlierStepIsShownBeforeTheFailure) {
  SettingsForm form = CurrentSettingsForm(Core());
  form.serverPort = "12346";
  form.offlineInfoDay = "31";
  SettingsSaveResult r = Save(form);
  EXPECT_EQ(r.status.Code(), StatusCode::kInvalidInput);
  EXPECT_TRUE(r.portChanged);
  EXPECT_EQ(r.Messages(), (std::vector<std::string>{"重新启动服务器后生效", "离线信息保存天数应为1-30天"}));
}

TEST_F(SettingsOpsTest, AutoStartFollowsTheBoxOnlyWhenItChanged) {
  SettingsForm form = CurrentSettingsForm(Core());
  ASSERT_FALSE(form.autoStartWasOn);
  form.autoStart = true;
  EXPECT_TRUE(Save(form).status.IsOk());
  EXPECT_TRUE(AutoStartEnabled());
  // Left as found when the window was shown: the entry stays.
  SettingsForm same = form;
  same.autoStartWasOn = false;
  same.autoStart = false;
  EXPECT_TRUE(Save(same).status.IsOk());
  EXPECT_TRUE(AutoStartEnabled());
  form = CurrentSettingsForm(Core());
  form.autoStart = false;
  EXPECT_TRUE(Save(form).status.IsOk());
  EXPECT_FALSE(AutoStartEnabled());
}

}  // namespace
}  // namespace corvan
