#include "console/main_shell.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "console/about_box.h"
#include "console/console_commands.h"
#include "console/console_images.h"
#include "console/department_dialogs.h"
#include "console/main_window.h"
#include "console/settings_window.h"
#include "console/skin_frame.h"
#include "console/tray.h"
#include "console/user_editor.h"
#include "server/server_core.h"

namespace corvan {

namespace {

QAction* MakeAction(QObject* parent, const QString& name, const QString& caption) {
  auto* a = new QAction(caption, parent);
  a->setObjectName(name);
  return a;
}

QIcon MinimiseImage() {
  QPixmap image(16, 16);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setPen(QPen(Qt::white, 2));
  painter.drawLine(4, 11, 12, 11);
  return QIcon(image);
}

// The picture of a command on the toolbar and the group bar.
QIcon CommandIcon(const QString& id) {
  if (id == QLatin1String("Nserverstart")) return ServerStateImage(0);
  if (id == QLatin1String("Nserverstop")) return ServerStateImage(2);
  if (id == QLatin1String("Nserverstatus")) return ServerStateImage(4);
  struct Tile {
    const char* id;
    const char* glyph;
    QColor color;
  };
  static const Tile tiles[] = {
      {"Nserverset", "设", QColor(0x6a, 0x6a, 0x9a)}, {"Nmanageuser", "用", QColor(0x2f, 0x7d, 0xc0)},
      {"Nmanageorg", "组", QColor(0x1f, 0x9a, 0x8a)}, {"NmanageInfo", "公", QColor(0xd0, 0x84, 0x1c)},
      {"N9", "备", QColor(0x3a, 0x8a, 0x3a)},         {"Ndatabaserestore", "恢", QColor(0x8a, 0x5a, 0x2a)},
      {"N5", "清", QColor(0xb0, 0x3a, 0x3a)},
  };
  for (const Tile& tile : tiles)
    if (id == QLatin1String(tile.id)) return CommandImage(QString::fromUtf8(tile.glyph), tile.color);
  return {};
}

}  // namespace

void ForgetHoverUnlessUnderPointer(QWidget& button) {
  if (button.rect().contains(button.mapFromGlobal(QCursor::pos()))) return;
  button.setAttribute(Qt::WA_UnderMouse, false);
  button.update();
}

MainShell::MainShell(MainWindow& window, ServerCore& core, Prompter& prompter)
    : QObject(&window),
      window_(window),
      core_(core),
      prompter_(prompter),
      actions_(std::make_unique<ConsoleCommands>(core, prompter, &window)) {
  setObjectName(QStringLiteral("MainShell"));
  ExecDialog = [](QWidget& dialog) {
    auto* d = qobject_cast<QDialog*>(&dialog);
    return d ? d->exec() : 0;
  };
  actions_->AfterRestore = [this] { Reload(); };

  skin_ = new SkinFrame(&window_, true);
  skin_->SetTitle(QStringLiteral("Corvan服务器"));
  BuildMinimizeButton();

  settingsWindow_ = new SettingsWindow(core_, prompter_, &window_);
  aboutBox_ = new AboutBox(&window_);
  SkinDialogs();

  BuildCommands();
  BuildMenu();
  BuildToolbar();
  BuildGroupBar();
  BuildStatusMenu();
  BuildTray();
  skin_->OnClose = [this] { tray_->MinimizeApp(); };
  ArrangeWindow();

  connect(&window_, &MainWindow::ServerStateChanged, this, &MainShell::ShowServerState);
  window_.StartMinimized = [this] { StartMinimizedThread::Start(tray_); };
  window_.installEventFilter(this);
  ShowServerState(window_.ServerRunning());
}

MainShell::~MainShell() = default;

void MainShell::BuildMinimizeButton() {
  minimizeButton_ = new QToolButton(&window_);
  minimizeButton_->setObjectName(QStringLiteral("Rzsbtnmin"));
  minimizeButton_->setToolTip(QStringLiteral("最小化"));
  minimizeButton_->setIcon(MinimiseImage());
  minimizeButton_->setAutoRaise(true);
  minimizeButton_->setFixedSize(18, 18);
  minimizeButton_->setFocusPolicy(Qt::NoFocus);
  minimizeButton_->setStyleSheet(SkinFrame::BannerButtonStyle());
  skin_->PlaceBannerButton(minimizeButton_, 40);
  // The minimise button goes to the taskbar, the close button into the tray.
  connect(minimizeButton_, &QToolButton::clicked, &window_, &QWidget::showMinimized);
}

void MainShell::ArrangeWindow() {
  auto* top = new QWidget(&window_);
  top->setObjectName(QStringLiteral("pnltop"));
  auto* topLayout = new QVBoxLayout(top);
  topLayout->setContentsMargins(0, 0, 0, 0);
  topLayout->setSpacing(0);
  topLayout->addWidget(menuButtons_);
  topLayout->addWidget(toolbar_);
  window_.setMenuWidget(top);
  QWidget* pages = window_.takeCentralWidget();
  auto* centre = new QWidget(&window_);
  centre->setObjectName(QStringLiteral("pnlcentre"));
  auto* centreLayout = new QHBoxLayout(centre);
  centreLayout->setContentsMargins(0, 0, 0, 0);
  centreLayout->setSpacing(2);
  centreLayout->addWidget(groupBar_);
  if (pages) centreLayout->addWidget(pages, 1);
  window_.setCentralWidget(centre);
  window_.setMinimumSize(600, 400);
}

void MainShell::SkinDialogs() {
  // The editors of the lists wear the fixed frame as well.
  for (const char* name : {"Tfrmuser", "Tfrmneworg", "Tfrmorgrename"})
    if (auto* dialog = window_.findChild<QDialog*>(QString::fromLatin1(name))) new SkinFrame(dialog, false);
}

void MainShell::BuildCommands() {
  // One row per command: its id (the menu item's name), caption, toolbar
  // button and hint, group, and what it runs. The toolbar's cleanup refuses
  // while the server runs; the other surfaces start it at once.
  struct Row {
    const char* id;
    const char* caption;
    const char* toolbarName;
    const char* toolbarHint;
    const char* group;
    std::function<void()> run;
    std::function<void()> toolbarRun;  // when the toolbar differs
  };
  const Row rows[] = {
      {"Nserverstart", "启动", "rztbtnserverstart", "运行", "", [this] { window_.StartServer(); }, {}},
      {"Nserverstop", "停止", "rztbtnserverstop", "停止", "", [this] { window_.StopServer(); }, {}},
      {"Nserverset", "设置", "rztbtnset", "设置", "Rzgrpmanage", [this] { OpenSettings(); }, {}},
      {"Nserverstatus", "状态", "rztbtnstatus", "状态", "", [this] { window_.ShowStatusPage(); }, {}},
      {"Nmanageuser",
       "用户管理",
       "rztbtnmanageuser",
       "用户管理",
       "Rzgrpmanage",
       [this] { window_.ShowUsersPage(); },
       {}},
      {"Nmanageorg", "组织管理", "rztbtnmanageorg", "组织管理", "Rzgrpmanage", [this] { window_.ShowOrgPage(); }, {}},
      {"NmanageInfo", "发布公告", "rztbtnSendInfo", "", "Rzgrpmanage", [this] { actions_->PublishAnnouncement(); }, {}},
      {"N9",
       "备份数据",
       "rztbtndatabasebak",
       "备份数据库",
       "Rzgrpdatabase",
       [this] { actions_->BackupDatabase(); },
       {}},
      {"Ndatabaserestore",
       "恢复数据",
       "rztbtndatabaserestore",
       "恢复数据库",
       "Rzgrpdatabase",
       [this] { actions_->RestoreDatabase(); },
       {}},
      {"N5", "清理离线文件", "rztbtnDelOfflinesFile", "清理无用离线文件", "Rzgrpdatabase",
       [this] { actions_->CleanOfflineFiles(); }, [this] { actions_->CleanOfflineFilesFromToolbar(); }},
      {"NdirectorySync", "从目录同步", "", "", "", [this] { actions_->SyncDirectory(); }, {}},
      {"NHelpserver", "服务器帮助", "", "", "", [this] { actions_->OpenHelp(); }, {}},
      {"NHelpabout", "关于", "", "", "", [this] { OpenAbout(); }, {}},
  };
  for (const Row& row : rows) {
    Command c;
    c.id = QString::fromLatin1(row.id);
    c.caption = QString::fromUtf8(row.caption);
    c.toolbarName = QString::fromLatin1(row.toolbarName);
    c.toolbarCaption = c.toolbarName.isEmpty() ? QString() : c.caption;
    c.toolbarHint = QString::fromUtf8(row.toolbarHint);
    c.groupName = QString::fromLatin1(row.group);
    c.run = row.run;
    c.toolbarRun = row.toolbarRun ? row.toolbarRun : row.run;
    // The window's own items (its page and server commands) already run
    // the same; the rest are made here.
    c.menuItem = window_.findChild<QAction*>(c.id, Qt::FindDirectChildrenOnly);
    if (!c.menuItem) {
      c.menuItem = MakeAction(&window_, c.id, c.caption);
      connect(c.menuItem, &QAction::triggered, this, [run = c.run] { run(); });
    }
    commands_.push_back(c);
  }
}

const MainShell::Command* MainShell::FindCommand(const QString& id) const {
  for (const Command& c : commands_)
    if (c.id == id) return &c;
  return nullptr;
}

void MainShell::BuildMenu() {
  menuButtons_ = new QToolBar(&window_);
  menuButtons_->setObjectName(QStringLiteral("Tbrtopmenu"));
  menuButtons_->setMovable(false);
  menuButtons_->setFloatable(false);
  struct Top {
    const char* name;
    const char* caption;
    std::vector<const char*> items;  // nullptr: a separator
  };
  const Top tops[] = {
      {"Nserver", "服务器  ", {"Nserverstart", "Nserverstop", nullptr, "Nserverset", "Nserverstatus"}},
      {"Nmanage", "管理  ", {"Nmanageuser", "Nmanageorg", nullptr, "NmanageInfo"}},
      {"Ndatabase", "数据  ", {"N9", "Ndatabaserestore", nullptr, "N5", nullptr, "NdirectorySync"}},
      {"Nhelp", "帮助  ", {"NHelpserver", nullptr, "NHelpabout"}},
  };
  for (const Top& top : tops) {
    auto* menu = new QMenu(QString::fromUtf8(top.caption), &window_);
    menu->setObjectName(QString::fromLatin1(top.name));
    for (const char* item : top.items) {
      if (!item) {
        menu->addSeparator();
        continue;
      }
      if (const Command* c = FindCommand(QString::fromLatin1(item))) menu->addAction(c->menuItem);
    }
    menus_.push_back(menu);
    // The menu shown as a row of buttons.
    auto* button = new QToolButton(menuButtons_);
    button->setObjectName(QString::fromLatin1(top.name) + QStringLiteral("button"));
    button->setText(menu->title());
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    // The menu holds the pointer while it is open, so the button never hears
    // the pointer leave: without this it keeps its hover frame afterwards.
    connect(menu, &QMenu::aboutToHide, button, [button] { ForgetHoverUnlessUnderPointer(*button); });
    menuButtons_->addWidget(button);
  }
}

void MainShell::BuildToolbar() {
  toolbar_ = new QToolBar(&window_);
  toolbar_->setObjectName(QStringLiteral("Rztbrtop"));
  toolbar_->setMovable(false);
  toolbar_->setFloatable(false);
  toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolbar_->setIconSize(QSize(32, 32));
  for (Command& c : commands_) {
    if (c.toolbarName.isEmpty()) continue;
    if (c.id == QLatin1String("Nserverset") || c.id == QLatin1String("Nmanageuser") || c.id == QLatin1String("N9"))
      toolbar_->addSeparator();
    c.toolbarItem = MakeAction(toolbar_, c.toolbarName, c.toolbarCaption);
    if (!c.toolbarHint.isEmpty()) c.toolbarItem->setToolTip(c.toolbarHint);
    c.toolbarItem->setIcon(CommandIcon(c.id));
    // The toolbar's cleanup refuses while the server runs; the others do not.
    toolbar_->addAction(c.toolbarItem);
    QWidget* button = toolbar_->widgetForAction(c.toolbarItem);
    if (button) button->setObjectName(c.toolbarName);
    // A dialog or message the command opened held the pointer as well.
    connect(c.toolbarItem, &QAction::triggered, this, [run = c.toolbarRun, button = QPointer<QWidget>(button)] {
      run();
      if (button) ForgetHoverUnlessUnderPointer(*button);
    });
  }
}

void MainShell::BuildGroupBar() {
  groupBar_ = new QWidget(&window_);
  groupBar_->setObjectName(QStringLiteral("RzGbarmain"));
  groupBar_->setFixedWidth(130);
  groupBar_->setAttribute(Qt::WA_StyledBackground, true);
  groupBar_->setStyleSheet(QStringLiteral("#RzGbarmain { background: #dde8f4; }"));
  auto* layout = new QVBoxLayout(groupBar_);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(2);
  const std::pair<const char*, const char*> groups[] = {{"Rzgrpmanage", "管理"}, {"Rzgrpdatabase", "数据"}};
  for (const auto& [name, caption] : groups) {
    auto* group = new QWidget(groupBar_);
    group->setObjectName(QString::fromLatin1(name));
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->setContentsMargins(0, 0, 0, 6);
    groupLayout->setSpacing(1);
    auto* header = new QLabel(QString::fromUtf8(caption), group);
    header->setStyleSheet(QStringLiteral("font-weight: bold; color: white; background: #3a6ea5; padding: 4px;"));
    groupLayout->addWidget(header);
    int index = 0;
    for (Command& c : commands_) {
      if (c.groupName != QLatin1String(name)) continue;
      QString itemName = QString::fromLatin1(name) + QStringLiteral("Items") + QString::number(index++);
      c.groupItem = MakeAction(group, itemName, c.caption);
      c.groupItem->setIcon(CommandIcon(c.id));
      connect(c.groupItem, &QAction::triggered, this, [run = c.run] { run(); });
      auto* button = new QToolButton(group);
      button->setObjectName(itemName + QStringLiteral("button"));
      button->setDefaultAction(c.groupItem);
      button->setAutoRaise(true);
      button->setIconSize(QSize(20, 20));
      button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
      button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
      groupLayout->addWidget(button);
    }
    if (std::string_view(name) == "Rzgrpmanage") manageGroup_ = group;
    else dataGroup_ = group;
    layout->addWidget(group);
  }
  layout->addStretch(1);
}

void MainShell::BuildStatusMenu() {
  statusMenu_ = new QMenu(&window_);
  statusMenu_->setObjectName(QStringLiteral("popstatus"));
  onlineUsersAction_ = MakeAction(statusMenu_, QStringLiteral("N3"), QStringLiteral("在线用户"));
  clearLogAction_ = MakeAction(statusMenu_, QStringLiteral("N4"), QStringLiteral("清空"));
  statusMenu_->addActions({onlineUsersAction_, clearLogAction_});
  connect(onlineUsersAction_, &QAction::triggered, this, &MainShell::ListOnlineUsers);
  connect(clearLogAction_, &QAction::triggered, this, &MainShell::ClearStatusLogClick);
  window_.SetStatusLogMenu(statusMenu_);
}

void MainShell::BuildTray() {
  tray_ = new TrayController(&window_);
  connect(tray_, &TrayController::StartServerChosen, this, &MainShell::StartServerFromTray);
  connect(tray_, &TrayController::StopServerChosen, this, &MainShell::StopServerFromTray);
  connect(tray_, &TrayController::ExitChosen, this, &MainShell::Exit);
  tray_->ShowIcon();
}

void MainShell::ShowServerState(bool running) {
  startImage_ = running ? 1 : 0;
  const std::pair<const char*, int> images[] = {
      {"Nserverstart", running ? 1 : 0}, {"Nserverstop", running ? 3 : 2}, {"Nserverstatus", running ? 5 : 4}};
  for (const auto& [id, index] : images)
    if (const Command* c = FindCommand(QString::fromLatin1(id)); c && c->toolbarItem)
      c->toolbarItem->setIcon(ServerStateImage(index));
}

void MainShell::OpenSettings() { ExecDialog(*settingsWindow_); }

void MainShell::OpenAbout() { ExecDialog(*aboutBox_); }

void MainShell::StartServerFromTray() {
  tray_->RestoreApp();
  window_.StartServer();
}

void MainShell::StopServerFromTray() {
  tray_->RestoreApp();
  window_.StopServer();
}

void MainShell::Exit() {
  ExitRequested = true;
  window_.close();
}

void MainShell::ListOnlineUsers() { actions_->ListOnlineUsers(); }

void MainShell::ClearStatusLogClick() { window_.ClearStatusLog(); }

void MainShell::Reload() {
  window_.BuildOrgTree();
  window_.ShowAllUsers();
  window_.ShowOrgUsers(window_.CurrentOrgNode);
}

bool MainShell::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_ && event->type() == QEvent::Close) {
    if (!ExitRequested) {
      // The console stays: into the tray, or to the taskbar without one.
      event->ignore();
      tray_->MinimizeApp();
      return true;
    }
    core_.Lifecycle().StopServer();
    tray_->HideIcon();
    QCoreApplication::quit();
  }
  return false;
}

}  // namespace corvan
