#include "server/modules.h"

#include "offline/offline.h"
#include "server/connection.h"
#include "presence/presence.h"

namespace corvan {

namespace {
// Set once at program start, before any thread reads it.
void (*extraModules)(CoreModules&) = nullptr;
}  // namespace

void AddDefaultModules(void (*fill)(CoreModules&)) { extraModules = fill; }

CoreModules DefaultModules() {
  CoreModules m;
  m.StoreOfflineMessage = &StoreOfflineMessage;
  m.BeginUpload = &BeginUpload;
  m.UdpRead = &UDPServerUDPRead;
  m.StatusTick = &StartStatusScan;
  m.SendServerStop = &SendServerStop;
  m.StartPurges = &StartOfflinePurges;
  if (extraModules != nullptr) extraModules(m);
  return m;
}

}  // namespace corvan
