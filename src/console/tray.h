// The tray icon of the console and the minimise-with-hiding operation.
//
// Where the desktop offers a tray, minimising hides the window into it and a
// left click on the icon brings it back. Where it offers none (a bare X
// server, the offscreen platform), the window is only minimised to the
// taskbar, so the console can never be lost.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <QThread>
#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace corvan {

class TrayController : public QObject {
  Q_OBJECT

 public:
  explicit TrayController(QWidget* window);

  // True when the desktop has a tray (tests replace it).
  std::function<bool()> TrayAvailable;

  // Minimises the window, hiding it into the tray where there is one.
  void MinimizeApp();
  // Shows the window again, normal and in front.
  void RestoreApp();
  // A left click on the icon: restore when minimised, else minimise.
  void IconPressed();
  // Whether the window is minimised (or hidden in the tray).
  bool Minimized() const { return minimized_; }
  // Shows the icon where the desktop has a tray.
  void ShowIcon();
  // Takes the icon off the tray (at exit).
  void HideIcon();

 signals:
  // The tray menu's "启动", "停止" and "退出".
  void StartServerChosen();
  void StopServerChosen();
  void ExitChosen();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* window_;
  bool minimized_ = false;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* startServerAction_ = nullptr;
  QAction* stopServerAction_ = nullptr;
  QAction* exitAction_ = nullptr;
};

// Minimises the console right after its first show when the settings ask
// for it: a short thread that asks the window thread to minimise and ends.
class StartMinimizedThread : public QThread {
  Q_OBJECT

 public:
  // Starts the thread; it frees itself when done.
  static void Start(TrayController* tray);

 protected:
  void run() override;

 private:
  explicit StartMinimizedThread(TrayController* tray) : tray_(tray) {}
  TrayController* tray_;
};

}  // namespace corvan
