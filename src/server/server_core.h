// The main state of the server and its lifecycle.
//
// One `ServerCore` assembles everything the server shares between threads:
// the settings (`SettingsStore`), the in-memory directory (`Directory`), who
// is online (`OnlineRegistry`), the status log (`StatusLog`), the other three
// locks, the lifecycle with its listeners (`ServerLifecycle`) and the
// executors (`Executors`). Each owner keeps its own lock; the core builds and
// wires them and hands them out, and tears them down in a sound order. The
// console and the headless program are two front ends of the same core.
//
// Thread rules:
// - Starting, stopping and the first show run on one controlling thread at a
//   time (see ServerLifecycle).
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

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "base/thread_annotations.h"
#include "server/connection.h"
#include "server/dispatch.h"
#include "server/executors.h"
#include "server/lifecycle.h"
#include "server/modules.h"
#include "server/name_turns.h"
#include "server/notice_fanout.h"
#include "server/online_registry.h"
#include "server/removal_service.h"
#include "server/settings_store.h"
#include "server/status_log.h"
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
  // The fan-out lane's sender threads.
  std::size_t noticeSenders = NoticeFanout::DefaultSenders();
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

  // Where work runs: the io loop, the pools and the lanes.
  Executors& Run() { return executors_; }
  // Start, stop, the first show and the listeners.
  ServerLifecycle& Lifecycle() { return lifecycle_; }
  const ServerLifecycle& Lifecycle() const { return lifecycle_; }
  // The open client connections and the bytes they hold.
  ConnectionManager& Connections() { return connections_; }

 private:
  static ExecutorSizes SizesOf(const CoreOptions& options);

  const CoreOptions options_;
  CoreModules modules_;
  std::filesystem::path offlineFilesDir_;

  SettingsStore settings_;
  OnlineRegistry online_;
  Directory directory_;
  Database database_;
  StatusLog log_;
  RemovalService removal_;
  // Declared before the executors: connections still open when the io loop
  // stops are released while it exists (see the destructor).
  ConnectionManager connections_;
  Executors executors_;
  // After the executors its timers and listeners run on.
  ServerLifecycle lifecycle_;
  // After the listener it sends through: the lane ends first.
  NoticeFanout fanout_;
};

}  // namespace corvan
