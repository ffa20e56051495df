#include "app/modules_default.h"

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"
#include "accounts/wiring.h"
#include "directory_sync/sync.h"
#include "directory_sync/wiring.h"
#include "offline/wiring.h"
#include "presence/presence.h"
#include "presence/wiring.h"
#include "server/connection.h"
#include "server/counters.h"
#include "server/request_table.h"

namespace corvan {

CoreModules DefaultModules() {
  CoreModules m;
  AddOfflineModules(m);
  AddPresenceModules(m);
  AddDirectorySyncModules(m);
  AddLoginThrottleModules(m);
  // Every run asked for (corvanctl, the consoles) is counted for monitoring.
  if (m.DirectorySync) {
    m.DirectorySync = [sync = std::move(m.DirectorySync)](ServerCore& core, const DirectorySyncRequest& request,
                                                          const std::function<void(int, int)>& progress) {
      DirectorySyncOutcome out = sync(core, request, progress);
      Bump(Counters().syncRuns);
      if (!out.ok) Bump(Counters().syncFailures);
      return out;
    };
  }
  return m;
}

RequestTable DefaultRequests() {
  return {
      AccountLockEntry<&AccountOwnersOf, &HandleReg>("Reg", RequestPlace::kWorker),
      AccountLockEntry<&AccountOwnersOf, &HandleUpdatePassword>("UpdatePassword", RequestPlace::kWorker),
      AccountLockEntry<&AccountOwnersOf, &HandleUpdateInfo>("UpdateInfo", RequestPlace::kWorker),
      UnlockedEntry<&PresenceOwnersOf, &HandleGetOrglist>("GetOrglist", RequestPlace::kReader),
      UnlockedEntry<&PresenceOwnersOf, &HandleGetUserlist>("GetUserlist", RequestPlace::kReader),
      OnlineLockEntry<&PresenceOwnersOf, &HandleGetOnlineUserlist>("GetOnlineUserlist", RequestPlace::kWorker),
      OnlineLockEntry<&PresenceOwnersOf, &HandleGetUserInfo>("GetUserInfo", RequestPlace::kReader),
      OnlineLockEntry<&AccountOwnersOf, &HandleLoginin>("Loginin", RequestPlace::kWorker),
      UnlockedEntry<&PresenceOwnersOf, &HandleLoginout>("Loginout", RequestPlace::kWorker),
  };
}

void UseDefaultWiring(CoreOptions& options) {
  options.modules = DefaultModules();
  options.requests = DefaultRequests();
}

}  // namespace corvan
