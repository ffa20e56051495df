#include "presence/wiring.h"

#include "server/modules.h"
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

void AddPresenceModules(CoreModules& modules) {
  modules.UdpRead = [](ServerCore& core, std::string_view payload, const std::string& ip, std::uint16_t port) {
    UDPServerUDPRead(PresenceOwnersOf(core), payload, ip, port);
  };
  modules.StatusTick = [](ServerCore& core) { StartStatusScan(PresenceOwnersOf(core)); };
  modules.SendServerStop = [](ServerCore& core, std::shared_ptr<const RecipientList> to) {
    SendServerStop(NoticeOwnersOf(core), std::move(to));
  };
}

}  // namespace corvan
