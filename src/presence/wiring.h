// How presence is bound to the server: the owners it is given, picked out of
// the core. Only the wiring of the features names the core; presence itself
// takes its owners.
#pragma once

#include "presence/presence.h"

namespace corvan {

class ServerCore;
struct CoreModules;

NoticeOwners NoticeOwnersOf(ServerCore& core);
PresenceOwners PresenceOwnersOf(ServerCore& core);

// Fills the presence entries of `modules`: the UDP datagrams, the status
// scan's tick and the "ServerStop" notice.
void AddPresenceModules(CoreModules& modules);

}  // namespace corvan
