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
  std::lock_guard lock(core.OnlineLock);
  return core.OnlineUsers.Addresses();
}

}  // namespace

void TSendUserOfflineThread::Start(ServerCore& core, std::string name, std::string ip) {
  core.PostJob([job = TSendUserOfflineThread(core, std::move(name), std::move(ip))]() mutable { job.Execute(); });
}

void TSendUserOfflineThread::Execute() {
  SendToEach(OnlineAddresses(core_), core_.Options().ClientPort, BuildOfflineNotice(name_, ip_));
}

void TGetNetBlockThread::Start(ServerCore& core, std::string name) {
  core.PostJob([job = TGetNetBlockThread(core, std::move(name))]() mutable { job.Execute(); });
}

void TGetNetBlockThread::Execute() {
  std::string ip;
  {
    std::lock_guard lock(core_.OnlineLock);
    const TUserOnlineInfo* entry = core_.OnlineUsers.Find(name_);
    if (entry == nullptr) return;
    ip = entry->IP;
  }
  TSendGetStatusThread::Start(core_, name_, std::move(ip));
}

void TUpdateOnlineInfoThread::Start(ServerCore& core, std::string oldName, std::string newName, std::string nickname) {
  core.PostJob([job = TUpdateOnlineInfoThread(core, std::move(oldName), std::move(newName), std::move(nickname))]() mutable {
    job.Execute();
  });
}

void TUpdateOnlineInfoThread::Execute() {
  std::lock_guard lock(core_.OnlineLock);
  TUserOnlineInfo* entry = core_.OnlineUsers.Find(oldName_);
  if (entry == nullptr) return;
  entry->UserName = newName_;
  entry->NickName = nickname_;
}

void TSendUserStatusthread::Start(ServerCore& core, std::string name, std::vector<std::string> addresses,
                                  std::string status) {
  core.PostJob([job = TSendUserStatusthread(core, std::move(name), std::move(addresses), std::move(status))]() mutable {
    job.Execute();
  });
}

void TSendUserStatusthread::Execute() {
  SendToEach(addresses_, core_.Options().ClientPort, BuildStatusNotice(name_, status_));
}

void TSendNewUserRegThread::Start(ServerCore& core, std::string name, std::string nickname, std::string orgNo) {
  core.PostJob([job = TSendNewUserRegThread(core, std::move(name), std::move(nickname), std::move(orgNo))]() mutable {
    job.Execute();
  });
}

void TSendNewUserRegThread::Execute() {
  SendToEach(OnlineAddresses(core_), core_.Options().ClientPort, BuildNewUserRegNotice(name_, nickname_, orgNo_));
}

void SendServerStop(ServerCore& core, std::vector<std::string> addresses) {
  try {
    SendToEach(addresses, core.Options().ClientPort, BuildServerStop());
  } catch (const std::exception&) {
    // The stop goes on; recipients not reached get nothing.
  }
}

std::vector<TUserOnlineInfo> ListOnlineUsers(ServerCore& core) {
  std::lock_guard lock(core.OnlineLock);
  return core.OnlineUsers.Entries();
}

}  // namespace corvan
