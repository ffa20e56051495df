// The one owner of the statements on the account and department tables:
// authreg, vcard, organize and the directory links (DirectoryUnits,
// DirectoryAccounts).
//
// Every write runs inside `AccountStore::InTransaction`, which takes the
// connection's lock, begins a transaction, hands an `AccountWriter` to the
// caller's function and commits when it returns Ok (anything else, or a
// database failure, rolls everything back). Callers group as much as they
// need into one transaction: one change of the console, or the whole
// directory sync.
//
// The directory sync writes many rows at once. So that it holds the
// connection only briefly, it stages its rows first (`Stage`: slices of
// rows written into temporary tables, the lock let go between slices, the
// stored tables untouched) and then applies them in its transaction with one
// statement per table (`AccountWriter::ApplyStaged`). What it applies is all
// or nothing like any other transaction.
//
// Every method returns a Status; database failures come back as
// kDatabaseFailed with the engine's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "storage/database.h"
#include "storage/directory.h"
#include "storage/schema.h"

namespace corvan {

// The tables that link departments and accounts to their directory entries.
inline constexpr std::string_view kUnitLinkTable = "DirectoryUnits";
inline constexpr std::string_view kAccountLinkTable = "DirectoryAccounts";
// The column of DirectoryAccounts that marks a locked account (1): its person
// is disabled in the directory. Added to older files by AddLockColumn; a
// writer that does not know it leaves 0.
inline constexpr std::string_view kLockColumn = "locked";

// One link row: the department code or account name, the entry's DN and
// stable id, and (accounts) the lock.
struct StoredLink {
  std::string key;
  std::string dn;
  std::string id;
  bool locked = false;
};

// What a directory sync writes, gathered without any lock. Account names
// are those before the run's renames.
struct AccountBatch {
  struct OrgAdd {
    OrgPtr org;
    StoredLink link;
  };
  struct OrgRename {
    std::string code;
    std::string name;
  };
  struct AccountAdd {
    UserPtr user;
    StoredLink link;
    bool staleLink = false;  // a link under the name or to the entry is left over and goes first
  };
  struct AccountChange {
    std::string oldName;
    UserPtr user;          // the account as it will be; null when only the link changes
    bool authreg = false;  // which rows differ from what is stored
    bool vcard = false;
    bool link = false;
    StoredLink newLink;
  };
  std::vector<OrgAdd> orgAdds;
  std::vector<OrgRename> orgRenames;
  std::vector<StoredLink> unitLinks;  // rewritten by department code
  std::vector<AccountAdd> accountAdds;
  std::vector<std::pair<std::string, bool>> locks;  // account, locked; the last of a name holds
  std::vector<AccountChange> accountChanges;
  std::vector<std::string> accountRemovals;
  std::vector<std::string> orgRemovals;
};

// How a staged apply ended.
enum class StagedApply {
  kApplied,
  kGaveWay,  // `giveWay` asked it to stop; the caller rolls back
  kStale,    // a staged row no longer names what it named; the caller rolls back and plans again
};

// The writes of one transaction. Only made by AccountStore::InTransaction;
// valid during its function.
class AccountWriter {
 public:
  // The authreg and vcard rows of a new account, display order included.
  Status InsertAccount(const TUserInfo& user);
  // The same for a client's registration: authreg takes its default display
  // order.
  Status InsertRegisteredAccount(const TUserInfo& user);
  // Every field of the account `oldName` (both rows).
  Status UpdateAccount(const TUserInfo& user, std::string_view oldName);
  // The profile fields of vcard (a client's "UpdateInfo").
  Status UpdateCard(const TUserInfo& card, std::string_view name);
  Status SetPassword(std::string_view name, std::string_view password);
  Status DeleteAccount(std::string_view name);
  Status MoveAccount(std::string_view name, std::string_view code);

  Status InsertDepartment(const TorgInfo& org);
  Status UpdateDepartment(std::string_view code, std::string_view name, std::int64_t order);
  // The department, every department whose code begins with its code, and
  // their accounts.
  Status DeleteDepartmentTree(std::string_view code);
  // Gives the department `oldCode` the code `newCode` and the parent
  // `newParent`: every code beginning with `oldCode` (departments, their
  // parents, accounts, directory links) begins with `newCode` instead.
  Status RecodeDepartmentTree(std::string_view oldCode, std::string_view newCode, std::string_view newParent);

  // Applies what AccountStore::Stage staged: one statement per table and
  // kind of change, in the order a row-by-row write would take. `giveWay`
  // (may be empty) is asked before each statement.
  Result<StagedApply> ApplyStaged(const std::function<bool()>& giveWay);

 private:
  friend class AccountStore;
  explicit AccountWriter(Database& db) : db_(db) {}
  Database& db_;
  // Rows staged per kind, for the check that each statement changed them all.
  const std::vector<std::int64_t>* stagedRows_ = nullptr;
};

class AccountStore {
 public:
  explicit AccountStore(Database& db) : db_(db) {}

  // Runs `work` in one transaction (see above); returns what it returned,
  // or the database's failure.
  Status InTransaction(const std::function<Status(AccountWriter&)>& work);

  // Writes `batch` into the staging tables (emptied first), at most
  // kStageSlice rows per hold of the connection's lock; `afterSlice` (may be
  // empty) runs between slices with no lock held. The stored tables are only
  // read. The next InTransaction's ApplyStaged applies it.
  static constexpr std::size_t kStageSlice = 500;
  Status Stage(const AccountBatch& batch, const std::function<void()>& afterSlice);
  // Empties the staging tables (after the apply, or when the batch is
  // given up).
  Status ClearStage();

  // The link rows of kUnitLinkTable or kAccountLinkTable (none when the
  // table does not exist yet).
  Result<std::vector<StoredLink>> ReadLinks(std::string_view table);
  // Adds the lock column to a DirectoryAccounts table that lacks it.
  Status AddLockColumn();

 private:
  Database& db_;
  std::vector<std::int64_t> stagedRows_;
};

// Adds the lock column to a DirectoryAccounts table that lacks it; throws
// DatabaseError. Caller holds the lock.
void AddLinkLockColumn(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());

}  // namespace corvan
