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

  menu_ = new QMenu(window_);
  menu_->setObjectName(QStringLiteral("poptray"));
  startServerAction_ = MakeAction(menu_, "Ntrayserverstart", QStringLiteral("启动"));
  stopServerAction_ = MakeAction(menu_, "Ntrayserverstop", QStringLiteral("停止"));
  exitAction_ = MakeAction(menu_, "Nexit", QStringLiteral("退出"));
  menu_->addActions({startServerAction_, stopServerAction_});
  menu_->addSeparator();
  menu_->addAction(exitAction_);
  connect(startServerAction_, &QAction::triggered, this, &TrayController::StartServerChosen);
  connect(stopServerAction_, &QAction::triggered, this, &TrayController::StopServerChosen);
  connect(exitAction_, &QAction::triggered, this, &TrayController::ExitChosen);

  icon_ = new QSystemTrayIcon(TrayImage(), this);
  icon_->setObjectName(QStringLiteral("Rztrayserver"));
  icon_->setToolTip(QStringLiteral("Corvan服务器"));
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) IconPressed();
  });
  window_->installEventFilter(this);
}

void TrayController::ShowIcon() {
  if (TrayAvailable()) icon_->show();
}

void TrayController::HideIcon() { icon_->hide(); }

void TrayController::MinimizeApp() {
  minimized_ = true;
  if (TrayAvailable()) {
    icon_->show();
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
  if (minimized_) RestoreApp();
  else MinimizeApp();
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
      tray_,
      [tray] {
        if (tray) tray->MinimizeApp();
      },
      Qt::QueuedConnection);
}

}  // namespace corvan
