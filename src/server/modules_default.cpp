#include "server/modules.h"

#include "offline/offline.h"
#include "server/connection.h"
#include "presence/presence.h"

namespace corvan {

CoreModules DefaultModules() {
  CoreModules m;
  m.StoreOfflineMessage = &StoreOfflineMessage;
  m.BeginUpload = &BeginUpload;
  m.UdpRead = &UDPServerUDPRead;
  m.StatusTick = &StartStatusScan;
  m.SendServerStop = &SendServerStop;
  m.StartPurges = &StartOfflinePurges;
  return m;
}

}  // namespace corvan
