// Reading a settings file that holds a secret (a password, a token): it must
// be a regular file of the data folder that only the server's user may read
// or write, and not larger than its reader expects.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace corvan {

// The file's bytes; nothing when there is no file. Refused (kRefused, the
// message naming the path and `what` the file is) when it is not a regular
// file (a symbolic link is not followed), when group or others may read or
// write it, or when it is larger than `maxBytes`; kIoFailed when it cannot be
// read.
Result<std::optional<std::string>> ReadSecretFile(const std::filesystem::path& path, std::size_t maxBytes,
                                                  std::string_view what);

}  // namespace corvan
