#include "app/modules_default.h"

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"
#include "directory_sync/sync.h"
#include "offline/offline.h"
#include "presence/presence.h"
#include "server/connection.h"
#include "server/counters.h"
#include "server/request_table.h"

namespace corvan {

CoreModules DefaultModules() {
  CoreModules m;
  m.StoreOfflineMessage = &StoreOfflineMessage;
  m.BeginUpload = &BeginUpload;
  m.UdpRead = &UDPServerUDPRead;
  m.StatusTick = &StartStatusScan;
  m.SendServerStop = &SendServerStop;
  m.StartPurges = &StartOfflinePurges;
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
      AccountLockEntry<HandleReg>("Reg", RequestPlace::kWorker),
      AccountLockEntry<HandleUpdatePassword>("UpdatePassword", RequestPlace::kWorker),
      AccountLockEntry<HandleUpdateInfo>("UpdateInfo", RequestPlace::kWorker),
      UnlockedEntry<HandleGetOrglist>("GetOrglist", RequestPlace::kReader),
      UnlockedEntry<HandleGetUserlist>("GetUserlist", RequestPlace::kReader),
      OnlineLockEntry<HandleGetOnlineUserlist>("GetOnlineUserlist", RequestPlace::kWorker),
      OnlineLockEntry<HandleGetUserInfo>("GetUserInfo", RequestPlace::kReader),
      OnlineLockEntry<HandleLoginin>("Loginin", RequestPlace::kWorker),
      UnlockedEntry<HandleLoginout>("Loginout", RequestPlace::kWorker),
  };
}

void UseDefaultWiring(CoreOptions& options) {
  options.modules = DefaultModules();
  options.requests = DefaultRequests();
}

}  // namespace corvan
