#include "presence/announcements.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "base/text.h"
#include "presence/notices.h"
#include "server/server_core.h"
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

void StartInformationNotice(ServerCore& core, std::vector<std::string> addresses, std::string text) {
  core.PostJob([&core, addresses = std::move(addresses), text = std::move(text)] {
    SendToEach(addresses, core.Options().ClientPort, BuildInformationNotice(text));
  });
}

void StartInformationToAll(ServerCore& core) {
  core.PostJob([&core] {
    std::vector<std::string> addresses;
    {
      MutexLock lock(core.OnlineLock);
      addresses = core.OnlineUsers.Addresses();
    }
    if (addresses.empty()) return;
    StartInformationNotice(core, std::move(addresses), core.Information());
  });
}

PublishResult PublishAnnouncement(ServerCore& core, const std::optional<std::string>& entered) {
  PublishResult result;
  const std::string current = core.Information();
  if (entered && !Trim(*entered).empty() && Trim(*entered) != Trim(current)) {
    core.SetInformation(*entered);
    WriteConfigValue(core.ConfigPath(), "Information", *entered);
    result.changed = true;
    result.ok = ConfigHoldsInformation(core.ConfigPath(), *entered);
  }
  StartInformationToAll(core);
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
