#include "presence/wiring.h"

#include "server/server_core.h"

namespace corvan {

NoticeOwners NoticeOwnersOf(ServerCore& core) {
  return NoticeOwners{core.Run(), core.Online(), core.Fanout(), core.Options().ClientPort};
}

PresenceOwners PresenceOwnersOf(ServerCore& core) {
  return PresenceOwners{
      NoticeOwnersOf(core),       core.Dir(), core.Log(), core.Lifecycle(), core.Options().probeTimeout,
      core.Options().silenceLimit};
}

}  // namespace corvan
