// The server's lifecycle: opening the database, the first show, reading the
// configuration and the directory, starting and stopping the listeners, the
// status and trim timers, and the front end's observer.
//
// Thread rules: `StartServer`, `StopServer` and `FirstShow` run on one
// controlling thread at a time (the window thread, or the headless main
// thread); `lifecycleMutex_` serialises them anyway. The UDP listener is
// replaced only under `lifecycleMutex_` and read by senders under
// `udpSendMutex_` alone.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"
#include "base/thread_annotations.h"
#include "server/udp.h"

namespace corvan {

class ServerCore;

// Notified of state changes that a front end shows. Called on the thread
// that made the change.
class CoreObserver {
 public:
  virtual ~CoreObserver() = default;
  virtual void ServerStateChanged(bool running) {}
  virtual void ShowStatusPage() {}
};

class ServerLifecycle {
 public:
  // Uses the owners of `core`; made by the core, after its executors.
  explicit ServerLifecycle(ServerCore& core);
  ~ServerLifecycle();
  ServerLifecycle(const ServerLifecycle&) = delete;
  ServerLifecycle& operator=(const ServerLifecycle&) = delete;

  // Opens the database (creating what is missing). On failure logs
  // "数据库连接失败" and returns the engine's message; the server keeps
  // running without it.
  Status OpenDatabase();
  // The first-show sequence: reads Configure.xml once, loads the directory,
  // then (unless `startServer` is false) starts the server. Returns false when
  // loading failed; the server is then not started.
  bool FirstShow(bool startServer = true);
  // Reads Configure.xml (once per process). A file that cannot be read is
  // reported in the status log with the values used instead.
  void LoadConfiguration();
  // Loads `Orgs`, `CompanyName` and `Users` from the database.
  bool LoadDirectory();
  void StartServer();
  void StopServer();
  // True from a start until the next stop (the TCP listener is recorded).
  bool TcpServerExists() const;
  // Why the last start failed, with the system's message ("TCP: Address
  // already in use"); empty after a start that succeeded.
  std::string StartFailure() const;
  // The port the TCP listener actually listens on (0 when not listening).
  std::uint16_t ListeningPort() const;

  void SetObserver(CoreObserver* observer);

  // Sends one datagram from the UDP listener's own socket (source port =
  // the server port). False when the listener is closed or the send fails.
  bool SendFromListener(const std::string& ip, std::uint16_t port, std::string_view bytes);
  // The UDP listener's socket, for the fan-out lane; null when closed.
  std::shared_ptr<const UniqueFd> ListenerSocket();

  // Cancels the timers, at the core's teardown (after its last stop).
  void CancelTimers();

 private:
  class TcpServer;

  void ScheduleStatusTimer();
  void ScheduleTrimTimer();
  void NotifyState(bool running);
  void NotifyStatusPage();

  ServerCore& core_;

  mutable RecursiveMutex lifecycleMutex_{LockRank::kLifecycle, "server lifecycle"};
  std::unique_ptr<TcpServer> tcpServer_ CORVAN_GUARDED_BY(lifecycleMutex_);
  std::string startFailure_ CORVAN_GUARDED_BY(lifecycleMutex_);
  Mutex udpSendMutex_{LockRank::kUdpSend, "UDP listener"};
  std::unique_ptr<UdpListener> udpServer_ CORVAN_GUARDED_BY(udpSendMutex_);
  // io runs on several threads: the two timers and statusTimerOn_ are
  // touched only on this strand (their handlers run on it too).
  asio::strand<asio::io_context::executor_type> timerStrand_;
  asio::steady_timer statusTimer_;
  bool statusTimerOn_ = false;  // touched on timerStrand_ only
  asio::steady_timer trimTimer_;
  std::atomic<CoreObserver*> observer_{nullptr};
};

}  // namespace corvan
