// How the directory sync is bound to the server: its owners, picked out of
// the core, and the hooks the server calls.
#pragma once

#include "directory_sync/sync.h"

namespace corvan {

class ServerCore;

SyncOwners SyncOwnersOf(ServerCore& core);

// Fills the directory entries of `modules` with a new service.
void AddDirectorySyncModules(CoreModules& modules);

}  // namespace corvan
