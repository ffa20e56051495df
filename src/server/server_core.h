// The main state of the server and its lifecycle.
//
// One `ServerCore` assembles everything the server shares between threads:
// the settings (`SettingsStore`), the in-memory directory (`Directory`), who
// is online (`OnlineRegistry`), the status log (`StatusLog`), the other three
// locks, the listeners and the executors. Each owner keeps its own lock; the
// core builds and wires them and hands them out. The console and the
// headless program are two front ends of the same core.
//
// Thread rules:
// - `StartServer`, `StopServer`, `FirstShow` and the console's commands run
//   on one controlling thread at a time (the window thread, or the headless
//   main thread); `lifecycleMutex_` serialises them anyway.
// - `OnlineUsers` is read and changed only while holding `OnlineLock` (both
//   in `OnlineRegistry`).
// - Notices leave from the fan-out lane (`Fanout`), queued where their
//   events happen; the lane takes none of the four locks.
// - `AccountLock`, `OfflineInfoLock` and `OfflineFilesLock` order groups of
//   writes as their names say. No code path holds two of the four locks.
// - The directory is an atomically published snapshot (see Directory).
// - Settings are held by `SettingsStore`, under a leaf lock held only to
//   copy values in or out.
// - The order in which these locks may be nested is written down with their
//   ranks in base/thread_annotations.h.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/thread_annotations.h"
#include "server/connection.h"
#include "server/dispatch.h"
#include "server/modules.h"
#include "server/name_turns.h"
#include "server/notice_fanout.h"
#include "server/online_registry.h"
#include "server/removal_service.h"
#include "server/settings_store.h"
#include "server/status_log.h"
#include "server/udp.h"
#include "storage/config.h"
#include "storage/database.h"
#include "storage/directory.h"

namespace corvan {

struct CoreOptions {
  // The data folder: Configure.xml, the database, OfflineFiles.
  std::filesystem::path home;
  // The running program, for the auto-start entry.
  std::filesystem::path executable;
  // Whether the first run (no Configure.xml) writes the desktop autostart
  // entry. The console does; a headless server (a system service) never
  // does: a desktop login would start a second server.
  bool autoStartOnFirstRun = false;
  // Ports on the client machines. Constants of the product; tests change
  // them to run side by side.
  std::uint16_t ClientPort = 1875;       // notices
  std::uint16_t OfflineInfoPort = 1872;  // stored messages
  std::uint16_t OfflineFilePort = 1871;  // stored files
  // The status scan interval and how long a user may stay silent.
  std::chrono::milliseconds statusInterval{60000};
  std::chrono::milliseconds silenceLimit{60000};
  // How long a "GetStatus" poll waits for its answer.
  std::chrono::milliseconds probeTimeout{2000};
  // The pause before stored items are delivered after a login.
  std::chrono::milliseconds offlineDeliveryDelay{5000};
  // The working-set trim interval.
  std::chrono::milliseconds trimInterval{60000};
  // What one client may make the server hold.
  ClientLimits limits;
  // The most the fan-out lane's queue holds (datagrams and their
  // recipients); a notice that does not fit waits for room.
  std::size_t noticeQueueBytes = 32 * 1024 * 1024;
  int ioThreads = 2;
  int requestThreads = 4;
  int jobThreads = 16;
  // Calls that wait on another server (a directory's binds): threads of
  // their own, and how many more may wait for one.
  int outboundThreads = 4;
  int outboundQueue = 64;
  // The hand-over points to presence and offline delivery, and the request
  // types served. Both empty: a core that serves no feature.
  CoreModules modules;
  RequestTable requests;
};

// Notified of state changes that a front end shows. Called on the thread
// that made the change.
class CoreObserver {
 public:
  virtual ~CoreObserver() = default;
  virtual void ServerStateChanged(bool running) {}
  virtual void ShowStatusPage() {}
};

class ServerCore {
 public:
  explicit ServerCore(CoreOptions options);
  ~ServerCore();  // NOLINT(bugprone-exception-escape): see the definition
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  const CoreOptions& Options() const { return options_; }
  const std::filesystem::path& Home() const { return options_.home; }
  std::filesystem::path DatabasePath() const;
  std::filesystem::path ConfigPath() const;

  // --- Lifecycle ------------------------------------------------------------

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

  // --- The owners -----------------------------------------------------------

  SettingsStore& Settings() { return settings_; }
  const SettingsStore& Settings() const { return settings_; }
  OnlineRegistry& Online() { return online_; }
  Directory& Dir() { return directory_; }
  Database& Db() { return database_; }
  StatusLog& Log() { return log_; }
  RemovalService& Removal() { return removal_; }
  CoreModules& Modules() { return modules_; }
  const RequestTable& Requests() const { return options_.requests; }
  // The folder of stored offline files.
  const std::filesystem::path& OfflineFilesDir() const { return offlineFilesDir_; }

  // The four locks, in their order (see LockRank): AccountLock, OnlineLock
  // (in Online()), OfflineInfoLock, OfflineFilesLock. No code path holds two
  // of them.
  Mutex AccountLock{LockRank::kAccount, "AccountLock"};                 // registrations, profile and password changes
  Mutex OfflineInfoLock{LockRank::kOfflineInfo, "OfflineInfoLock"};     // table OfflineInfo
  Mutex OfflineFilesLock{LockRank::kOfflineFiles, "OfflineFilesLock"};  // table OfflineFiles and OfflineFilesDir

  // The lane every notice leaves from.
  NoticeFanout& Fanout() { return fanout_; }

  // --- Executors ------------------------------------------------------------

  asio::io_context& Io() { return io_; }
  // A short job on the job pool (notices, deliveries, purges).
  void PostJob(std::function<void()> job);
  // Runs `job` on the job pool after `delay`, without holding a thread
  // meanwhile.
  void PostJobAfter(std::chrono::milliseconds delay, std::function<void()> job);
  // A call that waits on another server, such as a bind to the
  // organisation's directory. It runs on a small pool of its own, so that
  // when that server hangs nothing else waits. False, and `job` is dropped,
  // when `outboundThreads` calls run and `outboundQueue` more wait.
  bool PostOutboundCall(std::function<void()> job);
  // Outbound calls queued or running now.
  int OutboundCalls() const { return outboundPending_.load(); }
  // Request parsing and unlocked handlers.
  void PostRequest(std::function<void()> job);
  // The serial lanes of requests that run under OnlineLock / AccountLock.
  void PostOnlineLane(std::function<void()> job);
  void PostAccountLane(std::function<void()> job);
  // Serial lanes on the job pool for work that takes OfflineInfoLock /
  // OfflineFilesLock: jobs queued on one lock wait in the lane, not on pool
  // threads, so they never starve the other jobs.
  void PostOfflineInfoLane(std::function<void()> job);
  void PostOfflineFilesLane(std::function<void()> job);

  // Sends one datagram from the UDP listener's own socket (source port =
  // the server port). False when the listener is closed or the send fails.
  bool SendFromListener(const std::string& ip, std::uint16_t port, std::string_view bytes);
  // The UDP listener's socket, for the fan-out lane; null when closed.
  std::shared_ptr<const UniqueFd> ListenerSocket();

  // Number of open client connections.
  std::size_t ConnectionCount() const { return connections_.Count(); }
  // The bytes client connections hold now (partial frames, requests in
  // flight, unsent replies) and the high-water marks.
  ClientMemory& ClientBuffers() { return connections_.Memory(); }

 private:
  class TcpServer;

  void ScheduleStatusTimer();
  void ScheduleTrimTimer();
  void NotifyState(bool running);
  void NotifyStatusPage();

  const CoreOptions options_;
  CoreModules modules_;
  std::filesystem::path offlineFilesDir_;

  SettingsStore settings_;
  OnlineRegistry online_;
  Directory directory_;
  Database database_;
  StatusLog log_;
  RemovalService removal_;
  ConnectionManager connections_;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> ioThreads_;
  asio::thread_pool requests_;
  asio::thread_pool lanes_;
  asio::strand<asio::thread_pool::executor_type> onlineLane_;
  asio::strand<asio::thread_pool::executor_type> accountLane_;
  asio::thread_pool jobs_;
  asio::strand<asio::thread_pool::executor_type> offlineInfoLane_;
  asio::strand<asio::thread_pool::executor_type> offlineFilesLane_;
  asio::thread_pool outbound_;
  std::atomic<int> outboundPending_{0};  // queued or running on outbound_

  // StartServer / StopServer / FirstShow.
  mutable RecursiveMutex lifecycleMutex_{LockRank::kLifecycle, "server lifecycle"};
  std::unique_ptr<TcpServer> tcpServer_ CORVAN_GUARDED_BY(lifecycleMutex_);
  std::string startFailure_ CORVAN_GUARDED_BY(lifecycleMutex_);
  // The UDP listener: replaced only under lifecycleMutex_ too, read by the
  // senders under this one alone.
  Mutex udpSendMutex_{LockRank::kUdpSend, "UDP listener"};
  std::unique_ptr<UdpListener> udpServer_ CORVAN_GUARDED_BY(udpSendMutex_);
  // After the listener it sends through: the lane ends first.
  NoticeFanout fanout_;
  // io_ runs on several threads: the two timers and statusTimerOn_ are
  // touched only on this strand (their handlers run on it too).
  asio::strand<asio::io_context::executor_type> timerStrand_;
  asio::steady_timer statusTimer_;
  bool statusTimerOn_ = false;  // touched on timerStrand_ only
  asio::steady_timer trimTimer_;
  std::atomic<CoreObserver*> observer_{nullptr};
};

}  // namespace corvan
