// "Loginin" and "Loginout" over TCP.
#include "accounts/login.h"

#include "accounts/handlers.h"
#include "accounts/replies.h"
#include "base/quiet_failure.h"
#include "offline/offline.h"
#include "presence/announcements.h"
#include "presence/notices.h"
#include "presence/presence.h"
#include "server/counters.h"
#include "server/request.h"
#include "server/server_core.h"
#include "server/udp.h"

namespace corvan {

bool CheckAlreadyOnline(ServerCore& core, const std::string& name, const std::string& address) {
  TUserOnlineInfo* entry = core.OnlineUsers.Find(name);
  if (entry == nullptr) return false;
  if (entry->IP == address) {
    core.OnlineUsers.Remove(name);
    return false;
  }
  // The probe waits under OnlineLock: nothing else may change the entry
  // while this login decides about it.
  UdpSocket probe;
  if (!probe.Valid() || !probe.SendTo(entry->IP, core.Options().ClientPort, BuildGetStatus(name))) {
    core.OnlineUsers.Remove(name);
    return false;
  }
  std::optional<std::string> answer = probe.Receive(core.Options().probeTimeout, kMaxDatagram);
  if (!answer) return false;
  switch (ClassifyStatusAnswer(*answer, entry->UserName)) {
    case StatusAnswer::kValid: entry->LastSeen = Clock::now(); return true;
    case StatusAnswer::kOther: return false;
    case StatusAnswer::kNotXml: core.OnlineUsers.Remove(name); return false;
  }
  return false;
}

std::string TakeOverAddress(ServerCore& core, const std::string& name, const std::string& address) {
  const TUserOnlineInfo* entry = core.OnlineUsers.FindByIp(address);
  if (entry == nullptr || entry->UserName == name) return {};
  std::string displaced = entry->UserName;
  core.OnlineUsers.Remove(entry);
  return displaced;
}

void RecordLogin(ServerCore& core, const std::string& name, const std::string& mac, const std::string& address) {
  if (TUserOnlineInfo* entry = core.OnlineUsers.Find(name)) {
    entry->Mac = mac;
    entry->IP = address;
    entry->LastSeen = Clock::now();
    return;
  }
  TUserOnlineInfo entry;
  entry.UserName = name;
  entry.Mac = mac;
  entry.IP = address;
  entry.LastSeen = Clock::now();
  core.OnlineUsers.Add(std::move(entry));
}

void BroadcastOnline(ServerCore& core, const std::string& name, const std::string& address) {
  SendToEach(core.OnlineUsers.Addresses(), core.Options().ClientPort, BuildOnlineNotice(name, address));
}

namespace {

// The login after the password was found right: the online checks, the
// entry, the reply and the notices. Runs with OnlineLock held; `core` is
// the request's core.
void FinishLogin(ServerCore& core, Request& request, const std::string& name, const TUserInfo& account)
    CORVAN_REQUIRES(core.OnlineLock) {
  const std::string& address = request.PeerAddress();
  if (CheckAlreadyOnline(core, name, address)) return request.SendResult("Loginin", "Fail", kOnlineElsewhere);

  const std::string mac = request.envelope.Field("Mac").value_or(std::string());
  std::string displaced = TakeOverAddress(core, name, address);
  RecordLogin(core, name, mac, address);
  Bump(Counters().logins);
  request.SendReply(BuildLoginSuccess(account.nickname, address));
  BroadcastOnline(core, name, address);
  core.LogEvent("用户：" + name + "登录!");
  if (!displaced.empty()) StartOfflineNotice(core, std::move(displaced), address);
  StartSearchOffline(core, name, address);
  StartInformationNotice(core, {address}, core.Information());
}

// The directory's verdict, back on the online lane.
void ResumeLogin(const std::shared_ptr<Request>& request, const std::string& name, DirectoryVerdict verdict) {
  ServerCore& core = request->core;
  MutexLock lock(core.OnlineLock);
  try {
    if (verdict == DirectoryVerdict::kWrong) return request->SendResult("Loginin", "Fail", kWrongPassword);
    if (verdict == DirectoryVerdict::kUnreachable) {
      request->SendResult("Loginin", "Fail", kDirectoryUnreachable);
      core.LogEvent("用户：" + name + "登录失败，目录服务器无法连接");
      return;
    }
    // The account may have been removed while the directory answered.
    const auto dir = core.Dir().Get();
    const TUserInfo* account = dir->FindUser(name);
    if (account == nullptr) return request->SendResult("Loginin", "Fail", kNoSuchUser);
    FinishLogin(core, *request, name, *account);
  } catch (...) {
    // As in the dispatcher: a failing login ends without a reply and the
    // connection stays open.
    NoteQuietFailure("login");
  }
}

}  // namespace

void HandleLoginin(Request& request) {
  ServerCore& core = request.core;
  const ParsedEnvelope& env = request.envelope;
  std::optional<std::string> username = env.Field("username");
  if (!username) return;
  const std::string name = AccountName(*username);

  const auto dir = core.Dir().Get();
  const TUserInfo* account = dir->FindUser(name);
  if (account == nullptr) return request.SendResult("Loginin", "Fail", kNoSuchUser);
  std::optional<std::string> pwd = env.Field("pwd");
  const CoreModules& modules = core.Modules();
  if (pwd && modules.PasswordFromDirectory && modules.CheckDirectoryPassword &&
      modules.PasswordFromDirectory(core, name)) {
    // The directory is asked off this lane: other logins go on meanwhile,
    // and the rest of this one comes back to the lane with the verdict.
    std::optional<ParsedEnvelope> again = ParsedEnvelope::Read(request.body);
    if (!again) return;
    auto held = std::make_shared<Request>(Request{core, request.connection, std::move(*again), request.body});
    modules.CheckDirectoryPassword(core, name, *pwd, [held, name](DirectoryVerdict verdict) {
      held->core.PostOnlineLane([held, name, verdict] { ResumeLogin(held, name, verdict); });
    });
    return;
  }
  if (!pwd || *pwd != account->pwd) return request.SendResult("Loginin", "Fail", kWrongPassword);
  FinishLogin(request.core, request, name, *account);
}

// Logging out is done by the UDP "Loginout"; the TCP request is accepted and
// ignored.
void HandleLoginout(Request&) {}

}  // namespace corvan
