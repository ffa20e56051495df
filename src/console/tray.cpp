#include "console/tray.h"

#include <QAction>
#include <QEvent>
#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <QWindowStateChangeEvent>

#include "console/console_images.h"

namespace corvan {

namespace {

QAction* MakeAction(QObject* parent, const char* name, const QString& caption) {
  auto* a = new QAction(caption, parent);
  a->setObjectName(QString::fromLatin1(name));
  return a;
}

}  // namespace

TrayController::TrayController(QWidget* window) : QObject(window), window_(window) {
  setObjectName(QStringLiteral("TrayController"));
  TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

  menu = new QMenu(window_);
  menu->setObjectName(QStringLiteral("poptray"));
  startServerAction = MakeAction(menu, "Ntrayserverstart", QStringLiteral("启动"));
  stopServerAction = MakeAction(menu, "Ntrayserverstop", QStringLiteral("停止"));
  exitAction = MakeAction(menu, "Nexit", QStringLiteral("退出"));
  menu->addActions({startServerAction, stopServerAction});
  menu->addSeparator();
  menu->addAction(exitAction);

  icon = new QSystemTrayIcon(TrayImage(), this);
  icon->setObjectName(QStringLiteral("Rztrayserver"));
  icon->setToolTip(QStringLiteral("Corvan服务器"));
  icon->setContextMenu(menu);
  connect(icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) IconPressed();
  });
  window_->installEventFilter(this);
}

void TrayController::ShowIcon() {
  if (TrayAvailable()) icon->show();
}

void TrayController::MinimizeApp() {
  minimized_ = true;
  if (TrayAvailable()) {
    icon->show();
    window_->hide();
  } else {
    window_->showMinimized();
  }
}

void TrayController::RestoreApp() {
  minimized_ = false;
  window_->showNormal();
  window_->raise();
  window_->activateWindow();
}

void TrayController::IconPressed() {
  if (minimized_)
    RestoreApp();
  else
    MinimizeApp();
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
  // The window's own minimise button and the taskbar also change the state.
  if (watched == window_ && event->type() == QEvent::WindowStateChange)
    minimized_ = window_->isMinimized() || (minimized_ && !window_->isVisible());
  return false;
}

void StartMinimizedThread::Start(TrayController* tray) {
  auto* thread = new StartMinimizedThread(tray);
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

void StartMinimizedThread::run() {
  // The window belongs to the window thread: ask it to minimise.
  QPointer<TrayController> tray(tray_);
  QMetaObject::invokeMethod(
      tray_, [tray] {
        if (tray) tray->MinimizeApp();
      },
      Qt::QueuedConnection);
}

}  // namespace corvan
