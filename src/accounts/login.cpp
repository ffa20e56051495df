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
#include "server/executors.h"
#include "server/name_turns.h"
#include "server/request.h"
#include "server/settings_store.h"
#include "server/status_log.h"
#include "server/udp.h"
#include "storage/directory.h"

namespace corvan {

std::optional<std::string> AddressToProbe(OnlineRegistry& online, const std::string& name, const std::string& address) {
  const TUserOnlineInfo* entry = online.OnlineUsers.Find(name);
  if (entry == nullptr) return std::nullopt;
  if (entry->IP == address) {
    online.OnlineUsers.Remove(name);
    return std::nullopt;
  }
  return entry->IP;
}

bool ApplyProbe(OnlineRegistry& online, const std::string& name, const std::string& probedIp, ProbeResult result) {
  TUserOnlineInfo* entry = online.OnlineUsers.Find(name);
  if (entry != nullptr && entry->IP != probedIp) entry = nullptr;
  switch (result) {
    case ProbeResult::kAnswered:
      if (entry != nullptr) entry->LastSeen = Clock::now();
      return true;
    case ProbeResult::kSilent:
    case ProbeResult::kOtherAnswer: return false;
    case ProbeResult::kNotXml:
    case ProbeResult::kSendFailed:
      if (entry != nullptr) online.OnlineUsers.Remove(entry);
      return false;
  }
  return false;
}

std::string TakeOverAddress(OnlineRegistry& online, const std::string& name, const std::string& address) {
  const TUserOnlineInfo* entry = online.OnlineUsers.FindByIp(address);
  if (entry == nullptr || entry->UserName == name) return {};
  std::string displaced = entry->UserName;
  online.OnlineUsers.Remove(entry);
  return displaced;
}

void RecordLogin(OnlineRegistry& online, const std::string& name, const std::string& mac, const std::string& address) {
  if (TUserOnlineInfo* entry = online.OnlineUsers.Find(name)) {
    entry->Mac = mac;
    online.OnlineUsers.SetIp(entry, address);
    entry->LastSeen = Clock::now();
    return;
  }
  TUserOnlineInfo entry;
  entry.UserName = name;
  entry.Mac = mac;
  entry.IP = address;
  entry.LastSeen = Clock::now();
  online.OnlineUsers.Add(std::move(entry));
}

void BroadcastOnline(const NoticeOwners& owners, const std::string& name, const std::string& address) {
  QueueNotice(owners, owners.online.OnlineUsers.Recipients(), BuildOnlineNotice(name, address));
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

void ContinueLogin(const AccountOwners& owners, const AdmittedLogin& login) CORVAN_REQUIRES(owners.online.OnlineLock);

// The login once nothing stands against it: the entry, the reply, the
// notices (queued on the fan-out lane, so the reply does not wait for them)
// and the deliveries.
void CompleteLogin(const AccountOwners& owners, const AdmittedLogin& login) CORVAN_REQUIRES(owners.online.OnlineLock) {
  const std::string& address = login.Address();
  std::string displaced = TakeOverAddress(owners.online, login.name, address);
  RecordLogin(owners.online, login.name, login.mac, address);
  Bump(Counters().logins);
  login.connection->SendReply(BuildLoginSuccess(login.nickname, address));
  BroadcastOnline(owners, login.name, address);
  owners.log.AppendEvent("用户：" + login.name + "登录!");
  if (!displaced.empty()) QueueOfflineNotice(owners, displaced, address);
  StartSearchOffline(owners.offline, login.name, address);
  QueueInformationNotice(owners, std::make_shared<const RecipientList>(RecipientList{Ipv4OrZero(address)}),
                         owners.settings.Information());
}

// Gives the next logins of `name`, which waited for a probe, their turns in
// order, until one of them probes in its turn.
void NextLoginsOf(const AccountOwners& owners, const std::string& name) CORVAN_REQUIRES(owners.online.OnlineLock) {
  owners.online.LoginTurns.Release(name);
  while (NameTurns::Job next = owners.online.LoginTurns.Next(name)) {
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
void ResumeAfterProbe(const AccountOwners& owners, const AdmittedLogin& login, const std::string& probedIp,
                      ProbeResult result) CORVAN_REQUIRES(owners.online.OnlineLock) {
  try {
    if (ApplyProbe(owners.online, login.name, probedIp, result)) {
      login.connection->SendReply(BuildResult("Loginin", "Fail", kOnlineElsewhere));
    } else {
      CompleteLogin(owners, login);
    }
  } catch (...) {
    // As in the dispatcher: a failing login ends without a reply.
    NoteQuietFailure("login");
  }
  NextLoginsOf(owners, login.name);
}

// The online check and what follows. While the account is listed at another
// address, that machine is asked whether it is still logged in; the lane
// does not wait for the answer: this login is parked, other requests go on,
// and a later login of the same account waits for this one's turn to end.
void ContinueLogin(const AccountOwners& owners, const AdmittedLogin& login) {
  if (owners.online.LoginTurns.Held(login.name)) {
    owners.online.LoginTurns.Wait(login.name, [owners, login] {
      owners.online.OnlineLock.AssertHeld();  // run by NextLoginsOf
      ContinueLogin(owners, login);
    });
    return;
  }
  std::optional<std::string> probed = AddressToProbe(owners.online, login.name, login.Address());
  if (!probed) return CompleteLogin(owners, login);
  owners.online.LoginTurns.Hold(login.name);
  try {
    AskStatus(owners, login.name, *probed, [owners, login, ip = *probed](ProbeResult result) {
      owners.run.PostOnlineLane([owners, login, ip, result] {
        MutexLock lock(owners.online.OnlineLock);
        ResumeAfterProbe(owners, login, ip, result);
      });
    });
  } catch (...) {
    NextLoginsOf(owners, login.name);
    throw;
  }
}

// The login after the password was found right. Runs with OnlineLock held.
void FinishLogin(const AccountOwners& owners, Request& request, const std::string& name, const TUserInfo& account)
    CORVAN_REQUIRES(owners.online.OnlineLock) {
  ContinueLogin(owners, AdmittedLogin{request.connection, name, request.envelope.Field("Mac").value_or(std::string()),
                                      account.nickname});
}

// The directory's verdict, back on the online lane.
void ResumeLogin(const AccountOwners& owners, const std::shared_ptr<Request>& request, const std::string& name,
                 DirectoryVerdict verdict, LoginAttempt& attempt) {
  MutexLock lock(owners.online.OnlineLock);
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
      owners.log.AppendEvent("用户：" + name + "登录失败，目录服务器无法连接");
      return;
    }
    attempt.End(LoginOutcome::kRight);
    // The account may have been removed while the directory answered.
    const auto dir = owners.directory.Get();
    const TUserInfo* account = dir->FindUser(name);
    if (account == nullptr) return request->SendResult("Loginin", "Fail", kNoSuchUser);
    // Or locked by a sync meanwhile.
    if (owners.hooks.AccountLocked(name)) return request->SendResult("Loginin", "Fail", kAccountDisabled);
    FinishLogin(owners, *request, name, *account);
  } catch (...) {
    // As in the dispatcher: a failing login ends without a reply and the
    // connection stays open.
    NoteQuietFailure("login");
  }
}

}  // namespace

void HandleLoginin(const AccountOwners& owners, Request& request) {
  const ParsedEnvelope& env = request.envelope;
  std::optional<std::string> username = env.Field("username");
  if (!username) return;
  const std::string name = AccountName(*username);

  const auto dir = owners.directory.Get();
  const TUserInfo* account = dir->FindUser(name);
  if (account == nullptr) return request.SendResult("Loginin", "Fail", kNoSuchUser);
  std::optional<std::string> pwd = env.Field("pwd");
  // Refused before any password check: a locked account asks nobody.
  if (owners.hooks.AccountLocked(name)) return request.SendResult("Loginin", "Fail", kAccountDisabled);
  // Too many failures of this account or from this address: the password
  // is not checked at all (and the directory not asked).
  auto attempt = std::make_shared<LoginAttempt>(owners.hooks, name, request.PeerAddress());
  if (attempt->Refused()) return request.SendResult("Loginin", "Fail", kWrongPassword);
  if (pwd && owners.hooks.CanCheckDirectoryPassword() && owners.hooks.PasswordFromDirectory(name)) {
    // The directory is asked off this lane: other logins go on meanwhile,
    // and the rest of this one comes back to the lane with the verdict.
    auto held = std::make_shared<Request>(request);
    owners.hooks.CheckDirectoryPassword(name, *pwd, [owners, held, name, attempt](DirectoryVerdict verdict) {
      owners.run.PostOnlineLane(
          [owners, held, name, verdict, attempt] { ResumeLogin(owners, held, name, verdict, *attempt); });
    });
    return;
  }
  if (!pwd || *pwd != account->pwd) {
    attempt->End(LoginOutcome::kWrong);
    return request.SendResult("Loginin", "Fail", kWrongPassword);
  }
  attempt->End(LoginOutcome::kRight);
  FinishLogin(owners, request, name, *account);
}

// Logging out is done by the UDP "Loginout"; the TCP request is accepted and
// ignored.
void HandleLoginout(const PresenceOwners&, Request&) {}

}  // namespace corvan
