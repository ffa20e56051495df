#include "offline/wiring.h"

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

}  // namespace corvan
