// The four directory queries, answered from memory: the directory snapshot
// and the online list.
#include "accounts/handlers.h"
#include "accounts/replies.h"
#include "server/request.h"
#include "storage/directory.h"

namespace corvan {

// Both lists depend only on the snapshot, so each snapshot builds them once;
// a change publishes a new snapshot, whose lists are built on the next ask.
void HandleGetOrglist(const PresenceOwners& owners, Request& request) {
  request.SendFrame(OrglistFrame(*owners.directory.Get()));
}

void HandleGetUserlist(const PresenceOwners& owners, Request& request) {
  request.SendFrame(UserlistFrame(*owners.directory.Get()));
}

// Runs with OnlineLock held by the dispatcher.
void HandleGetOnlineUserlist(const PresenceOwners& owners, Request& request) {
  request.SendReply(BuildOnlineUserlistReply(owners.online.OnlineUsers.Entries()));
}

void HandleGetUserInfo(const PresenceOwners& owners, Request& request) {
  std::optional<std::string> username = request.envelope.Field("username");
  if (!username) return;
  const auto dir = owners.directory.Get();
  const TUserInfo* user = dir->FindUser(AccountName(*username));
  if (user == nullptr) return request.SendResult("GetUserInfo", "Fail", kNoSuchUser);
  request.SendReply(BuildUserInfoReply(*user));
}

}  // namespace corvan
