// Who is online: the online-user list and the logins waiting their turn,
// both under `OnlineLock`. The requests that read or change them run on the
// online lane, which holds that lock (server/dispatch.h).
#pragma once

#include "base/thread_annotations.h"
#include "server/name_turns.h"
#include "server/online_users.h"

namespace corvan {

class OnlineRegistry {
 public:
  OnlineRegistry() = default;
  OnlineRegistry(const OnlineRegistry&) = delete;
  OnlineRegistry& operator=(const OnlineRegistry&) = delete;

  Mutex OnlineLock{LockRank::kOnline, "OnlineLock"};
  OnlineUserList OnlineUsers CORVAN_GUARDED_BY(OnlineLock);
  // Logins waiting, by account, for an earlier login of the same account
  // to learn whether the account is live on another machine.
  NameTurns LoginTurns CORVAN_GUARDED_BY(OnlineLock);
};

}  // namespace corvan
