// The database's tables and the load of the in-memory directory.
//
// `OpenDatabase` brings a file (new or old) to the current table layout;
// `LoadOrgs` and `LoadUsers` read the departments and accounts into directory
// entries; `LoadDirectory` runs both and publishes the result. The entry
// makers (`MakeOrg`, `MakeUser`, `AddOrg`, `AddUser`) are pure and are used by
// every writer that adds a department or an account to the directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/database.h"
#include "storage/directory.h"

namespace corvan {

// The database file name inside the data folder.
inline constexpr std::string_view kDatabaseFileName = "Corvan_Server.mdb";

// Opens `path` on `db` (creating the file when missing), creates authreg,
// vcard and organize when missing, then the offline tables and their indexes,
// then widens old layouts. Fails with the engine's message when the file cannot be opened,
// is not a database, or a missing directory table cannot be created. Takes
// the connection's lock itself.
Status OpenDatabase(Database& db, const std::string& path);

// The four steps below never report: a failure is swallowed and ends the
// step. Caller holds the connection's lock.
void CreateOfflineInfoTable(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());
void CreateOfflineFilesTable(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());
// Creates the indexes on the recipient columns of OfflineInfo and
// OfflineFiles and on the name columns of authreg and vcard where missing
// (old files get them at their next open).
void CreateOfflineIndexes(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());
// Adds organize.orgID and authreg.USERID (double, null, default 100) where
// an older file lacks them.
void UpgradeSchema(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());

using OrgPtr = DirectorySnapshot::OrgPtr;
using UserPtr = DirectorySnapshot::UserPtr;

// The makers of the entries a writer adds or changes. Every text becomes its
// stored form (MakeStorable, storage/directory.h), so what a writer puts into
// the directory and binds into its statements from the entry can always be
// sent.
//
// A department entry; the display order is clamped to 0..10000 (else 0).
OrgPtr MakeOrg(std::string organizename, std::string organizeNo, std::string parNo, std::int64_t orgID);
// An account entry made from `info`: the name is upper-cased, the display
// order clamped, and `organizename` set to the name of the first department
// in `orgs` whose code equals `info.organizeNo` exactly (empty if none);
// whatever `info.organizename` held is ignored.
UserPtr MakeUser(TUserInfo info, const std::vector<OrgPtr>& orgs);
// The same with the department's name already looked up.
UserPtr MakeUser(TUserInfo info, std::string organizename);

// Make an entry and append it to a list (a directory draft's, for example).
OrgPtr AddOrg(std::vector<OrgPtr>& orgs, std::string organizename, std::string organizeNo, std::string parNo,
              std::int64_t orgID);
UserPtr AddUser(std::vector<UserPtr>& users, TUserInfo info, const std::vector<OrgPtr>& orgs);

struct LoadedOrgs {
  std::string companyName;
  std::vector<OrgPtr> orgs;  // every organize row but the root, in table order
};

// The loads take the texts as the tables hold them, so that the entries keep
// naming their rows.
//
// Reads organize, seeding an empty table with the root and "未分组". Throws
// DatabaseError on failure. Takes the connection's lock itself.
LoadedOrgs LoadOrgs(Database& db);

// Reads the accounts that have both an authreg and a vcard row, highest
// USERID first. Department names come from `orgs`. Throws DatabaseError on
// failure. Takes the connection's lock itself.
std::vector<UserPtr> LoadUsers(Database& db, const std::vector<OrgPtr>& orgs);

// LoadOrgs, then LoadUsers, then one Directory::Replace. On failure returns
// the engine's message and leaves `directory` as it was.
Status LoadDirectory(Database& db, Directory& directory);

}  // namespace corvan
