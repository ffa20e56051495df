// The console program: the server core with its window.
#pragma once

#include <filesystem>

#include "server/dispatch.h"
#include "server/modules.h"

namespace corvan {

// Runs the console on the data folder `home` until the window is closed;
// stops the server before returning. `modules` and `requests` wire the
// feature modules into the core. Returns the program's exit status.
int RunConsole(int argc, char** argv, const std::filesystem::path& home, CoreModules modules,
               RequestTable requests);

}  // namespace corvan
