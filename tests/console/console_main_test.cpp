// The console program as a whole: Qt's own texts in Chinese, and the program
// (run offscreen as a child process) stopping cleanly on SIGTERM and SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <memory>

#include "console/console_main.h"
#include "storage/config.h"
#include "support/offline_support.h"
#include "support/test_server.h"

extern char** environ;

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// True when `text` holds a character of the CJK block and no Latin letter
// outside a mnemonic like "(&Y)" (a menu's shortcut after the tab aside).
bool Chinese(const QString& text) {
  QString bare = text.section(QLatin1Char('\t'), 0, 0);
  bare.remove(QRegularExpression(QStringLiteral("\\(&[A-Za-z]\\)")));
  bool cjk = false;
  for (QChar c : bare) {
    if (c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff) cjk = true;
    if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')))
      return false;
  }
  return cjk;
}

class QtTranslation : public ::testing::Test {
 protected:
  void TearDown() override {
    // The other tests of this program see Qt as it was.
    for (QTranslator* t : qApp->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(t);
      delete t;
    }
  }
};

TEST_F(QtTranslation, StandardButtonsFileDialogsAndEditMenusSpeakChinese) {
  ASSERT_TRUE(InstallQtTranslation(*qApp)) << "qtbase_zh_CN.qm (package qt6-translations-l10n) is missing";

  QMessageBox box(QMessageBox::Warning, QStringLiteral("信息"), QStringLiteral("确定要恢复数据吗？"),
                  QMessageBox::Ok | QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  EXPECT_EQ(box.button(QMessageBox::Ok)->text(), "确定");
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), "取消");
  for (auto which : {QMessageBox::Yes, QMessageBox::No})
    EXPECT_TRUE(Chinese(box.button(which)->text())) << box.button(which)->text().toStdString();

  // The dialogs the backup and the restore use.
  QFileDialog dialog(nullptr, QStringLiteral("恢复数据"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
    auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(name));
    ASSERT_NE(label, nullptr) << name;
    EXPECT_TRUE(Chinese(label->text())) << name << ": " << label->text().toStdString();
  }
  auto* buttons = dialog.findChild<QDialogButtonBox*>();
  ASSERT_NE(buttons, nullptr);
  ASSERT_FALSE(buttons->buttons().isEmpty());
  for (QAbstractButton* b : buttons->buttons()) EXPECT_TRUE(Chinese(b->text())) << b->text().toStdString();

  QLineEdit edit;
  std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
  int captioned = 0;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator()) continue;
    ++captioned;
    EXPECT_TRUE(Chinese(a->text())) << a->text().toStdString();
  }
  EXPECT_GT(captioned, 0);
}

// The program with a display it cannot reach but the offscreen platform, so
// the console (not the headless run) starts; standard output into a file.
class ConsoleProcess {
 public:
  ConsoleProcess(const fs::path& home, const fs::path& out) {
    std::vector<std::string> env = {"CORVAN_HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "xdg").string(),
                                    "QT_QPA_PLATFORM=offscreen", "DISPLAY=:corvan-offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view v(*e);
      if (!v.starts_with("CORVAN_") && !v.starts_with("XDG_CONFIG_HOME=") && !v.starts_with("DISPLAY=") &&
          !v.starts_with("WAYLAND_DISPLAY=") && !v.starts_with("QT_QPA_PLATFORM="))
        env.emplace_back(v);
    }
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string program = CORVAN_SERVER_BINARY;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ConsoleProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }
  // Sends `signal` and waits (bounded) for the end: "exit N", "signal N" or
  // "still running".
  std::string Stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    if (!test::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 30s)) return "still running";
    pid_ = -1;
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
  }

 private:
  pid_t pid_ = -1;
};

TEST(ConsoleStopSignals, SigtermAndSigintStopTheServerAndExitWithZero) {
  test::TempDir home;
  const std::uint16_t port = test::FreePort();
  test::SeedDatabase(home.Path() / "Corvan_Server.mdb", {{"WANG", "pw", "Wang"}});
  WriteConfigValue(home.Path() / "Configure.xml", "ServerPort", std::to_string(port));
  const std::string started = "TCP服务器在" + std::to_string(port) + "端口启动成功!";

  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const fs::path out = home.Path() / ("stdout-" + std::to_string(signal) + ".log");
    ConsoleProcess console(home.Path(), out);
    ASSERT_TRUE(console.Started());
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadFile(out).find(started) != std::string::npos; }, 60s))
        << test::ReadFile(out);
    EXPECT_EQ(console.Stop(signal), "exit 0");
    const std::string log = test::ReadFile(out);
    EXPECT_NE(log.find("TCP服务器停止监听"), std::string::npos) << log;
    EXPECT_NE(log.find("Udp服务器停止监听"), std::string::npos) << log;
    // The instance lock went with the process: the next run starts.
  }
}

}  // namespace
}  // namespace corvan
