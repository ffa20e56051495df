// How offline delivery is bound to the server: the owners it is given,
// picked out of the core.
#pragma once

#include "offline/offline.h"

namespace corvan {

class ServerCore;
struct CoreModules;

OfflineOwners OfflineOwnersOf(ServerCore& core);

// Fills the offline entries of `modules`: storing a message, taking an
// upload and starting the purges.
void AddOfflineModules(CoreModules& modules);

}  // namespace corvan
