// The sync planner: from what the directory holds and what the server holds,
// the list of changes that brings the departments and accounts in step.
// Pure: no LDAP, no database; the sync runs it on the data it read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "storage/directory.h"

namespace corvan {

// An organisational unit as read.
struct DirUnit {
  std::string dn;
  std::string id;  // the entry's stable id (entryUUID, objectGUID), hex for binary ids
  std::string name;
};

// A person as read.
struct DirPerson {
  std::string dn;
  std::string id;
  std::string login;
  std::string name;
  std::string mail;
  std::string phone;
  std::string mobile;
  std::string title;
  bool disabled = false;  // marked disabled in the directory
};

// The link of a department or account to the directory entry it came from.
// Departments and accounts without one are local and never touched.
struct DirLink {
  std::string key;  // organizeNo or username
  std::string dn;
  std::string id;
  bool locked = false;  // accounts: the person is disabled in the directory
};

// The DN in a comparable form: RDNs trimmed, ASCII letters lower-cased.
std::string NormalizeDn(std::string_view dn);
// The DN without its first RDN (normalised); empty for a single RDN.
std::string ParentDn(std::string_view dn);

struct SyncPlan {
  struct OrgAdd {
    TorgInfo org;
    DirLink link;
  };
  struct OrgRename {
    std::string code;
    std::string name;
  };
  struct UserAdd {
    TUserInfo user;  // pwd left empty: the sync sets an unusable one
    DirLink link;
  };
  struct UserChange {
    std::string oldName;
    TUserInfo user;
    DirLink link;
    bool moved = false;    // another department
    bool changed = false;  // name or profile fields
  };

  std::vector<OrgAdd> orgAdds;
  std::vector<OrgRename> orgRenames;
  std::vector<DirLink> unitLinks;  // links whose DN or id changed, rewritten
  std::vector<UserAdd> userAdds;
  std::vector<UserChange> userChanges;    // changed, moved, or only relinked
  std::vector<std::string> userRemovals;  // accounts gone from the directory
  std::vector<std::string> orgRemovals;   // departments gone (and empty)
  bool removeMissing = false;             // whether the removals are applied
  std::vector<std::string> skipped;       // entries not synced, with the reason
  // Accounts (by their name before this run) whose person was disabled or
  // enabled again in the directory. A locked account keeps its department,
  // its fields and its stored items; it cannot log in.
  std::vector<std::string> locks;
  std::vector<std::string> unlocks;
  std::size_t disabledLeftOut = 0;  // disabled people without an account: not added

  // Whether applying changes anything.
  bool Empty() const;
  // One line per change, for the dry run and the log.
  std::vector<std::string> Lines() const;
  // "新增部门 N，..." counts.
  std::string Summary() const;
};

// Plans the sync of `units` and `people` (read under `baseDn`) onto
// `current`, whose directory-made departments and accounts are `unitLinks`
// and `accountLinks`. Units are placed as nested in the directory; a unit
// or person right under the base DN goes under the root. New department
// codes follow the console's rule (NextOrgNo). A disabled person keeps (and
// locks) the account they have and gets none when they have none.
SyncPlan PlanDirectorySync(const DirectorySnapshot& current, const std::vector<DirLink>& unitLinks,
                           const std::vector<DirLink>& accountLinks, std::string_view baseDn,
                           const std::vector<DirUnit>& units, const std::vector<DirPerson>& people, bool removeMissing);

// How many directory accounts a plan (made with removals) finds gone, out of
// how many there are (links whose account exists), and whether that is more
// than `limitPercent` of them.
struct RemovalShare {
  std::size_t removals = 0;
  std::size_t accounts = 0;
  bool exceeds = false;
};
RemovalShare CheckRemovalShare(const SyncPlan& plan, const DirectorySnapshot& current,
                               const std::vector<DirLink>& accountLinks, int limitPercent);

}  // namespace corvan
