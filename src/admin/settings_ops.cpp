#include "admin/settings_ops.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "server/server_core.h"
#include "base/text.h"
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

SettingsForm CurrentSettingsForm(ServerCore& core) {
  ServerSettings s = core.Settings();
  SettingsForm form;
  form.serverPort = std::to_string(s.ServerPort);
  form.startMin = s.StartMin;
  ConfigReadResult file = ReadBack(core.ConfigPath());
  if (file.structFound && file.hasStartMin) form.startMin = file.settings.StartMin;
  form.autoStart = form.autoStartWasOn = AutoStartEnabled();
  form.allowReg = s.AllowReg;
  form.offlineInfoDay = s.OfflineInfoDay;
  return form;
}

SettingsSaveResult SaveAll(ServerCore& core, const SettingsForm& form) {
  SettingsSaveResult result;
  const auto path = core.ConfigPath();

  // SaveServerPort
  auto port = ParsePortText(form.serverPort);
  if (!port) {
    result.messages.emplace_back(kBadPort);
    return result;
  }
  if (*port != core.ServerPort()) {
    core.UpdateSettings([&](ServerSettings& s) { s.ServerPort = *port; });
    WriteConfigValue(path, "ServerPort", std::string(Trim(form.serverPort)));
    result.portChanged = true;
    result.messages.emplace_back(kRestartToApply);
  }

  // SaveStartOptions: the in-memory StartMin stays; it is read at start.
  WriteConfigValue(path, "StartMin", BoolText(form.startMin));
  ConfigReadResult file = ReadBack(path);
  bool startSaved = file.structFound && file.hasStartMin && file.settings.StartMin == form.startMin;
  if (startSaved && form.autoStart != form.autoStartWasOn) {
    if (form.autoStart) {
      CreateAutoStartShortcut(core.Options().executable);
      startSaved = AutoStartEnabled();
    } else {
      RemoveAutoStartShortcut();
    }
  }
  if (!startSaved) {
    result.messages.emplace_back(kSaveStartFailed);
    return result;
  }

  // SaveAllowReg: takes effect at once.
  WriteConfigValue(path, "AllowReg", BoolText(form.allowReg));
  file = ReadBack(path);
  if (!file.structFound || !file.hasAllowReg || file.settings.AllowReg != form.allowReg) {
    result.messages.emplace_back(kSaveRegFailed);
    return result;
  }
  core.UpdateSettings([&](ServerSettings& s) { s.AllowReg = form.allowReg; });

  // SaveOfflineInfoDay: purges use it from the next server start.
  if (form.offlineInfoDay < 1 || form.offlineInfoDay > 30) {
    result.messages.emplace_back(kSaveOfflineFailed);
    return result;
  }
  WriteConfigValue(path, "OfflineInfoDay", std::to_string(form.offlineInfoDay));
  file = ReadBack(path);
  if (!file.structFound || !file.hasOfflineInfoDay || file.settings.OfflineInfoDay != form.offlineInfoDay) {
    result.messages.emplace_back(kSaveOfflineFailed);
    return result;
  }
  core.UpdateSettings([&](ServerSettings& s) { s.OfflineInfoDay = form.offlineInfoDay; });
  result.ok = true;
  return result;
}

}  // namespace corvan
