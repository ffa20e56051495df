// The notices queued on the fan-out lane, the jobs that start polls and
// renames, and the console's copy of the online list.
#include <mutex>

#include "presence/notices.h"
#include "presence/presence.h"
#include "server/executors.h"
#include "server/notice_fanout.h"

namespace corvan {

namespace {

void PollIfOnline(const PresenceOwners& owners, std::string name) {
  std::string ip;
  {
    MutexLock lock(owners.online.OnlineLock);
    const TUserOnlineInfo* entry = owners.online.OnlineUsers.Find(name);
    if (entry == nullptr) return;
    ip = entry->IP;
  }
  StartStatusPoll(owners, std::move(name), std::move(ip));
}

void UpdateOnlineInfo(OnlineRegistry& online, const std::string& oldName, std::string newName, std::string nickname) {
  MutexLock lock(online.OnlineLock);
  online.OnlineUsers.Rename(oldName, std::move(newName), std::move(nickname));
}

}  // namespace

void QueueNotice(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to, std::string datagram,
                 bool fromListener) {
  Notice notice;
  notice.datagram = std::move(datagram);
  notice.to = std::move(to);
  notice.port = owners.clientPort;
  notice.fromListener = fromListener;
  owners.fanout.Queue(std::move(notice));
}

void QueueOfflineNotice(const NoticeOwners& owners, const std::string& name, const std::string& ip) {
  QueueNotice(owners, owners.online.OnlineUsers.Recipients(), BuildOfflineNotice(name, ip));
}

void QueueStatusNotice(const NoticeOwners& owners, const std::string& name, const std::string& status) {
  QueueNotice(owners, owners.online.OnlineUsers.Recipients(), BuildStatusNotice(name, status));
}

void StartNetBlockPoll(const PresenceOwners& owners, std::string name) {
  owners.run.PostJob([owners, name = std::move(name)]() mutable { PollIfOnline(owners, std::move(name)); });
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

void SendServerStop(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to) {
  QueueNotice(owners, std::move(to), BuildServerStop());
}

std::vector<TUserOnlineInfo> ListOnlineUsers(OnlineRegistry& online) {
  MutexLock lock(online.OnlineLock);
  return online.OnlineUsers.Entries();
}

}  // namespace corvan
