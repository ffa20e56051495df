#include "offline/wiring.h"

#include "server/modules.h"
#include "server/server_core.h"

namespace corvan {

OfflineOwners OfflineOwnersOf(ServerCore& core) {
  return {core.Run(),
          core.Db(),
          core.Removal(),
          core.OfflineInfoLock,
          core.OfflineFilesLock,
          core.OfflineFilesDir(),
          core.Options().OfflineInfoPort,
          core.Options().OfflineFilePort,
          core.Options().offlineDeliveryDelay};
}

void AddOfflineModules(CoreModules& modules) {
  modules.StoreOfflineMessage = [](ServerCore& core, std::string body) {
    StoreOfflineMessage(OfflineOwnersOf(core), std::move(body));
  };
  modules.BeginUpload = [](ServerCore& core, const std::string& header, std::size_t bodySize) {
    return BeginUpload(OfflineOwnersOf(core), header, bodySize);
  };
  modules.StartPurges = [](ServerCore& core, int days) { StartOfflinePurges(OfflineOwnersOf(core), days); };
}

}  // namespace corvan
