// The console's shell: the command table on every surface, the frame, the
// tray and close rules, the settings window, backup and restore, the
// announcement, the cleanup, the status-log menu and help.
#include <gtest/gtest.h>

#include <QTreeWidget>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <cstdlib>
#include <deque>
#include <fstream>

#include "app/modules_default.h"
#include "console/about_box.h"
#include "console/console_commands.h"
#include "console/help_window.h"
#include "console/main_shell.h"
#include "console/main_window.h"
#include "console/prompter.h"
#include "console/settings_window.h"
#include "console/skin_frame.h"
#include "console/tray.h"
#include "console/user_editor.h"
#include "server/server_core.h"
#include "storage/config.h"
#include "storage/database.h"
#include "support/test_server.h"

namespace corvan {
namespace {

// Records messages and questions; answers from queues.
class ScriptedPrompter : public Prompter {
 public:
  void Information(QWidget*, const QString& text, const QString& caption) override {
    messages.push_back((caption + "|" + text).toStdString());
  }
  bool Question(QWidget*, const QString& text, const QString& caption) override {
    questions.push_back((caption + "|" + text).toStdString());
    if (answers.empty()) return true;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  std::optional<QString> GetText(QWidget*, const QString& caption, const QString& label,
                                 const QString& initial) override {
    inputs.push_back((caption + "|" + label + "|" + initial).toStdString());
    return Next();
  }
  std::optional<QString> OpenFile(QWidget*, const QString&, const QString& filter) override {
    filters.push_back(filter.toStdString());
    return Next();
  }
  std::optional<QString> SaveFile(QWidget*, const QString&, const QString& filter) override {
    filters.push_back(filter.toStdString());
    return Next();
  }
  std::optional<QString> Next() {
    if (texts.empty()) return std::nullopt;
    auto t = texts.front();
    texts.pop_front();
    return t;
  }

  std::vector<std::string> messages, questions, inputs, filters;
  std::deque<bool> answers;
  std::deque<std::optional<QString>> texts;
};

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ShellTest : public ::testing::Test {
 protected:
  ShellTest() : core_(Options()) {}

  CoreOptions Options() {
    // The settings window writes autostart entries: keep them in the test's
    // folder.
    xdg_ = home_.Path() / "xdg";
    std::filesystem::create_directories(xdg_);
    setenv("XDG_CONFIG_HOME", xdg_.c_str(), 1);
    CoreOptions o;
    o.home = home_.Path();
    o.executable = home_.Path() / "corvan-server";
    UseDefaultWiring(o);
    return o;
  }

  void SetUp() override {
    ASSERT_TRUE(core_.Lifecycle().OpenDatabase().IsOk());
    Exec(
        "insert into organize values('Root','Acme','',0);"
        "insert into organize values('Root001','A','Root',10);"
        "insert into authreg(username,pwd,nickname,organizeNo,USERID) values('ANN','pw','Ann','Root001',1);"
        "insert into vcard(username,organizeNo,nickname) values('ANN','Root001','Ann')");
    window_ = std::make_unique<MainWindow>(core_, prompter_);
    shell_ = new MainShell(*window_, core_, prompter_);
    shell_->Tray()->TrayAvailable = [] { return false; };
    ASSERT_TRUE(window_->FirstShow(false));
    std::filesystem::remove(AutostartEntryPath());
  }

  void TearDown() override {
    core_.Lifecycle().StopServer();
    window_.reset();
    unsetenv("XDG_CONFIG_HOME");
  }

  void Exec(std::string_view sql) {
    DatabaseLock lock(core_.Db());
    core_.Db().Exec(sql);
  }
  void StartOnFreePort() {
    ServerSettings s = core_.Settings().Current();
    s.ServerPort = test::FreePort();
    core_.Settings().Set(s);
    core_.Lifecycle().StartServer();
    ASSERT_TRUE(core_.Lifecycle().TcpServerExists());
  }
  MainWindow& W() { return *window_; }
  MainShell& S() { return *shell_; }
  AboutBox& About() { return *W().findChild<AboutBox*>("Tfrmabout"); }
  // A control of the window's own frame: the dialogs inside it wear frames
  // whose pieces carry the same names.
  template <class T>
  T* FramePiece(const char* name) {
    for (T* piece : W().findChildren<T*>(QString::fromLatin1(name)))
      if (piece->window() == &W()) return piece;
    ADD_FAILURE() << name;
    return nullptr;
  }
  QAction* TrayItem(const char* name) {
    return W().findChild<QMenu*>("poptray")->findChild<QAction*>(QString::fromLatin1(name));
  }
  QTreeView* View(const char* name) { return W().findChild<QTreeView*>(name); }
  QString Cell(const char* view, int row, int column) {
    return View(view)->model()->index(row, column).data().toString();
  }
  std::filesystem::path File(const std::string& name) { return home_.Path() / name; }
  std::vector<std::string> TakeMessages() { return std::exchange(prompter_.messages, {}); }

  test::TempDir home_;
  std::filesystem::path xdg_;
  ServerCore core_;
  ScriptedPrompter prompter_;
  std::unique_ptr<MainWindow> window_;
  MainShell* shell_ = nullptr;  // owned by the window
};

TEST_F(ShellTest, EveryCommandIsOfferedWithTheCaptionsAndHintsOfTheTable) {
  struct Row {
    const char* id;
    const char* caption;
    const char* toolbar;
    const char* hint;
    const char* group;
  };
  const Row rows[] = {
      {"Nserverstart", "启动", "rztbtnserverstart", "运行", ""},
      {"Nserverstop", "停止", "rztbtnserverstop", "停止", ""},
      {"Nserverset", "设置", "rztbtnset", "设置", "Rzgrpmanage"},
      {"Nserverstatus", "状态", "rztbtnstatus", "状态", ""},
      {"Nmanageuser", "用户管理", "rztbtnmanageuser", "用户管理", "Rzgrpmanage"},
      {"Nmanageorg", "组织管理", "rztbtnmanageorg", "组织管理", "Rzgrpmanage"},
      {"NmanageInfo", "发布公告", "rztbtnSendInfo", "发布公告", "Rzgrpmanage"},
      {"N9", "备份数据", "rztbtndatabasebak", "备份数据库", "Rzgrpdatabase"},
      {"Ndatabaserestore", "恢复数据", "rztbtndatabaserestore", "恢复数据库", "Rzgrpdatabase"},
      {"N5", "清理离线文件", "rztbtnDelOfflinesFile", "清理无用离线文件", "Rzgrpdatabase"},
      {"NHelpserver", "服务器帮助", "", "", ""},
      {"NHelpabout", "关于", "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const MainShell::Command* c = S().FindCommand(row.id);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->menuItem, nullptr);
    EXPECT_EQ(c->menuItem->text().toStdString(), row.caption);
    EXPECT_EQ(W().findChild<QAction*>(row.id), c->menuItem);
    if (*row.toolbar) {
      auto* button = W().findChild<QToolButton*>(row.toolbar);
      ASSERT_NE(button, nullptr);
      EXPECT_EQ(button->text().toStdString(), row.caption);
      EXPECT_EQ(button->toolTip().toStdString(), row.hint);
      EXPECT_FALSE(button->icon().isNull());
    } else {
      EXPECT_EQ(c->toolbarItem, nullptr);
    }
    if (*row.group) {
      ASSERT_NE(c->groupItem, nullptr);
      EXPECT_EQ(c->groupItem->text().toStdString(), row.caption);
      EXPECT_EQ(c->groupItem->parent()->objectName().toStdString(), row.group);
    } else {
      EXPECT_EQ(c->groupItem, nullptr);
    }
  }
  // The data group's third item is the cleanup.
  EXPECT_EQ(W().findChild<QAction*>("RzgrpdatabaseItems2"), S().FindCommand("N5")->groupItem);
  // The menu as buttons, in order, with blanks after their captions.
  // The menu bar is a row of buttons, each with its menu.
  auto menu = [&](const char* name) {
    auto* button = W().findChild<QToolButton*>(QString::fromLatin1(name) + "button");
    return button ? button->menu() : nullptr;
  };
  for (const char* name : {"Nserver", "Nmanage", "Ndatabase", "Nhelp"}) ASSERT_TRUE(menu(name)) << name;
  EXPECT_EQ(menu("Nserver")->title().trimmed().toStdString(), "服务器");
  EXPECT_EQ(menu("Nmanage")->title().trimmed().toStdString(), "管理");
  EXPECT_EQ(menu("Ndatabase")->title().trimmed().toStdString(), "数据");
  EXPECT_EQ(menu("Nhelp")->title().trimmed().toStdString(), "帮助");
  EXPECT_TRUE(menu("Nserver")->title().endsWith(' '));
  for (const char* name : {"Tbrtopmenu", "Rztbrtop", "RzGbarmain", "Rzgrpmanage", "Rzgrpdatabase", "popstatus",
                           "poptray", "Rzsbtnmin", "Rzsbtnclose", "Imgtop", "imgrb", "Tfrmset", "Tfrmabout"})
    EXPECT_TRUE(W().findChild<QObject*>(name)) << name;
  EXPECT_EQ(W().findChild<QToolButton*>("Rzsbtnmin")->toolTip(), "最小化");
  EXPECT_EQ(FramePiece<QToolButton>("Rzsbtnclose")->toolTip(), "关闭");
  EXPECT_EQ(FramePiece<QLabel>("rzlbltitle")->text(), "Corvan服务器");
  EXPECT_EQ(W().size(), QSize(800, 600));
  EXPECT_TRUE(W().windowFlags() & Qt::FramelessWindowHint);
  // The tray.
  EXPECT_EQ(W().findChild<QSystemTrayIcon*>("Rztrayserver")->toolTip(), "Corvan服务器");
  EXPECT_EQ(TrayItem("Ntrayserverstart")->text(), "启动");
  EXPECT_EQ(TrayItem("Ntrayserverstop")->text(), "停止");
  EXPECT_EQ(TrayItem("Nexit")->text(), "退出");
}

TEST_F(ShellTest, MenuToolbarAndGroupBarRunTheSameActions) {
  auto page = [&] { return W().findChild<QTabWidget*>("Rzpagectrl")->currentWidget(); };
  const MainShell::Command* users = S().FindCommand("Nmanageuser");
  const MainShell::Command* orgs = S().FindCommand("Nmanageorg");
  const MainShell::Command* status = S().FindCommand("Nserverstatus");
  users->groupItem->trigger();
  EXPECT_EQ(page(), W().findChild<QWidget*>("Tabmanageuser"));
  EXPECT_EQ(View("Rzlvwuserlist")->model()->rowCount(), 1);
  orgs->toolbarItem->trigger();
  EXPECT_EQ(page(), W().findChild<QWidget*>("Tabmanageorg"));
  status->toolbarItem->trigger();
  EXPECT_EQ(page(), W().findChild<QWidget*>("Tabstatus"));
  orgs->menuItem->trigger();
  EXPECT_EQ(page(), W().findChild<QWidget*>("Tabmanageorg"));

  // Settings and about open their windows from each surface.
  std::vector<std::string> opened;
  S().ExecDialog = [&](QWidget& dialog) {
    opened.push_back(dialog.objectName().toStdString());
    return 0;
  };
  S().FindCommand("Nserverset")->menuItem->trigger();
  S().FindCommand("Nserverset")->toolbarItem->trigger();
  S().FindCommand("Nserverset")->groupItem->trigger();
  S().FindCommand("NHelpabout")->menuItem->trigger();
  EXPECT_EQ(opened, (std::vector<std::string>{"Tfrmset", "Tfrmset", "Tfrmset", "Tfrmabout"}));

  // Start and stop from the toolbar, with the images of each state.
  ServerSettings s = core_.Settings().Current();
  s.ServerPort = test::FreePort();
  core_.Settings().Set(s);
  S().FindCommand("Nserverstart")->toolbarItem->trigger();
  EXPECT_TRUE(core_.Lifecycle().TcpServerExists());
  QApplication::processEvents();
  EXPECT_EQ(S().StartImage(), 1);
  S().FindCommand("Nserverstop")->menuItem->trigger();
  EXPECT_FALSE(core_.Lifecycle().TcpServerExists());
  QApplication::processEvents();
  EXPECT_EQ(S().StartImage(), 0);
}

TEST_F(ShellTest, ToolbarCleanupRefusesWhileTheListenerExistsTheOthersDoNot) {
  StartOnFreePort();
  S().FindCommand("N5")->toolbarItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|请先停止服务器"}));
  auto cleaned = [&] {
    for (const auto& line : core_.Log().Lines())
      if (line.rfind("离线文件清理结束时间：", 0) == 0) return true;
    return false;
  };
  EXPECT_FALSE(cleaned());
  S().FindCommand("N5")->groupItem->trigger();
  EXPECT_TRUE(TakeMessages().empty());
  for (int i = 0; i < 200 && !cleaned(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(cleaned());
  core_.Lifecycle().StopServer();
  S().FindCommand("N5")->toolbarItem->trigger();
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(ShellTest, OnlineUsersWithNobodyOnlineAppendsOnlyTheCountLineAndClearEmptiesTheLog) {
  QApplication::processEvents();
  W().findChild<QAction*>("N3")->trigger();
  ASSERT_FALSE(core_.Log().Lines().empty());
  EXPECT_EQ(core_.Log().Lines().back(), "共0人在线！");
  QApplication::processEvents();
  EXPECT_EQ(W().findChild<QPlainTextEdit*>("Memostatus")->document()->lastBlock().text(), "共0人在线！");
  W().findChild<QAction*>("N4")->trigger();
  EXPECT_TRUE(W().findChild<QPlainTextEdit*>("Memostatus")->toPlainText().isEmpty());
}

TEST_F(ShellTest, BackupAppendsTheEndingAsksBeforeOverwritingAndReports) {
  prompter_.texts = {QString::fromStdString(File("backup1").string())};
  S().FindCommand("N9")->menuItem->trigger();
  EXPECT_TRUE(std::filesystem::exists(File("backup1.mdb")));
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|备份数据成功"}));
  EXPECT_EQ(prompter_.filters.back(), "*.mdb(数据库) (*.mdb);;*.*(所有文件) (*)");

  // An ending in capitals gets no second one.
  prompter_.texts = {QString::fromStdString(File("B.MDB").string())};
  S().FindCommand("N9")->toolbarItem->trigger();
  EXPECT_TRUE(std::filesystem::exists(File("B.MDB")));
  EXPECT_FALSE(std::filesystem::exists(File("B.MDB.mdb")));
  EXPECT_TRUE(prompter_.questions.empty());

  // Onto an existing file: asked first; no leaves it untouched.
  std::ofstream(File("keep.mdb")) << "keep";
  prompter_.texts = {QString::fromStdString(File("keep.mdb").string())};
  prompter_.answers = {false};
  TakeMessages();
  S().FindCommand("N9")->groupItem->trigger();
  EXPECT_EQ(prompter_.questions, (std::vector<std::string>{"信息|目标已经存在，是否继续？"}));
  EXPECT_EQ(ReadAll(File("keep.mdb")), "keep");
  EXPECT_TRUE(TakeMessages().empty());

  // A cancelled dialog does nothing.
  S().FindCommand("N9")->menuItem->trigger();
  EXPECT_TRUE(TakeMessages().empty());

  // A failure says why after its message.
  prompter_.texts = {QString::fromStdString(File("no-such-folder/b").string())};
  S().FindCommand("N9")->menuItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|备份数据失败：" + File("no-such-folder").string() +
                                                      ": No such file or directory"}));
}

TEST_F(ShellTest, RestoreIsRefusedWhileTheListenerExists) {
  StartOnFreePort();
  S().FindCommand("Ndatabaserestore")->menuItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|请先停止服务器"}));
  EXPECT_TRUE(prompter_.filters.empty());  // no dialog was shown
  EXPECT_TRUE(core_.Dir().Get()->UserExists("ANN"));
}

TEST_F(ShellTest, RestoreOfAnOlderDatabaseUpgradesItAndReloadsTreeAndBothLists) {
  {
    Database old;
    ASSERT_TRUE(old.Open(File("old.mdb").string()).IsOk());
    DatabaseLock lock(old);
    old.Exec(
        "create table authreg(username text, pwd text, nickname text, organizeNo text);"
        "create table vcard(username text, organizeNo text, nickname text, url text, tel text, email text,"
        " title text, bday text, n_given text, n_family text, adr_street text, adr_country text,"
        " org_orgname text, org_orgunit text, work_tel text, work_fax text, mobilephone text, work_adr text,"
        " sex text, self_desc text);"
        "create table organize(organizeNo text, organizename text, parNo text);"
        "insert into organize values('Root','旧公司','');"
        "insert into organize values('Root001','旧部门','Root');"
        "insert into authreg values('OLDIE','1','Old','Root001');"
        "insert into vcard(username,organizeNo,nickname) values('OLDIE','Root001','Old');");
  }
  W().ShowUsersPage();
  View("RzTvworg")->setCurrentIndex(W().FindOrgNode("Root001"));
  ASSERT_EQ(View("Rzlvwuser")->model()->rowCount(), 1);

  prompter_.texts = {QString::fromStdString(File("old.mdb").string())};
  prompter_.answers = {true};
  S().FindCommand("Ndatabaserestore")->toolbarItem->trigger();
  EXPECT_EQ(prompter_.questions, (std::vector<std::string>{"信息|是否确定恢复数据？"}));
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|恢复数据成功"}));
  ASSERT_EQ(View("RzTvworg")->model()->rowCount(), 1);
  EXPECT_EQ(Cell("RzTvworg", 0, 0), "旧公司");
  QAbstractItemModel* tree = View("RzTvworg")->model();
  ASSERT_EQ(tree->rowCount(tree->index(0, 0)), 1);
  EXPECT_EQ(tree->index(0, 0, tree->index(0, 0)).data().toString(), "旧部门");
  // Both lists show the restored accounts only.
  ASSERT_EQ(View("Rzlvwuserlist")->model()->rowCount(), 1);
  EXPECT_EQ(Cell("Rzlvwuserlist", 0, 1), "OLDIE");
  ASSERT_EQ(View("Rzlvwuser")->model()->rowCount(), 1);
  EXPECT_EQ(Cell("Rzlvwuser", 0, 1), "OLDIE");
  DatabaseLock lock(core_.Db());
  EXPECT_TRUE(core_.Db().TableExists("OfflineInfo"));
  EXPECT_TRUE(core_.Db().TableExists("OfflineFiles"));
  auto cols = core_.Db().ColumnNames("select * from organize");
  EXPECT_NE(std::find(cols.begin(), cols.end(), "orgID"), cols.end());
}

TEST_F(ShellTest, RestoreOfANonDatabaseFailsAndLeavesTheLiveDatabase) {
  std::ofstream(File("notes.mdb")) << "not a database at all";
  W().ShowUsersPage();
  prompter_.texts = {QString::fromStdString(File("notes.mdb").string())};
  S().FindCommand("Ndatabaserestore")->groupItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|恢复数据失败：" + File("notes.mdb").string() +
                                                      ": file is not a database"}));
  EXPECT_TRUE(core_.Dir().Get()->UserExists("ANN"));
  EXPECT_EQ(View("Rzlvwuserlist")->model()->rowCount(), 1);
  EXPECT_EQ(Cell("RzTvworg", 0, 0), "Acme");

  // A file that does not exist ends it without a message; "no" touches nothing.
  prompter_.texts = {QString::fromStdString(File("missing.mdb").string())};
  S().FindCommand("Ndatabaserestore")->menuItem->trigger();
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(ShellTest, AnnouncementAsksWithItsCaptionAndKeepsTheTextOnCancelOrBlanks) {
  const std::string before = core_.Settings().Information();
  S().FindCommand("NmanageInfo")->menuItem->trigger();  // cancelled
  ASSERT_EQ(prompter_.inputs.size(), 1u);
  EXPECT_EQ(prompter_.inputs[0], "提示|请输入公告内容|" + before);
  EXPECT_EQ(core_.Settings().Information(), before);

  prompter_.texts = {QStringLiteral("   ")};
  S().FindCommand("NmanageInfo")->toolbarItem->trigger();
  EXPECT_EQ(core_.Settings().Information(), before);

  prompter_.texts = {QStringLiteral(" 周五停电 ")};
  S().FindCommand("NmanageInfo")->groupItem->trigger();
  EXPECT_EQ(core_.Settings().Information(), " 周五停电 ");
  ConfigReadResult file = ParseConfiguration(ReadAll(core_.ConfigPath()));
  EXPECT_EQ(file.settings.Information, " 周五停电 ");
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(ShellTest, HelpOpensTheGuideBesideTheProgramInItsWindowOrSaysItCannot) {
  // Only the old compiled file in the data folder: nothing to show.
  std::ofstream(File("Corvan_Server.chm")) << "ITSF";
  S().FindCommand("NHelpserver")->menuItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|无法打开帮助文件!"}));
  EXPECT_EQ(S().Actions().Help(), nullptr);

  // The guide in "help" beside the program (the test's program lives in home_).
  // (As the build copies it beside the real program.)
  const std::filesystem::path built = std::filesystem::path(CORVAN_SERVER_BINARY).parent_path() / "help";
  std::filesystem::copy(built, File("help"), std::filesystem::copy_options::recursive);
  S().FindCommand("NHelpserver")->menuItem->trigger();
  EXPECT_TRUE(TakeMessages().empty());
  HelpWindow* help = S().Actions().Help();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  auto* browser = help->findChild<QTextBrowser*>("Rzhelpbrowser");
  ASSERT_NE(browser, nullptr);
  EXPECT_EQ(browser->source().toLocalFile().toStdString(), File("help/index.html").string());
  EXPECT_EQ(help->findChild<QTreeWidget*>("Tvhelpcontents")->topLevelItemCount(), 8);

  // Asked again: the same window, back at the start page.
  browser->setSource(QUrl(QStringLiteral("faq.html")));
  S().FindCommand("NHelpserver")->menuItem->trigger();
  EXPECT_EQ(S().Actions().Help(), help);
  EXPECT_EQ(browser->source().fileName(), "index.html");

  std::filesystem::remove_all(File("help"));
  S().FindCommand("NHelpserver")->menuItem->trigger();
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|无法打开帮助文件!"}));
}

TEST_F(ShellTest, MenuAndToolbarButtonsForgetTheirHoverWhenAPopupClosesElsewhere) {
  QCursor::setPos(-500, -500);
  auto* menuButton = W().findChild<QToolButton*>(QStringLiteral("Nhelpbutton"));
  ASSERT_NE(menuButton, nullptr);
  QMenu* menu = menuButton->menu();
  menuButton->setAttribute(Qt::WA_UnderMouse, true);
  menu->popup(QPoint(0, 0));
  menu->hide();
  EXPECT_FALSE(menuButton->testAttribute(Qt::WA_UnderMouse));

  // The toolbar's settings button after its (modal) window closed.
  S().ExecDialog = [](QWidget&) { return 0; };
  auto* toolButton = W().findChild<QWidget*>(QStringLiteral("rztbtnset"));
  ASSERT_NE(toolButton, nullptr);
  toolButton->setAttribute(Qt::WA_UnderMouse, true);
  S().FindCommand("Nserverset")->toolbarItem->trigger();
  EXPECT_FALSE(toolButton->testAttribute(Qt::WA_UnderMouse));
}

TEST_F(ShellTest, AccountEditorOpensAtTheLoginNameWhateverWasPressedLast) {
  UserEditor& editor = *W().findChild<UserEditor*>(QStringLiteral("Tfrmuser"));
  editor.show();
  QWidget* loginName = editor.findChild<QLineEdit*>("edtloginname");
  EXPECT_EQ(editor.focusWidget(), loginName);
  editor.findChild<QPushButton*>("Rzbtnok")->setFocus();
  editor.hide();
  editor.show();
  EXPECT_EQ(editor.focusWidget(), loginName);
  editor.findChild<QTabWidget*>("Pgcuser")->setCurrentWidget(editor.findChild<QWidget*>("Tabotherinfo"));
  editor.findChild<QPlainTextEdit*>("Memodesc")->setFocus();
  editor.hide();
  editor.show();
  EXPECT_EQ(editor.focusWidget(), loginName);
  editor.hide();
}

TEST_F(ShellTest, AboutShowsTheVersionAndItsDate) {
  EXPECT_EQ(About().windowTitle(), "关于");
  EXPECT_EQ(About().findChild<QLabel*>("lblversion")->text(), "版本:2.4.081226");
  EXPECT_EQ(About().findChild<QLabel*>("lbldate")->text(), "更新日期：2008年12月26日");
}

TEST_F(ShellTest, CloseKeepsTheServerRunningUntilExit) {
  StartOnFreePort();
  W().show();
  QApplication::processEvents();
  // No tray here: closing minimises instead, so the console is not lost.
  EXPECT_FALSE(W().close());
  EXPECT_TRUE(S().Tray()->Minimized());
  EXPECT_TRUE(core_.Lifecycle().TcpServerExists());
  FramePiece<QToolButton>("Rzsbtnclose")->click();
  EXPECT_TRUE(core_.Lifecycle().TcpServerExists());
  TrayItem("Ntrayserverstop")->trigger();  // restores, then stops
  EXPECT_FALSE(S().Tray()->Minimized());
  EXPECT_FALSE(core_.Lifecycle().TcpServerExists());
  TrayItem("Ntrayserverstart")->trigger();
  EXPECT_TRUE(core_.Lifecycle().TcpServerExists());

  // With a tray the window hides into it; a click brings it back.
  S().Tray()->TrayAvailable = [] { return true; };
  S().Tray()->IconPressed();
  EXPECT_FALSE(W().isVisible());
  S().Tray()->IconPressed();
  EXPECT_TRUE(W().isVisible());

  TrayItem("Nexit")->trigger();
  EXPECT_TRUE(S().ExitRequested);
  EXPECT_FALSE(core_.Lifecycle().TcpServerExists());
}

TEST_F(ShellTest, FrameResizesFromTheCornerAndMovesFromTheBannerWithoutAWindowManager) {
  W().show();
  QApplication::processEvents();
  const QRect before = W().geometry();
  auto send = [](QWidget* piece, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(local), QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(piece, &event);
  };
  QWidget* corner = FramePiece<QLabel>("imgrb");
  QPoint local(corner->width() - 3, corner->height() - 3);
  QPoint global = corner->mapToGlobal(local);
  send(corner, QEvent::MouseButtonPress, local, global, Qt::LeftButton);
  ASSERT_TRUE(S().Skin()->LastAction());
  EXPECT_EQ(*S().Skin()->LastAction(), FrameAction::BottomRight);
  if (S().Skin()->Dragging()) {
    send(corner, QEvent::MouseMove, local, global + QPoint(20, 10), Qt::LeftButton);
    send(corner, QEvent::MouseButtonRelease, local, global + QPoint(20, 10), Qt::NoButton);
    EXPECT_EQ(W().geometry().size(), before.size() + QSize(20, 10));
    EXPECT_EQ(W().geometry().topLeft(), before.topLeft());
  }

  QWidget* banner = FramePiece<QLabel>("Imgtop");
  QPoint middle(banner->width() / 2, banner->height() / 2);
  send(banner, QEvent::MouseButtonPress, middle, banner->mapToGlobal(middle), Qt::LeftButton);
  EXPECT_EQ(*S().Skin()->LastAction(), FrameAction::Move);

  // A dialog never resizes from its edge.
  auto* settings = W().findChild<SettingsWindow*>("Tfrmset");
  auto* dialogCorner = settings->findChild<QLabel*>("imgrb");
  send(dialogCorner, QEvent::MouseButtonPress, QPoint(1, 1), QPoint(1, 1), Qt::LeftButton);
  EXPECT_FALSE(settings->Skin()->LastAction());
  // The account editor wears the fixed frame too.
  auto* editorFrame = W().findChild<QDialog*>("Tfrmuser")->findChild<SkinFrame*>();
  ASSERT_NE(editorFrame, nullptr);
  EXPECT_FALSE(editorFrame->Sizable());
}

class SettingsTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    // As after a server start, which replaces an unset number of days by 3.
    ServerSettings s = core_.Settings().Current();
    s.OfflineInfoDay = 3;
    core_.Settings().Set(s);
  }
  SettingsWindow& F() { return *W().findChild<SettingsWindow*>("Tfrmset"); }
  // The window's controls, by their names.
  template <class T>
  T* Control(const char* name) {
    T* control = F().findChild<T*>(QString::fromLatin1(name));
    EXPECT_TRUE(control) << name;
    return control;
  }
  QWidget* CurrentPage() { return Control<QTabWidget>("Pgcset")->currentWidget(); }
  QWidget* Page(const char* name) { return Control<QWidget>(name); }
  QLineEdit* PortEdit() { return Control<QLineEdit>("edtServerPort"); }
  QCheckBox* AutoStartBox() { return Control<QCheckBox>("chkautostart"); }
  QCheckBox* StartMinimizedBox() { return Control<QCheckBox>("chkstartmin"); }
  QRadioButton* AllowRegistration() { return Control<QRadioButton>("rdoallow"); }
  QRadioButton* DenyRegistration() { return Control<QRadioButton>("rdodeny"); }
  QSpinBox* OfflineDaysBox() { return Control<QSpinBox>("RzedtOfflineday"); }
  ConfigReadResult Saved() { return ParseConfiguration(ReadAll(core_.ConfigPath())); }
};

TEST_F(SettingsTest, WindowShowsTheSettingsOnItsFourPages) {
  F().FillOnShow();
  EXPECT_EQ(F().windowTitle(), "设置");
  EXPECT_EQ(CurrentPage(), Page("Tabsheetnetwork"));
  EXPECT_EQ(PortEdit()->text().toInt(), core_.Settings().ServerPort());
  EXPECT_EQ(PortEdit()->maxLength(), 10);
  EXPECT_EQ(AllowRegistration()->isChecked(), core_.Settings().AllowReg());
  EXPECT_EQ(OfflineDaysBox()->value(), core_.Settings().OfflineInfoDay());
  EXPECT_FALSE(AutoStartBox()->isChecked());
  F().ShowOfflinePage();
  EXPECT_EQ(CurrentPage(), Page("TabsheetOffline"));
  F().ShowStartPage();
  EXPECT_EQ(CurrentPage(), Page("Tabsheetstart"));
  F().ShowRegistrationPage();
  EXPECT_EQ(CurrentPage(), Page("Tabsheetreg"));
  auto hint = [&](const char* page) {
    return F().findChild<QLabel*>(QString::fromLatin1(page) + "hint")->text().toStdString();
  };
  EXPECT_EQ(hint("Tabsheetnetwork"), "设置服务器的通讯端口。\n端口改变后，服务器需要重新启动后生效。");
  EXPECT_EQ(hint("TabsheetOffline"), "设置服务器保存离线信息的期限。(1-30天)");
  EXPECT_EQ(AutoStartBox()->text(), "开机启动");
  EXPECT_EQ(StartMinimizedBox()->text(), "启动时最小化");
  EXPECT_EQ(DenyRegistration()->text(), "不允许");
}

TEST_F(SettingsTest, BadPortStopsTheSaveBeforeAnythingElseIsWritten) {
  F().FillOnShow();
  std::filesystem::remove(core_.ConfigPath());
  PortEdit()->setText("90a");
  StartMinimizedBox()->setChecked(true);
  EXPECT_FALSE(F().SaveAll());
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|请输入合法的端口（1-65535）"}));
  EXPECT_FALSE(std::filesystem::exists(core_.ConfigPath()));
  EXPECT_NE(F().result(), QDialog::Accepted);
}

TEST_F(SettingsTest, SaveWritesTheKeysInOrderAndTellsOfAChangedPort) {
  F().FillOnShow();
  // The port unchanged: no message, no ServerPort key; the other three are written.
  std::filesystem::remove(core_.ConfigPath());
  DenyRegistration()->setChecked(true);
  OfflineDaysBox()->setValue(7);
  EXPECT_TRUE(F().SaveAll());
  EXPECT_TRUE(TakeMessages().empty());
  ConfigReadResult saved = Saved();
  EXPECT_FALSE(saved.hasServerPort);
  EXPECT_TRUE(saved.hasStartMin);
  EXPECT_FALSE(saved.settings.AllowReg);
  EXPECT_EQ(saved.settings.OfflineInfoDay, 7);
  EXPECT_FALSE(core_.Settings().AllowReg());
  EXPECT_EQ(core_.Settings().OfflineInfoDay(), 7);

  // A new port: written as entered (trimmed) and "重新启动服务器后生效".
  F().FillOnShow();
  PortEdit()->setText(" 9600 ");
  EXPECT_TRUE(F().SaveAll());
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|重新启动服务器后生效"}));
  EXPECT_EQ(core_.Settings().ServerPort(), 9600);
  EXPECT_EQ(Saved().settings.ServerPort, 9600);
  // Shown again, the boxes keep what was entered.
  F().FillOnShow();
  EXPECT_EQ(PortEdit()->text(), " 9600 ");
  EXPECT_TRUE(DenyRegistration()->isChecked());
}

TEST_F(SettingsTest, AutoStartBoxCreatesAndRemovesTheAutostartEntry) {
  const auto entry = AutostartEntryPath();
  EXPECT_EQ(entry.parent_path().parent_path(), xdg_);
  F().FillOnShow();
  EXPECT_FALSE(F().AutoStartWasOn);
  AutoStartBox()->setChecked(true);
  ASSERT_TRUE(F().SaveAll()) << ::testing::PrintToString(prompter_.messages);
  EXPECT_TRUE(std::filesystem::exists(entry));
  EXPECT_NE(ReadAll(entry).find("Exec="), std::string::npos);

  F().FillOnShow();
  EXPECT_TRUE(AutoStartBox()->isChecked());
  EXPECT_TRUE(F().AutoStartWasOn);
  // Left as found: the entry is not touched even if it vanished meanwhile.
  std::filesystem::remove(entry);
  ASSERT_TRUE(F().SaveAll());
  EXPECT_FALSE(std::filesystem::exists(entry));

  F().FillOnShow();
  AutoStartBox()->setChecked(true);
  ASSERT_TRUE(F().SaveAll());
  F().FillOnShow();
  AutoStartBox()->setChecked(false);
  ASSERT_TRUE(F().SaveAll());
  EXPECT_FALSE(std::filesystem::exists(entry));
}

TEST_F(SettingsTest, TaskBarItemsAreLeftAlignedAndMarkThePageInFront) {
  F().FillOnShow();
  auto item = [&](const char* action) {
    return F().findChild<QPushButton*>(QString::fromLatin1(action) + QStringLiteral("button"));
  };
  const char* actions[] = {"actoristart", "actorinetwork", "actadvreg", "actadvoffline"};
  for (const char* a : actions) {
    ASSERT_NE(item(a), nullptr) << a;
    EXPECT_TRUE(item(a)->isCheckable()) << a;
  }
  EXPECT_EQ(item("actoristart")->text(), "启动设置");
  EXPECT_TRUE(item("actorinetwork")->isChecked());
  item("actadvoffline")->click();
  EXPECT_EQ(CurrentPage(), Page("TabsheetOffline"));
  EXPECT_TRUE(item("actadvoffline")->isChecked());
  EXPECT_FALSE(item("actorinetwork")->isChecked());
  // Brought forward another way, the page's item is marked all the same.
  F().ShowRegistrationPage();
  EXPECT_TRUE(item("actadvreg")->isChecked());
  EXPECT_FALSE(item("actadvoffline")->isChecked());
  F().FillOnShow();
  EXPECT_TRUE(item("actorinetwork")->isChecked());
}

// A stored number outside 1 to 30 is shown as stored (a server start purges
// with 3 days meanwhile), with the range message; saving it is refused until
// the box holds one inside.
TEST_F(SettingsTest, StoredDaysOutsideOneToThirtyAreShownWithTheRangeAndNotSaved) {
  QLabel* note = Control<QLabel>("offlineDayRangeNote");
  for (std::int32_t days : {0, 31, -5}) {
    SCOPED_TRACE(days);
    WriteConfigValue(core_.ConfigPath(), "OfflineInfoDay", std::to_string(days));
    F().FillOnShow();
    EXPECT_EQ(OfflineDaysBox()->text().toStdString(), std::to_string(days));
    EXPECT_FALSE(note->isHidden());
    EXPECT_EQ(note->text(), "离线信息保存天数应为1-30天");
    EXPECT_FALSE(F().SaveAll());
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"信息|离线信息保存天数应为1-30天"}));
    EXPECT_EQ(CurrentPage(), Page("TabsheetOffline"));
    EXPECT_EQ(F().focusWidget(), OfflineDaysBox());
    EXPECT_EQ(Saved().settings.OfflineInfoDay, days);
    // Stepped into the range, it saves.
    OfflineDaysBox()->stepBy(1);
    EXPECT_EQ(OfflineDaysBox()->text().toStdString(), days < 1 ? "1" : "30");
    EXPECT_TRUE(note->isHidden());
    EXPECT_TRUE(F().SaveAll());
    EXPECT_TRUE(TakeMessages().empty());
    EXPECT_EQ(core_.Settings().OfflineInfoDay(), days < 1 ? 1 : 30);
  }
}

// What is typed stays as typed, and "确定" saves it or refuses it: nothing
// is dropped from it, and no earlier number is saved instead.
TEST_F(SettingsTest, TypedDaysAreSavedOrRefusedAsTheyStand) {
  struct Case {
    const char* typed;
    bool saved;
  };
  for (Case c : {Case{"31", false}, Case{"-5", false}, Case{"0", false}, Case{"", false}, Case{"12", true}}) {
    SCOPED_TRACE(c.typed);
    F().show();
    F().FillOnShow();
    QLineEdit* edit = OfflineDaysBox()->findChild<QLineEdit*>();
    edit->setFocus();
    edit->selectAll();
    QKeyEvent clear(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(edit, &clear);
    for (const QChar ch : QString::fromLatin1(c.typed)) {
      QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
      QApplication::sendEvent(edit, &key);
    }
    // "确定" takes the focus first, as a click does.
    Control<QPushButton>("rzbtnok")->setFocus();
    EXPECT_EQ(OfflineDaysBox()->text().toStdString(), c.typed);
    EXPECT_EQ(F().SaveAll(), c.saved);
    EXPECT_EQ(TakeMessages(),
              c.saved ? std::vector<std::string>{} : std::vector<std::string>{"信息|离线信息保存天数应为1-30天"});
    EXPECT_EQ(core_.Settings().OfflineInfoDay(), c.saved ? 12 : 3);
    F().hide();
  }
}

}  // namespace
}  // namespace corvan
