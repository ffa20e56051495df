// The TCP request handlers of accounts and the directory. Each runs on a
// worker with the lock the dispatch table names already held, reads its
// fields from `request.envelope` and answers on `request.connection`; what
// else it may touch is the owners it is given.
#pragma once

#include "base/thread_annotations.h"
#include "offline/offline.h"
#include "presence/presence.h"
#include "server/modules.h"
#include "server/request.h"

namespace corvan {

class Database;
class SettingsStore;

// What the accounts use of the server: presence's owners (the online list,
// the notices, the directory, the status log), the lock that orders the
// account writes, the database, the settings, the login hooks, and offline
// delivery, which a login starts. Jobs hold a copy; the server keeps the
// owners alive until its pools have ended.
struct AccountOwners : PresenceOwners {
  Mutex& accountLock;  // AccountLock
  Database& db;
  SettingsStore& settings;
  LoginHooks hooks;
  OfflineOwners offline;
};

void HandleReg(const AccountOwners& owners, Request& request) CORVAN_REQUIRES(owners.accountLock);
void HandleUpdatePassword(const AccountOwners& owners, Request& request) CORVAN_REQUIRES(owners.accountLock);
void HandleUpdateInfo(const AccountOwners& owners, Request& request) CORVAN_REQUIRES(owners.accountLock);
void HandleGetOrglist(const PresenceOwners& owners, Request& request);
void HandleGetUserlist(const PresenceOwners& owners, Request& request);
void HandleGetOnlineUserlist(const PresenceOwners& owners, Request& request) CORVAN_REQUIRES(owners.online.OnlineLock);
void HandleGetUserInfo(const PresenceOwners& owners, Request& request) CORVAN_REQUIRES(owners.online.OnlineLock);
void HandleLoginin(const AccountOwners& owners, Request& request) CORVAN_REQUIRES(owners.online.OnlineLock);
void HandleLoginout(const PresenceOwners& owners, Request& request);

}  // namespace corvan
