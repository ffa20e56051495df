// The console started from the desktop entry while the system service holds
// its data folder: a message that says so and how to manage the service.
#include <gtest/gtest.h>

#include <QString>
#include <vector>

#include "console/console_main.h"
#include "console/prompter.h"
#include "support/test_server.h"

namespace corvan {
namespace {

class RecordingPrompter : public Prompter {
 public:
  void Information(QWidget*, const QString& text, const QString& caption) override {
    shown.push_back((caption + "|" + text).toStdString());
  }
  bool Question(QWidget*, const QString&, const QString&) override { return false; }
  std::optional<QString> GetText(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  std::optional<QString> OpenFile(QWidget*, const QString&, const QString&) override { return {}; }
  std::optional<QString> SaveFile(QWidget*, const QString&, const QString&) override { return {}; }
  std::vector<std::string> shown;
};

TEST(ServiceNoticeTest, OnlyTheDesktopEntryOptionAsksForIt) {
  char program[] = "corvan-server";
  char option[] = "--desktop-entry";
  char other[] = "-platform";
  char* plain[] = {program, other, nullptr};
  char* fromMenu[] = {program, other, option, nullptr};
  EXPECT_FALSE(StartedFromDesktopEntry(2, plain));
  EXPECT_TRUE(StartedFromDesktopEntry(3, fromMenu));
}

TEST(ServiceNoticeTest, SaysWhoHoldsTheFolderAndHowToManageTheService) {
  test::TempDir home;
  RecordingPrompter prompter;
  TellServiceHoldsFolder(prompter, home.Path());
  ASSERT_EQ(prompter.shown.size(), 1u);
  const std::string& text = prompter.shown[0];
  EXPECT_EQ(text.rfind("信息|Corvan服务器已在运行（系统服务 corvan）", 0), 0u) << text;
  EXPECT_NE(text.find(home.Path().string()), std::string::npos);
  for (const char* command :
       {"corvanctl status", "corvanctl --help", "systemctl start corvan", "systemctl stop corvan"})
    EXPECT_NE(text.find(command), std::string::npos) << command;

  // A folder this user may not use (the service's own) is named as such.
  std::string denied = ServiceHoldsFolderNotice("/var/lib/corvan", false);
  EXPECT_EQ(denied.rfind("数据目录 /var/lib/corvan 属于系统服务 corvan，当前用户不能使用。", 0), 0u) << denied;
}

}  // namespace
}  // namespace corvan
