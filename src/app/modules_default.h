// The wiring of the feature modules into the server core: the hand-over
// points to presence and offline delivery, and the request types with their
// handlers and the lock each runs under. The program, the console and the
// in-process test servers all serve clients through this one table.
#pragma once

#include "server/dispatch.h"
#include "server/modules.h"
#include "server/server_core.h"

namespace corvan {

CoreModules DefaultModules();
RequestTable DefaultRequests();

// Sets both of the above in `options`.
void UseDefaultWiring(CoreOptions& options);

}  // namespace corvan
