#include "app/modules_default.h"

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"
#include "directory_sync/sync.h"
#include "offline/offline.h"
#include "presence/presence.h"
#include "server/connection.h"
#include "server/counters.h"

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
      {"Reg", &HandleReg, RequestLock::kAccount, RequestPlace::kWorker},
      {"UpdatePassword", &HandleUpdatePassword, RequestLock::kAccount, RequestPlace::kWorker},
      {"UpdateInfo", &HandleUpdateInfo, RequestLock::kAccount, RequestPlace::kWorker},
      {"GetOrglist", &HandleGetOrglist, RequestLock::kNone, RequestPlace::kReader},
      {"GetUserlist", &HandleGetUserlist, RequestLock::kNone, RequestPlace::kReader},
      {"GetOnlineUserlist", &HandleGetOnlineUserlist, RequestLock::kOnline, RequestPlace::kWorker},
      {"GetUserInfo", &HandleGetUserInfo, RequestLock::kOnline, RequestPlace::kReader},
      {"Loginin", &HandleLoginin, RequestLock::kOnline, RequestPlace::kWorker},
      {"Loginout", &HandleLoginout, RequestLock::kNone, RequestPlace::kWorker},
  };
}

void UseDefaultWiring(CoreOptions& options) {
  options.modules = DefaultModules();
  options.requests = DefaultRequests();
}

}  // namespace corvan
