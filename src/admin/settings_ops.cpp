#include "admin/settings_ops.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "base/text.h"
#include "server/server_core.h"
#include "storage/config.h"

namespace corvan {

namespace {

// What Configure.xml holds now; a failed parse when it cannot be read.
ConfigReadResult ReadBack(const std::filesystem::path& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxConfigBytes) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseConfiguration(bytes);
}

const char* BoolText(bool v) { return v ? "True" : "False"; }

}  // namespace

std::optional<std::int32_t> ParsePortText(std::string_view text) {
  auto port = ParseInt32(Trim(text));
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  return port;
}

std::optional<std::int32_t> ParseOfflineDays(std::string_view text) {
  auto days = ParseInt32(Trim(text));
  if (!days || *days < kMinOfflineInfoDay || *days > kMaxOfflineInfoDay) return std::nullopt;
  return days;
}

SettingsForm CurrentSettingsForm(ServerCore& core) {
  ServerSettings s = core.Settings().Current();
  SettingsForm form;
  form.serverPort = std::to_string(s.ServerPort);
  form.startMin = s.StartMin;
  std::int32_t days = s.OfflineInfoDay;
  ConfigReadResult file = ReadBack(core.ConfigPath());
  if (file.structFound && file.hasStartMin) form.startMin = file.settings.StartMin;
  if (file.structFound && file.hasOfflineInfoDay) days = file.settings.OfflineInfoDay;
  form.autoStart = form.autoStartWasOn = AutoStartEnabled();
  form.allowReg = s.AllowReg;
  form.offlineInfoDay = std::to_string(days);
  return form;
}

SettingsSaveResult SaveAll(SettingsStore& settings, const std::filesystem::path& configPath,
                           const std::filesystem::path& executable, const SettingsForm& form) {
  SettingsSaveResult result;
  const std::filesystem::path& path = configPath;

  // SaveServerPort
  auto stop = [&result](StatusCode code, std::string_view message) {
    result.status = Status(code, std::string(message));
    return result;
  };
  auto port = ParsePortText(form.serverPort);
  if (!port) return stop(StatusCode::kInvalidInput, kBadPortRange);
  if (*port != settings.ServerPort()) {
    settings.Update([&](ServerSettings& s) { s.ServerPort = *port; });
    WriteConfigValue(path, "ServerPort", std::string(Trim(form.serverPort)));
    result.portChanged = true;
    result.notices.emplace_back(kRestartToApply);
  }

  // SaveStartOptions: the in-memory StartMin stays; it is read at start.
  WriteConfigValue(path, "StartMin", BoolText(form.startMin));
  ConfigReadResult file = ReadBack(path);
  bool startSaved = file.structFound && file.hasStartMin && file.settings.StartMin == form.startMin;
  if (startSaved && form.autoStart != form.autoStartWasOn) {
    if (form.autoStart) {
      CreateAutoStartShortcut(executable);
      startSaved = AutoStartEnabled();
    } else {
      RemoveAutoStartShortcut();
    }
  }
  if (!startSaved) return stop(StatusCode::kIoFailed, kSaveStartFailed);

  // SaveAllowReg: takes effect at once.
  WriteConfigValue(path, "AllowReg", BoolText(form.allowReg));
  file = ReadBack(path);
  if (!file.structFound || !file.hasAllowReg || file.settings.AllowReg != form.allowReg)
    return stop(StatusCode::kIoFailed, kSaveRegFailed);
  settings.Update([&](ServerSettings& s) { s.AllowReg = form.allowReg; });

  // SaveOfflineInfoDay: purges use it from the next server start.
  auto days = ParseOfflineDays(form.offlineInfoDay);
  if (!days) return stop(StatusCode::kInvalidInput, kOfflineDayRange);
  WriteConfigValue(path, "OfflineInfoDay", std::to_string(*days));
  file = ReadBack(path);
  if (!file.structFound || !file.hasOfflineInfoDay || file.settings.OfflineInfoDay != *days)
    return stop(StatusCode::kIoFailed, kSaveOfflineFailed);
  settings.Update([&](ServerSettings& s) { s.OfflineInfoDay = *days; });
  return result;
}

}  // namespace corvan
