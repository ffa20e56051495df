// The settings file Configure.xml and the auto-start entry.
//
// The file is
//   <?xml version="1.0" encoding="GB2312"?>
//   <RootNode><Struct><ServerPort>9475</ServerPort>...</Struct></RootNode>
// written as GBK with CR LF line ends. Values are UTF-8 in memory. Parsing
// and rewriting are pure functions over bytes; `ReadConfiguration` and
// `WriteConfigValue` add the file access. Auto-start is on exactly when the
// XDG autostart entry exists; nothing in the file records it.
//
// Thread rules: the pure functions are thread-safe. `WriteConfigValue`
// serialises its read-modify-write with a process-wide mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace corvan {

inline constexpr std::string_view kConfigFileName = "Configure.xml";
inline constexpr std::int32_t kDefaultServerPort = 9475;
inline constexpr std::int32_t kDefaultOfflineInfoDay = 3;
inline constexpr std::string_view kDefaultInformation = "沟通协作，创造价值！";
// Files larger than this are not read as settings.
inline constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

struct ServerSettings {
  std::int32_t ServerPort = kDefaultServerPort;
  bool StartMin = false;
  bool AllowReg = true;
  std::int32_t OfflineInfoDay = kDefaultOfflineInfoDay;
  std::string Information{kDefaultInformation};
};

// What a parse of the file found. When the document does not parse, or lacks
// RootNode or Struct, `structFound` is false and every setting has its
// default (the values a file without any key would give).
struct ConfigReadResult {
  ServerSettings settings;
  bool structFound = false;
  bool hasServerPort = false;
  bool hasStartMin = false;
  bool hasAllowReg = false;
  bool hasOfflineInfoDay = false;
  bool hasInformation = false;
};

// Reads the five settings from the file's bytes:
//   ServerPort     trimmed, then parsed; unparsable or missing gives 9475
//   StartMin       on only for the trimmed text "True" exactly
//   AllowReg       off only for the trimmed text "False" exactly
//   OfflineInfoDay parsed as it stands (no trimming); else 3
//   Information    taken unchanged; the default only when the element is missing
ConfigReadResult ParseConfiguration(std::string_view fileBytes);

// What ReadConfiguration found besides the settings.
struct ConfigurationLoad {
  bool firstRun = false;  // the file was missing and has been made
  // Fails, with the reason, when the file exists but cannot be read.
  Status readable;
};

// Reads `dataDir`/Configure.xml into `settings`. When the file is missing
// (the first run): port 9475, registration allowed, start-minimised off,
// OfflineInfoDay 0 (the server start replaces it by 3), Information empty;
// `createAutoStart` is called (if set) and a new file holding only
// StartMin = "True" is written, so the next run starts minimised; the
// result says it was the first run.
//
// A file that exists but cannot be read (no permission, not a regular file,
// larger than kMaxConfigBytes) gives the defaults with registration closed
// (an unreadable file must not open what the administrator closed), and
// `readable` holds the reason.
ConfigurationLoad ReadConfiguration(const std::filesystem::path& dataDir, ServerSettings& settings,
                                    const std::function<void()>& createAutoStart);

// The status-log line for a settings file that cannot be read: names the
// file, the reason and the values used instead.
std::string UnreadableConfigurationLine(const std::filesystem::path& file, std::string_view reason,
                                        const ServerSettings& used);

// Sets `key` to `value` in a settings document. `existingBytes` is the
// current file (nothing when there is no file). RootNode, Struct and the key
// are added where missing, a new key as the last child of Struct; everything
// else is kept. Returns the new file bytes, or nothing when the existing
// bytes do not parse (or their document element is not RootNode), or the
// key is not a plain element name: the file is then left as it is.
std::optional<std::string> UpdateConfigDocument(const std::optional<std::string>& existingBytes, std::string_view key,
                                                std::string_view value);

// Rewrites the file at `path` with one key set, atomically (temporary file,
// then rename). Never reports: every failure leaves the file as it was.
void WriteConfigValue(const std::filesystem::path& path, std::string_view key, std::string_view value) noexcept;

// --- Auto-start ---

// $XDG_CONFIG_HOME/autostart/Corvan服务器.desktop; ~/.config when the
// variable is unset, empty or not an absolute path.
std::filesystem::path AutostartEntryPath();

// The text of the autostart entry for `executable`; nothing when the path
// holds a line break (it could not be written into the entry).
std::optional<std::string> AutostartEntryText(const std::filesystem::path& executable);

// Writes the autostart entry for `executable` unless one exists. Failures
// are swallowed.
void CreateAutoStartShortcut(const std::filesystem::path& executable) noexcept;
// Removes the entry; failures are swallowed.
void RemoveAutoStartShortcut() noexcept;
bool AutoStartEnabled() noexcept;

}  // namespace corvan
