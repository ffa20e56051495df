// The four directory queries, answered from memory: the directory snapshot
// and the online list.
#include "accounts/handlers.h"
#include "accounts/replies.h"
#include "server/request.h"
#include "server/server_core.h"

namespace corvan {

// Both lists depend only on the snapshot, so each snapshot builds them once;
// a change publishes a new snapshot, whose lists are built on the next ask.
void HandleGetOrglist(Request& request) { request.SendFrame(OrglistFrame(*request.core.Dir().Get())); }

void HandleGetUserlist(Request& request) { request.SendFrame(UserlistFrame(*request.core.Dir().Get())); }

// Runs with OnlineLock held by the dispatcher.
void HandleGetOnlineUserlist(Request& request) {
  request.SendReply(BuildOnlineUserlistReply(request.core.Online().OnlineUsers.Entries()));
}

void HandleGetUserInfo(Request& request) {
  std::optional<std::string> username = request.envelope.Field("username");
  if (!username) return;
  const auto dir = request.core.Dir().Get();
  const TUserInfo* user = dir->FindUser(AccountName(*username));
  if (user == nullptr) return request.SendResult("GetUserInfo", "Fail", kNoSuchUser);
  request.SendReply(BuildUserInfoReply(*user));
}

}  // namespace corvan
