// How presence is bound to the server: the owners it is given, picked out of
// the core. Only the wiring of the features names the core; presence itself
// takes its owners.
#pragma once

#include "presence/presence.h"

namespace corvan {

class ServerCore;

NoticeOwners NoticeOwnersOf(ServerCore& core);
PresenceOwners PresenceOwnersOf(ServerCore& core);

}  // namespace corvan
