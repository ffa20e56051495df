#include "console/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace corvan {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  setObjectName(QStringLiteral("StopSignals"));
  sigset_t set = StopSet();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &StopSignals::Read);
}

StopSignals::~StopSignals() {
  notifier_.reset();  // before the descriptor it watches is closed
  if (fd_ >= 0) ::close(fd_);
}

void StopSignals::Read() {
  signalfd_siginfo info{};
  // Non-blocking: every pending signal is taken, the last one reported.
  int last = 0;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) last = static_cast<int>(info.ssi_signo);
  if (last == 0) return;
  received_ = true;
  emit StopRequested(last);
}

}  // namespace corvan
