// Process-level helpers of the program: the data folder and the
// single-instance lock.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/status.h"
#include "server/udp.h"

namespace corvan {

// The running program's own path (from /proc/self/exe).
std::filesystem::path ExecutablePath();

// Where the data folder is: $CORVAN_HOME when set and not empty; else, for
// a program installed in the configured bin folder (a package), the
// service's data folder (/var/lib/corvan); else the folder of the
// executable. Nothing is created.
std::filesystem::path DataFolderPath();

// DataFolderPath(), created (mode 0700) when missing; when it cannot be
// made, the path and the system's message.
Result<std::filesystem::path> DataFolder();

// The single-instance lock: an exclusive flock on "Mutex_Server_ONLY_ONE.lock"
// (mode 0600; a symbolic link of that name is refused) in the data folder,
// held as long as the returned descriptor lives. Without a descriptor:
// kRefused when another process holds it and kNotFound when the file is
// missing and `create` is false (both with an empty message: the ordinary
// cases), kIoFailed with the path and the system's message when the file
// cannot be opened.
Result<UniqueFd> AcquireInstanceLock(const std::filesystem::path& dataFolder, bool create = true);

// Whether the program should show its window: a display is available and
// CORVAN_HEADLESS is not "1".
bool DisplayAvailable();

}  // namespace corvan
