// Announcements: the "Information" notice that carries the announcement text
// to one user at login or to everybody online, and the publish command the
// console's dialog and the command-line tool call.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "server/udp.h"

namespace corvan {

class SettingsStore;
struct NoticeOwners;

// Queues "Information" with `text` to each address of `to`
// (`TSendInformationThread`).
void QueueInformationNotice(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to,
                            const std::string& text);
// Posts a job that queues the current announcement to every online address,
// taken under `OnlineLock` (`TSendAllInformationThread`).
void StartInformationToAll(const NoticeOwners& owners, SettingsStore& settings);

// What the publish command did, for the front end to show.
struct PublishResult {
  bool ok = true;        // false when the new text could not be saved
  bool changed = false;  // the announcement text was replaced
  std::string message;   // a sentence for the administrator
};

// `entered` is the text the administrator typed; nothing when the dialog was
// cancelled (which keeps the current text). When the entered text, trimmed,
// is not empty and differs from the trimmed current text, it becomes the
// announcement as typed and is written to Configure.xml under
// "Information". In every case the announcement is then sent to everybody
// online.
PublishResult PublishAnnouncement(SettingsStore& settings, const std::filesystem::path& configPath,
                                  const NoticeOwners& owners, const std::optional<std::string>& entered);

}  // namespace corvan
