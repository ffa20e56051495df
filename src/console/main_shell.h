// The shell of the main window: the skinned frame with the minimise button,
// the menu shown as buttons (menus on menuButtons), the toolbar,
// the group bar groupBar, the status log's menu statusMenu, the tray icon
// and its menu, the settings and about windows, and the close rules.
//
// Every command of the console is one entry of `Commands()`: its menu item,
// toolbar button and group bar item run the same action, so the surfaces
// cannot drift apart.
//
// The close button and any close of the window without `ExitRequested` hide
// the window into the tray (or minimise it where there is no tray); the
// server keeps running. "退出" sets `ExitRequested`, stops the server and
// ends the program.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QToolBar;
class QToolButton;
class QWidget;

namespace corvan {

class ConsoleCommands;
class Prompter;
class ServerCore;
class SkinFrame;
class AboutBox;
class MainWindow;
class SettingsWindow;
class TrayController;

// Clears the hover look of `button` unless the pointer is over it now (for a
// button whose pointer was held by a popup when it moved away).
void ForgetHoverUnlessUnderPointer(QWidget& button);

class MainShell : public QObject {
  Q_OBJECT

 public:
  // One command and where it is offered. Empty names: not on that surface.
  struct Command {
    QString id;           // the menu item's name
    QString caption;      // menu caption
    QString toolbarName;  // rztbtn...
    QString toolbarCaption;
    QString toolbarHint;
    QString groupName;  // "Rzgrpmanage" or "Rzgrpdatabase"
    QAction* menuItem = nullptr;
    QAction* toolbarItem = nullptr;
    QAction* groupItem = nullptr;
    std::function<void()> run;         // the menu item and the group bar item
    std::function<void()> toolbarRun;  // the toolbar button
  };

  MainShell(MainWindow& window, ServerCore& core, Prompter& prompter);
  ~MainShell() override;

  const std::vector<Command>& Commands() const { return commands_; }
  const Command* FindCommand(const QString& id) const;

  // The toolbar images for the server state: 1, 3, 5 running; 0, 2, 4 stopped.
  void ShowServerState(bool running);
  int StartImage() const { return startImage_; }

  // Runs a modal dialog; tests replace it.
  std::function<int(QWidget&)> ExecDialog;

  // The settings window's "设置" and the about box's "关于".
  void OpenSettings();
  void OpenAbout();
  // The tray menu.
  void StartServerFromTray();
  void StopServerFromTray();
  void Exit();
  // The status log's menu.
  void ListOnlineUsers();
  void ClearStatusLogClick();

  bool ExitRequested = false;

  // The window's frame and the tray icon's controller.
  SkinFrame* Skin() const { return skin_; }
  TrayController* Tray() const { return tray_; }
  ConsoleCommands& Actions() { return *actions_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The minimise button on the banner, left of the close button.
  void BuildMinimizeButton();
  void BuildCommands();
  void BuildMenu();
  void BuildToolbar();
  void BuildGroupBar();
  void BuildStatusMenu();
  void BuildTray();
  void SkinDialogs();
  // Menu and toolbar above, the group bar beside the window's pages.
  void ArrangeWindow();
  void Reload();

  MainWindow& window_;
  ServerCore& core_;
  Prompter& prompter_;
  std::unique_ptr<ConsoleCommands> actions_;
  SkinFrame* skin_ = nullptr;
  TrayController* tray_ = nullptr;
  QToolButton* minimizeButton_ = nullptr;
  QToolBar* menuButtons_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QWidget* groupBar_ = nullptr;
  QWidget* manageGroup_ = nullptr;
  QWidget* dataGroup_ = nullptr;
  std::vector<QMenu*> menus_;
  QMenu* statusMenu_ = nullptr;
  QAction* onlineUsersAction_ = nullptr;
  QAction* clearLogAction_ = nullptr;
  SettingsWindow* settingsWindow_ = nullptr;
  AboutBox* aboutBox_ = nullptr;
  std::vector<Command> commands_;
  int startImage_ = 0;
};

}  // namespace corvan
