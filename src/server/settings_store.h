// The server's settings (Configure.xml and the texts set at run time), under
// a leaf lock held only to copy values in or out: the settings are never
// read or changed piecemeal by two callers at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "base/thread_annotations.h"
#include "storage/config.h"

namespace corvan {

class StatusLog;

class SettingsStore {
 public:
  SettingsStore() = default;
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Reads Configure.xml from `home` (once per process). A file that cannot
  // be read is reported in `log` with the values used instead.
  // `createAutoStart`, when set, runs on the first run (no file yet).
  void Load(const std::filesystem::path& home, const std::function<void()>& createAutoStart, StatusLog& log);
  bool Loaded() const;

  ServerSettings Current() const;
  void Set(const ServerSettings& settings);
  // Changes some settings in one step, so that concurrent changes of other
  // fields (the console, the admin tool, an announcement) are not lost.
  void Update(const std::function<void(ServerSettings&)>& change);

  std::int32_t ServerPort() const;
  bool AllowReg() const;
  std::int32_t OfflineInfoDay() const;
  std::string Information() const;
  void SetInformation(std::string text);

  // What a start uses: the port, and the retention with a value out of
  // 1..30 put back to 3 first.
  struct StartValues {
    std::int32_t port;
    int offlineInfoDays;
  };
  StartValues ForStart();

 private:
  mutable Mutex mutex_{LockRank::kSettings, "settings"};
  ServerSettings settings_ CORVAN_GUARDED_BY(mutex_);
  bool loaded_ CORVAN_GUARDED_BY(mutex_) = false;
};

}  // namespace corvan
