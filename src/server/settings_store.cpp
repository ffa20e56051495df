#include "server/settings_store.h"

#include "server/status_log.h"

namespace corvan {

void SettingsStore::Load(const std::filesystem::path& home, const std::function<void()>& createAutoStart,
                         StatusLog& log) {
  MutexLock lock(mutex_);
  if (loaded_) return;
  loaded_ = true;
  ConfigurationLoad load = ReadConfiguration(home, settings_, createAutoStart);
  if (!load.readable.IsOk()) {
    log.Append(UnreadableConfigurationLine(home / kConfigFileName, load.readable.Message(), settings_));
  }
}

bool SettingsStore::Loaded() const {
  MutexLock lock(mutex_);
  return loaded_;
}

ServerSettings SettingsStore::Current() const {
  MutexLock lock(mutex_);
  return settings_;
}

void SettingsStore::Set(const ServerSettings& settings) {
  MutexLock lock(mutex_);
  settings_ = settings;
}

void SettingsStore::Update(const std::function<void(ServerSettings&)>& change) {
  MutexLock lock(mutex_);
  change(settings_);
}

std::int32_t SettingsStore::ServerPort() const {
  MutexLock lock(mutex_);
  return settings_.ServerPort;
}

bool SettingsStore::AllowReg() const {
  MutexLock lock(mutex_);
  return settings_.AllowReg;
}

std::int32_t SettingsStore::OfflineInfoDay() const {
  MutexLock lock(mutex_);
  return settings_.OfflineInfoDay;
}

std::string SettingsStore::Information() const {
  MutexLock lock(mutex_);
  return settings_.Information;
}

void SettingsStore::SetInformation(std::string text) {
  MutexLock lock(mutex_);
  settings_.Information = std::move(text);
}

SettingsStore::StartValues SettingsStore::ForStart() {
  MutexLock lock(mutex_);
  if (settings_.OfflineInfoDay < 1 || settings_.OfflineInfoDay > 30) settings_.OfflineInfoDay = 3;
  return {settings_.ServerPort, settings_.OfflineInfoDay};
}

}  // namespace corvan
