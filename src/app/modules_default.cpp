#include "app/modules_default.h"

#include "accounts/handlers.h"
#include "directory_sync/sync.h"
#include "offline/offline.h"
#include "presence/presence.h"
#include "server/connection.h"

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
  return m;
}

RequestTable DefaultRequests() {
  return {
      {"Reg", &HandleReg, RequestLock::kAccount},
      {"UpdatePassword", &HandleUpdatePassword, RequestLock::kAccount},
      {"UpdateInfo", &HandleUpdateInfo, RequestLock::kAccount},
      {"GetOrglist", &HandleGetOrglist, RequestLock::kNone},
      {"GetUserlist", &HandleGetUserlist, RequestLock::kNone},
      {"GetOnlineUserlist", &HandleGetOnlineUserlist, RequestLock::kOnline},
      {"GetUserInfo", &HandleGetUserInfo, RequestLock::kOnline},
      {"Loginin", &HandleLoginin, RequestLock::kOnline},
      {"Loginout", &HandleLoginout, RequestLock::kNone},
  };
}

void UseDefaultWiring(CoreOptions& options) {
  options.modules = DefaultModules();
  options.requests = DefaultRequests();
}

}  // namespace corvan
