// Offline delivery: storing messages and uploads, and purging old data.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "base/thread_annotations.h"

namespace corvan {

class Database;
class Executors;
class RemovalService;
class StatusLog;
class UploadSession;

// What offline delivery uses of the server: the lanes and the pool its jobs
// run on, the database with the two locks that order its writes, the removal
// service, the folder of stored files, the clients' two ports and the pause
// before a delivery. Jobs hold a copy; the server keeps the owners alive
// until its pools have ended.
struct OfflineOwners {
  Executors& run;
  Database& db;
  RemovalService& removal;
  Mutex& offlineInfoLock;   // table OfflineInfo
  Mutex& offlineFilesLock;  // table OfflineFiles and the folder of stored files
  const std::filesystem::path& offlineFilesDir;
  std::uint16_t offlineInfoPort;
  std::uint16_t offlineFilePort;
  std::chrono::milliseconds deliveryDelay;
};

// Stores an offline-message frame (`TReceOfflineInfoThread`).
void StoreOfflineMessage(const OfflineOwners& owners, std::string body);
// Starts an upload from its header text; null when nothing more is read.
std::unique_ptr<UploadSession> BeginUpload(const OfflineOwners& owners, const std::string& header,
                                           std::size_t bodySize);
// Started by a successful login: after the delivery delay, deliver the
// stored messages (`TSearchOfflineInfoThread`) and then the files
// (`TSearchOfflineFilesThread`) of `name` to the address of that login.
// One timer serves both searches and no thread waits meanwhile, so anything
// stored during the delay is still found. Returns at once.
void StartSearchOffline(const OfflineOwners& owners, const std::string& name, std::string ip);
// The two searches without the delay: each is queued on its lane at once.
void SearchOfflineInfoNow(const OfflineOwners& owners, const std::string& name, std::string ip);
void SearchOfflineFilesNow(const OfflineOwners& owners, const std::string& name, std::string ip);
// Starts the cleanup of upload folders that no row refers to
// (`TDeleteUnUseOfflineFilesThread`) on the job pool; returns at once.
void StartCleanOfflineFiles(Executors& run, std::filesystem::path root, Database& db, RemovalService& removal,
                            StatusLog& log);

struct CleanOfflineFilesResult {
  bool completed = false;  // the walk and every count ran (the closing line was written)
  int removed = 0;         // upload folders removed
  int kept = 0;            // upload folders a row refers to
  int spared = 0;          // uploads being received or items being delivered
};
// The same cleanup on the calling thread, for tools that want its outcome.
// Takes no lock of the server; waits for each removal. `root` is the folder
// of stored offline files, `db` holds the rows that refer to its folders.
CleanOfflineFilesResult CleanOfflineFiles(const std::filesystem::path& root, Database& db, RemovalService& removal,
                                          StatusLog& log);
// Starts the two purges of old offline messages and files on the job pool
// (`TDeleteOldOfflineInfoThread`, `TDeleteOldOfflineFilesThread`); called at
// every server start with the clamped `OfflineInfoDay`.
void StartOfflinePurges(const OfflineOwners& owners, int days);
// The purges on the calling thread: rows whose SendTime lies strictly before
// now minus `days` times 24 hours go, and with a file row its upload folder.
void PurgeOldOfflineInfo(const OfflineOwners& owners, int days);
void PurgeOldOfflineFiles(const OfflineOwners& owners, int days);
// The cut-off as database time text.
std::string OfflineCutOff(std::chrono::system_clock::time_point now, int days);

}  // namespace corvan
