#include "console/main_shell.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "console/console_commands.h"
#include "console/console_images.h"
#include "console/about_box.h"
#include "console/skin_frame.h"
#include "console/main_window.h"
#include "console/department_dialogs.h"
#include "console/settings_window.h"
#include "console/user_editor.h"
#include "console/tray.h"
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
      {"Nserverset", "设", QColor(0x6a, 0x6a, 0x9a)},       {"Nmanageuser", "用", QColor(0x2f, 0x7d, 0xc0)},
      {"Nmanageorg", "组", QColor(0x1f, 0x9a, 0x8a)},       {"NmanageInfo", "公", QColor(0xd0, 0x84, 0x1c)},
      {"N9", "备", QColor(0x3a, 0x8a, 0x3a)},               {"Ndatabaserestore", "恢", QColor(0x8a, 0x5a, 0x2a)},
      {"N5", "清", QColor(0xb0, 0x3a, 0x3a)},
  };
  for (const Tile& tile : tiles)
    if (id == QLatin1String(tile.id)) return CommandImage(QString::fromUtf8(tile.glyph), tile.color);
  return {};
}

}  // namespace

MainShell::MainShell(MainWindow& window, ServerCore& core, Prompter& prompter)
    : QObject(&window), window_(window), core_(core), prompter_(prompter),
      actions_(std::make_unique<ConsoleCommands>(core, prompter, &window)) {
  setObjectName(QStringLiteral("MainShell"));
  ExecDialog = [](QWidget& dialog) {
    auto* d = qobject_cast<QDialog*>(&dialog);
    return d ? d->exec() : 0;
  };
  actions_->AfterRestore = [this] { Reload(); };

  Skin = new SkinFrame(&window_, true);
  Skin->SetTitle(QStringLiteral("Corvan服务器"));
  minimizeButton = new QToolButton(&window_);
  minimizeButton->setObjectName(QStringLiteral("Rzsbtnmin"));
  minimizeButton->setToolTip(QStringLiteral("最小化"));
  minimizeButton->setIcon(MinimiseImage());
  minimizeButton->setAutoRaise(true);
  minimizeButton->setFixedSize(18, 18);
  minimizeButton->setFocusPolicy(Qt::NoFocus);
  Skin->PlaceBannerButton(minimizeButton, 40);
  // The minimise button goes to the taskbar, the close button into the tray.
  connect(minimizeButton, &QToolButton::clicked, &window_, &QWidget::showMinimized);

  settingsWindow = new SettingsWindow(core_, prompter_, &window_);
  aboutBox = new AboutBox(&window_);
  SkinDialogs();

  BuildCommands();
  BuildMenu();
  BuildToolbar();
  BuildGroupBar();
  BuildStatusMenu();
  BuildTray();
  Skin->OnClose = [this] { Tray->MinimizeApp(); };

  // Menu and toolbar above, the group bar beside the pages.
  auto* top = new QWidget(&window_);
  top->setObjectName(QStringLiteral("pnltop"));
  auto* topLayout = new QVBoxLayout(top);
  topLayout->setContentsMargins(0, 0, 0, 0);
  topLayout->setSpacing(0);
  topLayout->addWidget(menuButtons);
  topLayout->addWidget(toolbar);
  window_.setMenuWidget(top);
  QWidget* pages = window_.takeCentralWidget();
  auto* centre = new QWidget(&window_);
  centre->setObjectName(QStringLiteral("pnlcentre"));
  auto* centreLayout = new QHBoxLayout(centre);
  centreLayout->setContentsMargins(0, 0, 0, 0);
  centreLayout->setSpacing(2);
  centreLayout->addWidget(groupBar);
  if (pages) centreLayout->addWidget(pages, 1);
  window_.setCentralWidget(centre);
  window_.setMinimumSize(600, 400);

  connect(&window_, &MainWindow::ServerStateChanged, this, &MainShell::ShowServerState);
  window_.StartMinimized = [this] { StartMinimizedThread::Start(Tray); };
  window_.installEventFilter(this);
  ShowServerState(window_.ServerRunning());
}

MainShell::~MainShell() = default;

void MainShell::SkinDialogs() {
  // The editors of the lists wear the fixed frame as well.
  for (QDialog* dialog : std::initializer_list<QDialog*>{window_.userEditor, window_.newOrgDialog, window_.editOrgDialog})
    if (dialog) new SkinFrame(dialog, false);
}

std::function<void()> MainShell::HandlerOf(const QString& id) {
  if (id == QLatin1String("Nserverset")) return [this] { OpenSettings(); };
  if (id == QLatin1String("NmanageInfo")) return [this] { actions_->PublishAnnouncement(); };
  if (id == QLatin1String("N9")) return [this] { actions_->BackupDatabase(); };
  if (id == QLatin1String("Ndatabaserestore")) return [this] { actions_->RestoreDatabase(); };
  if (id == QLatin1String("N5")) return [this] { actions_->CleanOfflineFiles(); };
  if (id == QLatin1String("NHelpserver")) return [this] { actions_->OpenHelp(); };
  if (id == QLatin1String("NHelpabout")) return [this] { OpenAbout(); };
  if (id == QLatin1String("Nserverstart")) return [this] { window_.StartServer(); };
  if (id == QLatin1String("Nserverstop")) return [this] { window_.StopServer(); };
  if (id == QLatin1String("Nserverstatus")) return [this] { window_.ShowStatusPage(); };
  if (id == QLatin1String("Nmanageuser")) return [this] { window_.ShowUsersPage(); };
  if (id == QLatin1String("Nmanageorg")) return [this] { window_.ShowOrgPage(); };
  return {};
}

void MainShell::BuildCommands() {
  auto add = [this](const char* id, const char* caption, const char* toolbarName, const char* toolbarHint,
                    const char* group) {
    Command c;
    c.id = QString::fromLatin1(id);
    c.caption = QString::fromUtf8(caption);
    c.toolbarName = QString::fromLatin1(toolbarName);
    c.toolbarCaption = c.toolbarName.isEmpty() ? QString() : c.caption;
    c.toolbarHint = QString::fromUtf8(toolbarHint);
    c.groupName = QString::fromLatin1(group);
    commands_.push_back(c);
  };
  add("Nserverstart", "启动", "rztbtnserverstart", "运行", "");
  add("Nserverstop", "停止", "rztbtnserverstop", "停止", "");
  add("Nserverset", "设置", "rztbtnset", "设置", "Rzgrpmanage");
  add("Nserverstatus", "状态", "rztbtnstatus", "状态", "");
  add("Nmanageuser", "用户管理", "rztbtnmanageuser", "用户管理", "Rzgrpmanage");
  add("Nmanageorg", "组织管理", "rztbtnmanageorg", "组织管理", "Rzgrpmanage");
  add("NmanageInfo", "发布公告", "rztbtnSendInfo", "", "Rzgrpmanage");
  add("N9", "备份数据", "rztbtndatabasebak", "备份数据库", "Rzgrpdatabase");
  add("Ndatabaserestore", "恢复数据", "rztbtndatabaserestore", "恢复数据库", "Rzgrpdatabase");
  add("N5", "清理离线文件", "rztbtnDelOfflinesFile", "清理无用离线文件", "Rzgrpdatabase");
  add("NHelpserver", "服务器帮助", "", "", "");
  add("NHelpabout", "关于", "", "", "");

  // The window's own items (part of its page and server commands) are kept;
  // the rest are made here.
  QAction* existing[] = {window_.startServerAction, window_.stopServerAction, window_.statusPageAction, window_.usersPageAction,
                         window_.orgPageAction};
  for (Command& c : commands_) {
    for (QAction* a : existing)
      if (a && a->objectName() == c.id) c.menuItem = a;
    if (!c.menuItem) {
      c.menuItem = MakeAction(&window_, c.id, c.caption);
      connect(c.menuItem, &QAction::triggered, this, [handler = HandlerOf(c.id)] { handler(); });
    }
  }
}

const MainShell::Command* MainShell::FindCommand(const QString& id) const {
  for (const Command& c : commands_)
    if (c.id == id) return &c;
  return nullptr;
}

void MainShell::BuildMenu() {
  menuButtons = new QToolBar(&window_);
  menuButtons->setObjectName(QStringLiteral("Tbrtopmenu"));
  menuButtons->setMovable(false);
  menuButtons->setFloatable(false);
  struct Top {
    const char* name;
    const char* caption;
    std::vector<const char*> items;  // nullptr: a separator
  };
  const Top tops[] = {
      {"Nserver", "服务器  ", {"Nserverstart", "Nserverstop", nullptr, "Nserverset", "Nserverstatus"}},
      {"Nmanage", "管理  ", {"Nmanageuser", "Nmanageorg", nullptr, "NmanageInfo"}},
      {"Ndatabase", "数据  ", {"N9", "Ndatabaserestore", nullptr, "N5"}},
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
    menus.push_back(menu);
    // The menu shown as a row of buttons.
    auto* button = new QToolButton(menuButtons);
    button->setObjectName(QString::fromLatin1(top.name) + QStringLiteral("button"));
    button->setText(menu->title());
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    menuButtons->addWidget(button);
  }
}

void MainShell::BuildToolbar() {
  toolbar = new QToolBar(&window_);
  toolbar->setObjectName(QStringLiteral("Rztbrtop"));
  toolbar->setMovable(false);
  toolbar->setFloatable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolbar->setIconSize(QSize(32, 32));
  for (Command& c : commands_) {
    if (c.toolbarName.isEmpty()) continue;
    if (c.id == QLatin1String("Nserverset") || c.id == QLatin1String("Nmanageuser") || c.id == QLatin1String("N9"))
      toolbar->addSeparator();
    c.toolbarItem = MakeAction(toolbar, c.toolbarName, c.toolbarCaption);
    if (!c.toolbarHint.isEmpty()) c.toolbarItem->setToolTip(c.toolbarHint);
    c.toolbarItem->setIcon(CommandIcon(c.id));
    // The toolbar's cleanup refuses while the server runs; the others do not.
    std::function<void()> handler = c.id == QLatin1String("N5")
                                         ? std::function<void()>([this] { actions_->CleanOfflineFilesFromToolbar(); })
                                         : HandlerOf(c.id);
    connect(c.toolbarItem, &QAction::triggered, this, [handler] { handler(); });
    toolbar->addAction(c.toolbarItem);
    if (QWidget* button = toolbar->widgetForAction(c.toolbarItem)) button->setObjectName(c.toolbarName);
  }
}

void MainShell::BuildGroupBar() {
  groupBar = new QWidget(&window_);
  groupBar->setObjectName(QStringLiteral("RzGbarmain"));
  groupBar->setFixedWidth(130);
  groupBar->setAttribute(Qt::WA_StyledBackground, true);
  groupBar->setStyleSheet(QStringLiteral("#RzGbarmain { background: #dde8f4; }"));
  auto* layout = new QVBoxLayout(groupBar);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(2);
  const std::pair<const char*, const char*> groups[] = {{"Rzgrpmanage", "管理"}, {"Rzgrpdatabase", "数据"}};
  for (const auto& [name, caption] : groups) {
    auto* group = new QWidget(groupBar);
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
      connect(c.groupItem, &QAction::triggered, this, [handler = HandlerOf(c.id)] { handler(); });
      auto* button = new QToolButton(group);
      button->setObjectName(itemName + QStringLiteral("button"));
      button->setDefaultAction(c.groupItem);
      button->setAutoRaise(true);
      button->setIconSize(QSize(20, 20));
      button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
      button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
      groupLayout->addWidget(button);
    }
    if (std::string_view(name) == "Rzgrpmanage")
      manageGroup = group;
    else
      dataGroup = group;
    layout->addWidget(group);
  }
  layout->addStretch(1);
}

void MainShell::BuildStatusMenu() {
  statusMenu = new QMenu(&window_);
  statusMenu->setObjectName(QStringLiteral("popstatus"));
  onlineUsersAction = MakeAction(statusMenu, QStringLiteral("N3"), QStringLiteral("在线用户"));
  clearLogAction = MakeAction(statusMenu, QStringLiteral("N4"), QStringLiteral("清空"));
  statusMenu->addActions({onlineUsersAction, clearLogAction});
  connect(onlineUsersAction, &QAction::triggered, this, &MainShell::ListOnlineUsers);
  connect(clearLogAction, &QAction::triggered, this, &MainShell::ClearStatusLogClick);
  window_.statusLog->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(window_.statusLog, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { statusMenu->popup(window_.statusLog->mapToGlobal(pos)); });
}

void MainShell::BuildTray() {
  Tray = new TrayController(&window_);
  connect(Tray->startServerAction, &QAction::triggered, this, &MainShell::StartServerFromTray);
  connect(Tray->stopServerAction, &QAction::triggered, this, &MainShell::StopServerFromTray);
  connect(Tray->exitAction, &QAction::triggered, this, &MainShell::Exit);
  Tray->ShowIcon();
}

void MainShell::ShowServerState(bool running) {
  startImage_ = running ? 1 : 0;
  const std::pair<const char*, int> images[] = {
      {"Nserverstart", running ? 1 : 0}, {"Nserverstop", running ? 3 : 2}, {"Nserverstatus", running ? 5 : 4}};
  for (const auto& [id, index] : images)
    if (const Command* c = FindCommand(QString::fromLatin1(id)); c && c->toolbarItem)
      c->toolbarItem->setIcon(ServerStateImage(index));
}

void MainShell::OpenSettings() { ExecDialog(*settingsWindow); }

void MainShell::OpenAbout() { ExecDialog(*aboutBox); }

void MainShell::StartServerFromTray() {
  Tray->RestoreApp();
  window_.StartServer();
}

void MainShell::StopServerFromTray() {
  Tray->RestoreApp();
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
  window_.ShowOrgUsers(window_.CurrentOrgNode ? window_.FindOrgNode(*window_.CurrentOrgNode) : nullptr);
}

bool MainShell::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_ && event->type() == QEvent::Close) {
    if (!ExitRequested) {
      // The console stays: into the tray, or to the taskbar without one.
      event->ignore();
      Tray->MinimizeApp();
      return true;
    }
    core_.StopServer();
    Tray->icon->hide();
    QCoreApplication::quit();
  }
  return false;
}

}  // namespace corvan
