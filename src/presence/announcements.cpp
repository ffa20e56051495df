#include "presence/announcements.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "base/text.h"
#include "presence/notices.h"
#include "presence/presence.h"
#include "server/executors.h"
#include "server/settings_store.h"
#include "storage/config.h"

namespace corvan {

namespace {

// Whether Configure.xml now holds `text` as its announcement.
bool ConfigHoldsInformation(const std::filesystem::path& path, const std::string& text) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ConfigReadResult read = ParseConfiguration(bytes);
    return read.hasInformation && read.settings.Information == text;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void QueueInformationNotice(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to,
                            const std::string& text) {
  QueueNotice(owners, std::move(to), BuildInformationNotice(text));
}

void StartInformationToAll(const NoticeOwners& owners, SettingsStore& settings) {
  owners.run.PostJob([owners, &settings] {
    const std::string datagram = BuildInformationNotice(settings.Information());
    MutexLock lock(owners.online.OnlineLock);
    QueueNotice(owners, owners.online.OnlineUsers.Recipients(), datagram);
  });
}

PublishResult PublishAnnouncement(SettingsStore& settings, const std::filesystem::path& configPath,
                                  const NoticeOwners& owners, const std::optional<std::string>& entered) {
  PublishResult result;
  const std::string current = settings.Information();
  if (entered && !Trim(*entered).empty() && Trim(*entered) != Trim(current)) {
    settings.SetInformation(*entered);
    WriteConfigValue(configPath, "Information", *entered);
    result.changed = true;
    result.ok = ConfigHoldsInformation(configPath, *entered);
  }
  StartInformationToAll(owners, settings);
  if (!result.ok) {
    result.message = "公告已发布，但未能保存到配置文件!";
  } else if (result.changed) {
    result.message = "公告已修改并发布!";
  } else {
    result.message = "公告已发布!";
  }
  return result;
}

}  // namespace corvan
