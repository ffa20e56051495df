#include "accounts/wiring.h"

#include "offline/wiring.h"
#include "presence/wiring.h"
#include "server/server_core.h"

namespace corvan {

AccountOwners AccountOwnersOf(ServerCore& core) {
  return AccountOwners{PresenceOwnersOf(core),           core.AccountLock,     core.Db(), core.Settings(),
                       LoginHooks(core.Modules(), core), OfflineOwnersOf(core)};
}

void AddLoginThrottleModules(CoreModules& m, std::function<LoginThrottle::Time()> clock) {
  auto throttle = std::make_shared<SharedLoginThrottle>(std::move(clock));
  m.BeginLogin = [throttle](ServerCore& core, const std::string& name, const std::string& address) {
    SharedLoginThrottle::Begun begun = throttle->Begin(name, address);
    if (!begun.burstLine.empty()) core.Log().AppendEvent(begun.burstLine);
    return begun.go;
  };
  m.EndLogin = [throttle](ServerCore&, const std::string& name, const std::string& address, LoginOutcome outcome) {
    throttle->End(name, address, outcome);
  };
}

}  // namespace corvan
