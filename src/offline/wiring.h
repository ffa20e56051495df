// How offline delivery is bound to the server: the owners it is given,
// picked out of the core.
#pragma once

#include "offline/offline.h"

namespace corvan {

class ServerCore;

OfflineOwners OfflineOwnersOf(ServerCore& core);

}  // namespace corvan
