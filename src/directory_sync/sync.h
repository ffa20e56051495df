// The directory sync: reads the organisational units and people under the
// base DN, plans the changes (planner.h) and applies them to the database
// and the in-memory directory in one step, publishing the directory once.
// Reading, planning and making the new entries happen without any lock;
// then, inside one directory update, the run checks that nothing it writes
// was changed meanwhile (else it plans again), and writes in one
// transaction, rolling back to give way whenever another writer comes to
// wait for the directory. A failure anywhere (directory unreachable, a
// refused search, a database error) leaves the tables and the published
// directory as they were.
//
// `DirectoryService` also answers the login hook: which accounts take the
// directory's password, and the bind that checks it.
#pragma once

#include <atomic>
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

namespace corvan {

class ServerCore;
class Database;
class Directory;

// The tables that link departments and accounts to their entries.
inline constexpr std::string_view kUnitLinkTable = "DirectoryUnits";
inline constexpr std::string_view kAccountLinkTable = "DirectoryAccounts";

struct DirectoryContent {
  std::vector<DirUnit> units;
  std::vector<DirPerson> people;
  std::size_t disabled = 0;  // people left out as disabled
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
std::vector<DirLink> ReadLinks(Database& db, std::string_view table);

// Brings the texts read to the form they are stored in (StoredText), so that
// the plan compares like with like; one line per entry changed.
std::vector<std::string> MakeContentStorable(DirectoryContent& content, const DirectorySettings& s);

// Plans against the current directory and applies (unless `dryRun`).
// `progress` is called while the new entries are made, before any lock is
// taken.
DirectorySyncOutcome ApplyDirectoryContent(Directory& dir, Database& db, const DirectorySettings& s,
                                           const DirectoryContent& content, bool dryRun, bool removeMissing,
                                           const std::function<void(int, int)>& progress);

class DirectoryService : public std::enable_shared_from_this<DirectoryService> {
 public:
  // Loads the settings and the account links; starts the background sync
  // when an interval is set.
  void Started(ServerCore& core);
  // Reloads settings and links (after a sync, at start).
  void Refresh(ServerCore& core);
  bool PasswordFromDirectory(const std::string& username) const;
  // The bind as the person, on the core's job pool, bounded by the
  // settings' time-out.
  void CheckPassword(ServerCore& core, std::string username, std::string password,
                     std::function<void(DirectoryVerdict)> done);
  DirectorySyncOutcome Sync(ServerCore& core, bool dryRun, bool removeMissing,
                            const std::function<void(int, int)>& progress);

 private:
  void ScheduleTick(ServerCore& core, int generation, int minutes);

  mutable std::mutex mutex_;
  std::optional<DirectorySettings> settings_;          // guarded by mutex_
  std::unordered_map<std::string, std::string> dnOf_;  // username -> DN; guarded by mutex_
  std::mutex syncMutex_;                               // one sync at a time
  std::atomic<int> generation_{0};                     // of the background sync chain
};

// Fills the directory entries of `modules` with a new service.
void AddDirectorySyncModules(CoreModules& modules);

}  // namespace corvan
