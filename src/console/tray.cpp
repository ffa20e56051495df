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

  poptray = new QMenu(window_);
  poptray->setObjectName(QStringLiteral("poptray"));
  Ntrayserverstart = MakeAction(poptray, "Ntrayserverstart", QStringLiteral("启动"));
  Ntrayserverstop = MakeAction(poptray, "Ntrayserverstop", QStringLiteral("停止"));
  Nexit = MakeAction(poptray, "Nexit", QStringLiteral("退出"));
  poptray->addActions({Ntrayserverstart, Ntrayserverstop});
  poptray->addSeparator();
  poptray->addAction(Nexit);

  Rztrayserver = new QSystemTrayIcon(TrayImage(), this);
  Rztrayserver->setObjectName(QStringLiteral("Rztrayserver"));
  Rztrayserver->setToolTip(QStringLiteral("Corvan服务器"));
  Rztrayserver->setContextMenu(poptray);
  connect(Rztrayserver, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) IconPressed();
  });
  window_->installEventFilter(this);
}

void TrayController::ShowIcon() {
  if (TrayAvailable()) Rztrayserver->show();
}

void TrayController::MinimizeApp() {
  minimized_ = true;
  if (TrayAvailable()) {
    Rztrayserver->show();
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

void Tformstartminthread::Start(TrayController* tray) {
  auto* thread = new Tformstartminthread(tray);
  connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
}

void Tformstartminthread::run() {
  // The window belongs to the window thread: ask it to minimise.
  QPointer<TrayController> tray(tray_);
  QMetaObject::invokeMethod(
      tray_, [tray] {
        if (tray) tray->MinimizeApp();
      },
      Qt::QueuedConnection);
}

}  // namespace corvan
