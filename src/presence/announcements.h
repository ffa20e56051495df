// Announcements: the "Information" notice that carries the announcement text
// to one user at login or to everybody online, and the publish command the
// console's dialog and the command-line tool call.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvan {

class ServerCore;

// Posts "Information" with its own copy of the text to each address
// (`TSendInformationThread`).
void StartInformationNotice(ServerCore& core, std::vector<std::string> addresses, std::string text);
// Posts a job that collects every online address (under `OnlineLock`) and
// sends them the current announcement (`TSendAllInformationThread`).
void StartInformationToAll(ServerCore& core);

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
PublishResult PublishAnnouncement(ServerCore& core, const std::optional<std::string>& entered);

}  // namespace corvan
