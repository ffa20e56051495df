// The settings window's save, as an operation that any front end calls.
//
// The window (or the command-line tool) fills a `SettingsForm` with what the
// administrator entered; `SaveAll` saves the port, the start options, the
// registration switch and the retention days in that order, stopping at the
// first failure, and returns every message to show.
//
// Thread rules: run on the controlling thread. The core's settings are
// copied out and back under its settings mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace corvan {

class ServerCore;
class SettingsStore;

inline constexpr std::string_view kBadPort = "请输入合法的端口";
// The port message as shown: the range follows it.
inline constexpr std::string_view kBadPortRange = "请输入合法的端口（1-65535）";
inline constexpr std::string_view kRestartToApply = "重新启动服务器后生效";
inline constexpr std::string_view kSaveStartFailed = "保存启动设置失败";
inline constexpr std::string_view kSaveRegFailed = "保存注册设置失败";
inline constexpr std::string_view kSaveOfflineFailed = "保存离线信息设置失败";
// A number of days outside 1 to 30: nothing failed, the number is refused.
inline constexpr std::string_view kOfflineDayRange = "离线信息保存天数应为1-30天";
inline constexpr std::int32_t kMinOfflineInfoDay = 1;
inline constexpr std::int32_t kMaxOfflineInfoDay = 30;

// What the settings window holds when "确定" is pressed.
struct SettingsForm {
  std::string serverPort;            // the port box's text as entered
  bool startMin = false;             // "启动时最小化"
  bool autoStart = false;            // "开机启动"
  bool autoStartWasOn = false;       // whether the entry existed when the window was shown
  bool allowReg = true;              // "允许" selected
  std::string offlineInfoDay = "3";  // the days box's text as entered
};

// The caption of every message of the save.
inline constexpr std::string_view kSettingsCaption = "信息";

struct SettingsSaveResult {
  // Ok when all four steps succeeded (close the window); else the message of
  // the step that stopped the save.
  Status status;
  // Shown before a failure's message: "重新启动服务器后生效" when the port
  // changed.
  std::vector<std::string> notices;
  bool portChanged = false;

  // Every message to show, each in its own box, in order: the notices, then
  // the failure's message.
  std::vector<std::string> Messages() const {
    std::vector<std::string> all = notices;
    if (!status.IsOk()) all.push_back(status.Message());
    return all;
  }
};

// The form as the window shows it now: the port and registration from the
// core; start-minimised and the days from Configure.xml when it holds them
// (the in-memory start-minimised is only read at start, and a server start
// replaces days outside 1 to 30 in memory while the file keeps them), else
// from the core; auto-start from the presence of the autostart entry.
SettingsForm CurrentSettingsForm(ServerCore& core);

// The days text as a number of days: the trimmed text must be a whole number
// from 1 to 30; nothing otherwise.
std::optional<std::int32_t> ParseOfflineDays(std::string_view text);

// The port text as a port number: the trimmed text must be a whole number
// from 1 to 65535; nothing otherwise.
std::optional<std::int32_t> ParsePortText(std::string_view text);

// Saves the form:
// 1. port: when the parsed port differs from the current one it is set and
//    written as the trimmed text ("重新启动服务器后生效"); an unusable text
//    gives "请输入合法的端口（1-65535）" and stops.
// 2. StartMin written ("True"/"False"; memory unchanged); the autostart entry
//    created or removed only when `autoStart` differs from `autoStartWasOn`.
// 3. AllowReg written and set.
// 4. OfflineInfoDay written and set; a text that is not a whole number from
//    1 to 30 (a stored 0, 31 or -5 shown as it stands, an empty box) is
//    refused with "离线信息保存天数应为1-30天" and nothing of it is written.
// The running server and the command-line tool on a stopped server's folder
// both save through here.
// Each key is read back after it is written; a key that did not reach the
// file gives that step's failure message. `configPath` is Configure.xml,
// `executable` the program the autostart entry starts.
SettingsSaveResult SaveAll(SettingsStore& settings, const std::filesystem::path& configPath,
                           const std::filesystem::path& executable, const SettingsForm& form);

}  // namespace corvan
