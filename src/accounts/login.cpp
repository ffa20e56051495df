// "Loginin" and "Loginout" over TCP.
#include "accounts/login.h"

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"
#include "accounts/replies.h"
#include "base/quiet_failure.h"
#include "offline/offline.h"
#include "presence/announcements.h"
#include "presence/notices.h"
#include "presence/presence.h"
#include "server/counters.h"
#include "server/name_turns.h"
#include "server/request.h"
#include "server/server_core.h"
#include "server/udp.h"

namespace corvan {

std::optional<std::string> AddressToProbe(ServerCore& core, const std::string& name, const std::string& address) {
  const TUserOnlineInfo* entry = core.Online().OnlineUsers.Find(name);
  if (entry == nullptr) return std::nullopt;
  if (entry->IP == address) {
    core.Online().OnlineUsers.Remove(name);
    return std::nullopt;
  }
  return entry->IP;
}

bool ApplyProbe(ServerCore& core, const std::string& name, const std::string& probedIp, ProbeResult result) {
  TUserOnlineInfo* entry = core.Online().OnlineUsers.Find(name);
  if (entry != nullptr && entry->IP != probedIp) entry = nullptr;
  switch (result) {
    case ProbeResult::kAnswered:
      if (entry != nullptr) entry->LastSeen = Clock::now();
      return true;
    case ProbeResult::kSilent:
    case ProbeResult::kOtherAnswer: return false;
    case ProbeResult::kNotXml:
    case ProbeResult::kSendFailed:
      if (entry != nullptr) core.Online().OnlineUsers.Remove(entry);
      return false;
  }
  return false;
}

std::string TakeOverAddress(ServerCore& core, const std::string& name, const std::string& address) {
  const TUserOnlineInfo* entry = core.Online().OnlineUsers.FindByIp(address);
  if (entry == nullptr || entry->UserName == name) return {};
  std::string displaced = entry->UserName;
  core.Online().OnlineUsers.Remove(entry);
  return displaced;
}

void RecordLogin(ServerCore& core, const std::string& name, const std::string& mac, const std::string& address) {
  if (TUserOnlineInfo* entry = core.Online().OnlineUsers.Find(name)) {
    entry->Mac = mac;
    core.Online().OnlineUsers.SetIp(entry, address);
    entry->LastSeen = Clock::now();
    return;
  }
  TUserOnlineInfo entry;
  entry.UserName = name;
  entry.Mac = mac;
  entry.IP = address;
  entry.LastSeen = Clock::now();
  core.Online().OnlineUsers.Add(std::move(entry));
}

void BroadcastOnline(ServerCore& core, const std::string& name, const std::string& address) {
  QueueNotice(NoticeOwnersOf(core), core.Online().OnlineUsers.Recipients(), BuildOnlineNotice(name, address));
}

namespace {

// A login whose password was found right, from the online check on.
struct AdmittedLogin {
  std::shared_ptr<Connection> connection;  // the reply goes here
  std::string name;
  std::string mac;
  std::string nickname;  // the account's, for the reply
  const std::string& Address() const { return connection->PeerAddress(); }
};

void ContinueLogin(ServerCore& core, const AdmittedLogin& login) CORVAN_REQUIRES(core.Online().OnlineLock);

// The login once nothing stands against it: the entry, the reply, the
// notices (queued on the fan-out lane, so the reply does not wait for them)
// and the deliveries.
void CompleteLogin(ServerCore& core, const AdmittedLogin& login) CORVAN_REQUIRES(core.Online().OnlineLock) {
  const std::string& address = login.Address();
  std::string displaced = TakeOverAddress(core, login.name, address);
  RecordLogin(core, login.name, login.mac, address);
  Bump(Counters().logins);
  login.connection->SendReply(BuildLoginSuccess(login.nickname, address));
  BroadcastOnline(core, login.name, address);
  core.Log().AppendEvent("用户：" + login.name + "登录!");
  if (!displaced.empty()) QueueOfflineNotice(core, displaced, address);
  StartSearchOffline(core, login.name, address);
  QueueInformationNotice(core, std::make_shared<const RecipientList>(RecipientList{Ipv4OrZero(address)}),
                         core.Settings().Information());
}

// Gives the next logins of `name`, which waited for a probe, their turns in
// order, until one of them probes in its turn.
void NextLoginsOf(ServerCore& core, const std::string& name) CORVAN_REQUIRES(core.Online().OnlineLock) {
  core.Online().LoginTurns.Release(name);
  while (NameTurns::Job next = core.Online().LoginTurns.Next(name)) {
    try {
      next();
    } catch (...) {
      // As in the dispatcher: a failing login ends without a reply; the
      // logins behind it still get their turns.
      NoteQuietFailure("login");
    }
  }
}

// The probe of the other machine is over: the login ends as it would have
// had the lane waited for the answer.
void ResumeAfterProbe(ServerCore& core, const AdmittedLogin& login, const std::string& probedIp, ProbeResult result)
    CORVAN_REQUIRES(core.Online().OnlineLock) {
  try {
    if (ApplyProbe(core, login.name, probedIp, result)) {
      login.connection->SendReply(BuildResult("Loginin", "Fail", kOnlineElsewhere));
    } else {
      CompleteLogin(core, login);
    }
  } catch (...) {
    // As in the dispatcher: a failing login ends without a reply.
    NoteQuietFailure("login");
  }
  NextLoginsOf(core, login.name);
}

// The online check and what follows. While the account is listed at another
// address, that machine is asked whether it is still logged in; the lane
// does not wait for the answer: this login is parked, other requests go on,
// and a later login of the same account waits for this one's turn to end.
void ContinueLogin(ServerCore& core, const AdmittedLogin& login) {
  if (core.Online().LoginTurns.Held(login.name)) {
    core.Online().LoginTurns.Wait(login.name, [&core, login] {
      core.Online().OnlineLock.AssertHeld();  // run by NextLoginsOf
      ContinueLogin(core, login);
    });
    return;
  }
  std::optional<std::string> probed = AddressToProbe(core, login.name, login.Address());
  if (!probed) return CompleteLogin(core, login);
  core.Online().LoginTurns.Hold(login.name);
  try {
    AskStatus(core, login.name, *probed, [&core, login, ip = *probed](ProbeResult result) {
      core.Run().PostOnlineLane([&core, login, ip, result] {
        MutexLock lock(core.Online().OnlineLock);
        ResumeAfterProbe(core, login, ip, result);
      });
    });
  } catch (...) {
    NextLoginsOf(core, login.name);
    throw;
  }
}

// The login after the password was found right. Runs with OnlineLock held;
// `core` is the request's core.
void FinishLogin(ServerCore& core, Request& request, const std::string& name, const TUserInfo& account)
    CORVAN_REQUIRES(core.Online().OnlineLock) {
  ContinueLogin(core, AdmittedLogin{request.connection, name, request.envelope.Field("Mac").value_or(std::string()),
                                    account.nickname});
}

// The directory's verdict, back on the online lane.
void ResumeLogin(const std::shared_ptr<Request>& request, const std::string& name, DirectoryVerdict verdict,
                 LoginAttempt& attempt) {
  ServerCore& core = request->core;
  MutexLock lock(core.Online().OnlineLock);
  try {
    if (verdict == DirectoryVerdict::kWrong) {
      attempt.End(LoginOutcome::kWrong);
      return request->SendResult("Loginin", "Fail", kWrongPassword);
    }
    if (verdict == DirectoryVerdict::kDisabled) {
      attempt.End(LoginOutcome::kUnjudged);
      return request->SendResult("Loginin", "Fail", kAccountDisabled);
    }
    if (verdict == DirectoryVerdict::kUnreachable) {
      attempt.End(LoginOutcome::kUnjudged);
      request->SendResult("Loginin", "Fail", kDirectoryUnreachable);
      core.Log().AppendEvent("用户：" + name + "登录失败，目录服务器无法连接");
      return;
    }
    attempt.End(LoginOutcome::kRight);
    // The account may have been removed while the directory answered.
    const auto dir = core.Dir().Get();
    const TUserInfo* account = dir->FindUser(name);
    if (account == nullptr) return request->SendResult("Loginin", "Fail", kNoSuchUser);
    // Or locked by a sync meanwhile.
    if (core.Modules().AccountLocked && core.Modules().AccountLocked(core, name))
      return request->SendResult("Loginin", "Fail", kAccountDisabled);
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
  // Refused before any password check: a locked account asks nobody.
  if (modules.AccountLocked && modules.AccountLocked(core, name))
    return request.SendResult("Loginin", "Fail", kAccountDisabled);
  // Too many failures of this account or from this address: the password
  // is not checked at all (and the directory not asked).
  auto attempt = std::make_shared<LoginAttempt>(core, name, request.PeerAddress());
  if (attempt->Refused()) return request.SendResult("Loginin", "Fail", kWrongPassword);
  if (pwd && modules.PasswordFromDirectory && modules.CheckDirectoryPassword &&
      modules.PasswordFromDirectory(core, name)) {
    // The directory is asked off this lane: other logins go on meanwhile,
    // and the rest of this one comes back to the lane with the verdict.
    std::optional<ParsedEnvelope> again = ParsedEnvelope::Read(request.body);
    if (!again) return;
    auto held = std::make_shared<Request>(Request{core, request.connection, std::move(*again), request.body});
    modules.CheckDirectoryPassword(core, name, *pwd, [held, name, attempt](DirectoryVerdict verdict) {
      held->core.Run().PostOnlineLane([held, name, verdict, attempt] { ResumeLogin(held, name, verdict, *attempt); });
    });
    return;
  }
  if (!pwd || *pwd != account->pwd) {
    attempt->End(LoginOutcome::kWrong);
    return request.SendResult("Loginin", "Fail", kWrongPassword);
  }
  attempt->End(LoginOutcome::kRight);
  FinishLogin(request.core, request, name, *account);
}

// Logging out is done by the UDP "Loginout"; the TCP request is accepted and
// ignored.
void HandleLoginout(Request&) {}

}  // namespace corvan
