// The short notice jobs, the server-stop notice and the console's copy of the
// online list.
#include <mutex>

#include "presence/notices.h"
#include "presence/presence.h"
#include "server/server_core.h"

namespace corvan {

namespace {

// The addresses of every online entry, copied under `OnlineLock`; the
// sending happens after the lock is released.
std::vector<std::string> OnlineAddresses(ServerCore& core) {
  MutexLock lock(core.OnlineLock);
  return core.OnlineUsers.Addresses();
}

void PollIfOnline(ServerCore& core, std::string name) {
  std::string ip;
  {
    MutexLock lock(core.OnlineLock);
    const TUserOnlineInfo* entry = core.OnlineUsers.Find(name);
    if (entry == nullptr) return;
    ip = entry->IP;
  }
  StartStatusPoll(core, std::move(name), std::move(ip));
}

void UpdateOnlineInfo(ServerCore& core, const std::string& oldName, std::string newName, std::string nickname) {
  MutexLock lock(core.OnlineLock);
  core.OnlineUsers.Rename(oldName, std::move(newName), std::move(nickname));
}

}  // namespace

void StartOfflineNotice(ServerCore& core, std::string name, std::string ip) {
  core.PostJob([&core, name = std::move(name), ip = std::move(ip)] {
    SendToEach(OnlineAddresses(core), core.Options().ClientPort, BuildOfflineNotice(name, ip));
  });
}

void StartNetBlockPoll(ServerCore& core, std::string name) {
  core.PostJob([&core, name = std::move(name)]() mutable { PollIfOnline(core, std::move(name)); });
}

void StartUpdateOnlineInfo(ServerCore& core, std::string oldName, std::string newName, std::string nickname) {
  core.PostJob(
      [&core, oldName = std::move(oldName), newName = std::move(newName), nickname = std::move(nickname)]() mutable {
        UpdateOnlineInfo(core, oldName, std::move(newName), std::move(nickname));
      });
}

void StartStatusNotice(ServerCore& core, std::string name, std::vector<std::string> addresses, std::string status) {
  core.PostJob([&core, name = std::move(name), addresses = std::move(addresses), status = std::move(status)] {
    SendToEach(addresses, core.Options().ClientPort, BuildStatusNotice(name, status));
  });
}

void StartNewUserRegNotice(ServerCore& core, std::string name, std::string nickname, std::string orgNo) {
  core.PostJob([&core, name = std::move(name), nickname = std::move(nickname), orgNo = std::move(orgNo)] {
    SendToEach(OnlineAddresses(core), core.Options().ClientPort, BuildNewUserRegNotice(name, nickname, orgNo));
  });
}

void SendServerStop(ServerCore& core, const std::vector<std::string>& addresses) {
  try {
    SendToEach(addresses, core.Options().ClientPort, BuildServerStop());
  } catch (const std::exception&) {
    // The stop goes on; recipients not reached get nothing.
  }
}

std::vector<TUserOnlineInfo> ListOnlineUsers(ServerCore& core) {
  MutexLock lock(core.OnlineLock);
  return core.OnlineUsers.Entries();
}

}  // namespace corvan
