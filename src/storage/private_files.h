// Files and folders that only the server's own user may read.
//
// The data folder holds passwords in plain text (the database, backups,
// exported account lists), so everything the server creates there is made
// mode 0600 (files) or 0700 (folders), whatever the umask. Files are written
// through a temporary file made with mkstemp beside the target (O_EXCL: a
// name planted in advance, a symbolic link included, is never opened) and
// then renamed over the target, which replaces a link rather than following
// it.
//
// Thread rules: plain functions over paths; no shared state.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace corvan {

// Writes `bytes` to `target` through a private temporary file beside it.
// The result is mode 0600. On failure nothing is left beside the target,
// the target keeps its old content, and the status holds the path and the
// system's message.
Status WritePrivateFile(const std::filesystem::path& target, std::string_view bytes);

// Creates a new, empty private file beside `target` for a copy in progress
// and returns its path, or why it cannot be made.
Result<std::filesystem::path> MakePrivateTemporary(const std::filesystem::path& target);

// Creates `file` empty with mode 0600 unless something already has that
// name (a file that exists is left as it is). Fails with the path and the
// system's message when it cannot be made.
Status CreatePrivateFileIfMissing(const std::filesystem::path& file);

// Makes the folder `dir` (mode 0700) unless it exists. With
// `refuseLink`, a symbolic link of that name is refused instead of being
// followed. Fails with the path and the system's message when the folder
// cannot be made or something other than a folder has the name.
Status MakePrivateFolder(const std::filesystem::path& dir, bool refuseLink);

}  // namespace corvan
