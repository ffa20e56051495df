// The four directory queries, answered from memory: the directory snapshot
// and the online list.
#include "accounts/handlers.h"
#include "accounts/replies.h"
#include "server/request.h"
#include "server/server_core.h"

namespace corvan {

void HandleGetOrglist(Request& request) { request.SendReply(BuildOrglistReply(*request.core.Dir().Get())); }

void HandleGetUserlist(Request& request) { request.SendReply(BuildUserlistReply(*request.core.Dir().Get())); }

// Runs with OnlineLock held by the dispatcher.
void HandleGetOnlineUserlist(Request& request) {
  request.SendReply(BuildOnlineUserlistReply(request.core.OnlineUsers.Entries()));
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
