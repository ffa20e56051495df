// How the accounts are bound to the server: their owners, picked out of the
// core, and the hooks of the login throttle.
#pragma once

#include <functional>

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"

namespace corvan {

class ServerCore;

AccountOwners AccountOwnersOf(ServerCore& core);

// Fills the login-throttle entries of `modules` with one throttle reading
// `clock`; each throttled burst writes one status-log line.
void AddLoginThrottleModules(CoreModules& modules,
                             std::function<LoginThrottle::Time()> clock = &LoginThrottle::Clock::now);

}  // namespace corvan
