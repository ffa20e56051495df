// The notices queued on the fan-out lane, the jobs that start polls and
// renames, and the console's copy of the online list.
#include <mutex>

#include "presence/notices.h"
#include "presence/presence.h"
#include "server/server_core.h"

namespace corvan {

namespace {

void PollIfOnline(ServerCore& core, std::string name) {
  std::string ip;
  {
    MutexLock lock(core.Online().OnlineLock);
    const TUserOnlineInfo* entry = core.Online().OnlineUsers.Find(name);
    if (entry == nullptr) return;
    ip = entry->IP;
  }
  StartStatusPoll(core, std::move(name), std::move(ip));
}

void UpdateOnlineInfo(OnlineRegistry& online, const std::string& oldName, std::string newName, std::string nickname) {
  MutexLock lock(online.OnlineLock);
  online.OnlineUsers.Rename(oldName, std::move(newName), std::move(nickname));
}

}  // namespace

NoticeOwners NoticeOwnersOf(ServerCore& core) {
  return NoticeOwners{core.Run(), core.Online(), core.Fanout(), core.Options().ClientPort};
}

void QueueNotice(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to, std::string datagram,
                 bool fromListener) {
  Notice notice;
  notice.datagram = std::move(datagram);
  notice.to = std::move(to);
  notice.port = owners.clientPort;
  notice.fromListener = fromListener;
  owners.fanout.Queue(std::move(notice));
}

void QueueOfflineNotice(ServerCore& core, const std::string& name, const std::string& ip) {
  QueueNotice(NoticeOwnersOf(core), core.Online().OnlineUsers.Recipients(), BuildOfflineNotice(name, ip));
}

void QueueStatusNotice(ServerCore& core, const std::string& name, const std::string& status) {
  QueueNotice(NoticeOwnersOf(core), core.Online().OnlineUsers.Recipients(), BuildStatusNotice(name, status));
}

void StartNetBlockPoll(ServerCore& core, std::string name) {
  core.Run().PostJob([&core, name = std::move(name)]() mutable { PollIfOnline(core, std::move(name)); });
}

void StartUpdateOnlineInfo(const NoticeOwners& owners, std::string oldName, std::string newName, std::string nickname) {
  OnlineRegistry& online = owners.online;
  owners.run.PostJob(
      [&online, oldName = std::move(oldName), newName = std::move(newName), nickname = std::move(nickname)]() mutable {
        UpdateOnlineInfo(online, oldName, std::move(newName), std::move(nickname));
      });
}

void StartNewUserRegNotice(const NoticeOwners& owners, std::string name, std::string nickname, std::string orgNo) {
  // A job, because the callers may hold AccountLock and no code path holds
  // two of the server's locks.
  owners.run.PostJob([owners, name = std::move(name), nickname = std::move(nickname), orgNo = std::move(orgNo)] {
    std::string datagram = BuildNewUserRegNotice(name, nickname, orgNo);
    MutexLock lock(owners.online.OnlineLock);
    QueueNotice(owners, owners.online.OnlineUsers.Recipients(), std::move(datagram));
  });
}

void SendServerStop(ServerCore& core, std::shared_ptr<const RecipientList> to) {
  QueueNotice(NoticeOwnersOf(core), std::move(to), BuildServerStop());
}

std::vector<TUserOnlineInfo> ListOnlineUsers(OnlineRegistry& online) {
  MutexLock lock(online.OnlineLock);
  return online.OnlineUsers.Entries();
}

}  // namespace corvan
