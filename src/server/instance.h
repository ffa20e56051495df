// Process-level helpers of the program: the data folder and the
// single-instance lock.
#pragma once

#include <filesystem>
#include <optional>

#include "server/udp.h"

namespace corvan {

// The running program's own path (from /proc/self/exe).
std::filesystem::path ExecutablePath();

// The data folder: $CORVAN_HOME when set and not empty, else the folder of
// the executable. The folder is created when missing.
std::filesystem::path DataFolder();

// The single-instance lock: an exclusive flock on "Mutex_Server_ONLY_ONE.lock"
// in the data folder, held as long as the returned descriptor lives. Nothing
// when another process holds it.
std::optional<UniqueFd> AcquireInstanceLock(const std::filesystem::path& dataFolder);

// Whether the program should show its window: a display is available and
// CORVAN_HEADLESS is not "1".
bool DisplayAvailable();

}  // namespace corvan
