// SIGTERM and SIGINT for the console: delivered to the window thread as a
// Qt signal instead of ending the process, so the program stops the server
// and exits 0 as the headless program does.
//
// `BlockStopSignals` must run before any thread starts (threads inherit the
// mask, and a signal blocked everywhere can only be taken from the signalfd).
// `StopSignals` then reads them from a signalfd watched by the event loop.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace corvan {

// Blocks SIGTERM and SIGINT in the calling thread (and so in every thread it
// starts afterwards).
void BlockStopSignals();

class StopSignals : public QObject {
  Q_OBJECT

 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;

  // False when the signalfd could not be made (the signals then stay
  // blocked and pending; the window's "退出" still ends the program).
  bool Watching() const { return fd_ >= 0; }
  // True once a stop signal has arrived.
  bool Received() const { return received_; }

 signals:
  void StopRequested(int signal);

 private:
  void Read();

  int fd_ = -1;
  bool received_ = false;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace corvan
