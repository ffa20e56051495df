// The directory sync: reads the organisational units and people under the
// base DN, plans the changes (planner.h) and applies them to the database
// and the in-memory directory in one step, publishing the directory once.
// Reading, planning and making the new entries happen without any lock;
// the rows to write are then staged a slice at a time (the database free
// for others between slices, the stored tables untouched). Inside one
// directory update the run checks that nothing it writes was changed
// meanwhile (else it plans again) and applies the staged rows in one short
// transaction of a few statements, rolling back to give way whenever
// another writer comes to wait for the directory. A failure anywhere
// (directory unreachable, a refused search, a database error) leaves the
// tables and the published directory as they were.
//
// `DirectoryService` also answers the login hook: which accounts take the
// directory's password, and the bind that checks it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory_sync/ldap_client.h"
#include "directory_sync/planner.h"
#include "directory_sync/settings.h"
#include "server/modules.h"
#include "storage/account_store.h"
#include "storage/database.h"

namespace corvan {

class Directory;
class Executors;
class ServerLifecycle;
class StatusLog;

// What the directory sync uses of the server: the pools its runs, binds and
// timers go on, the database and the published directory it writes, the
// status log, whether the server runs, and the data folder its settings file
// is in. Jobs hold a copy; the server keeps the owners alive until its pools
// have ended.
struct SyncOwners {
  Executors& run;
  Database& db;
  StatusLog& log;
  Directory& directory;
  const ServerLifecycle& lifecycle;
  const std::filesystem::path& home;
};

// The link tables and their lock column: kUnitLinkTable, kAccountLinkTable
// and kLockColumn (storage/account_store.h).

struct DirectoryContent {
  std::vector<DirUnit> units;
  std::vector<DirPerson> people;  // disabled ones included, marked
};

// An entry's stable id as text: printable ids as they are, binary ones
// (objectGUID) in hex.
std::string EntryId(const std::string& raw);
// Whether the settings' rule marks the entry disabled.
bool EntryDisabled(const LdapEntry& entry, const DirectorySettings& s);
DirUnit UnitFromEntry(const LdapEntry& entry, const DirectorySettings& s);
DirPerson PersonFromEntry(const LdapEntry& entry, const DirectorySettings& s);

// Binds with the settings' account and reads units and people.
std::optional<DirectoryContent> ReadDirectory(const DirectorySettings& s, LdapError* error);

// The links as stored (none when the tables do not exist yet). Takes the
// database lock.
Result<std::vector<DirLink>> ReadLinks(Database& db, std::string_view table);
// Adds the lock column to a DirectoryAccounts table that lacks it.
void AddLockColumn(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());

// Brings the texts read to the form they are stored in (StoredText), so that
// the plan compares like with like; one line per entry changed.
std::vector<std::string> MakeContentStorable(DirectoryContent& content, const DirectorySettings& s);

// Plans against the current directory and applies (unless `dryRun`).
// `progress` is called while the new entries are made, before any lock is
// taken; `afterSlice` (may be empty) after each slice of rows staged, with
// no lock held.
DirectorySyncOutcome ApplyDirectoryContent(Directory& dir, Database& db, const DirectorySettings& s,
                                           const DirectoryContent& content, bool dryRun, bool removeMissing,
                                           const std::function<void(int, int)>& progress,
                                           const std::function<void()>& afterSlice = {});

class DirectoryService : public std::enable_shared_from_this<DirectoryService> {
 public:
  // How often the settings file is looked at for changes while the server
  // runs.
  static constexpr std::chrono::seconds kSettingsPoll{2};

  // Loads the settings and the account links; starts the background sync
  // when an interval is set, and the watch on the settings file.
  void Started(const SyncOwners& owners);
  // Reloads settings and links (after a sync, at start).
  void Refresh(const SyncOwners& owners);
  bool PasswordFromDirectory(const std::string& username) const;
  // Whether the account is locked (its person disabled at the last sync).
  // The links are read first if they never were (a tool without a server).
  bool AccountLocked(const SyncOwners& owners, const std::string& username);
  // Finds the person and binds as them (password_check.h) on the core's
  // outbound pool. `done` gets one verdict within the settings' time-out
  // (and a little): "unreachable" when the pool is full or time runs out.
  void CheckPassword(const SyncOwners& owners, std::string username, std::string password,
                     std::function<void(DirectoryVerdict)> done);
  // One sync. A plan that finds more than the settings' share of the
  // directory accounts gone is refused, changing nothing, when it would
  // remove them (unless forced) and always in the background: a `base_dn`
  // pointed at one unit must not empty the server.
  DirectorySyncOutcome Sync(const SyncOwners& owners, const DirectorySyncRequest& request, bool background,
                            const std::function<void(int, int)>& progress);

 private:
  // The settings file as last read: changes are told by these.
  struct FileStamp {
    bool exists = false;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0, changed = 0;  // nanoseconds
    bool operator==(const FileStamp&) const = default;
  };
  FileStamp StampOfSettings(const SyncOwners& owners) const;
  void ScheduleTick(const SyncOwners& owners, int generation, int minutes);
  void StartBackgroundSync(const SyncOwners& owners);
  void WatchSettings(const SyncOwners& owners, int generation);
  // Reads the changed file: new settings take effect, a file with an error
  // is reported and the settings in use stay.
  void ReloadSettings(const SyncOwners& owners, const FileStamp& stamp);

  mutable Mutex mutex_;
  std::optional<DirectorySettings> settings_ CORVAN_GUARDED_BY(mutex_);
  std::unordered_map<std::string, DirLink> links_ CORVAN_GUARDED_BY(mutex_);  // by account name
  bool loaded_ CORVAN_GUARDED_BY(mutex_) = false;
  FileStamp stamp_ CORVAN_GUARDED_BY(mutex_);
  std::mutex syncMutex_;                 // one sync at a time
  std::atomic<int> generation_{0};       // of the background sync chain
  std::atomic<int> watchGeneration_{0};  // of the settings watch chain
};

}  // namespace corvan
