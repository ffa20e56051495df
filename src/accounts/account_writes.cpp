// Self-registration and the user's own profile and password changes. Each
// handler runs with AccountLock held by the dispatcher.
//
// The directory and the database change together: the statements run inside
// Directory::Update, so when the database refuses a write the in-memory
// account stays as it was, and the client is told the change failed.
#include <optional>

#include "accounts/handlers.h"
#include "accounts/login_throttle.h"
#include "accounts/replies.h"
#include "presence/presence.h"
#include "server/request.h"
#include "server/settings_store.h"
#include "server/status_log.h"
#include "storage/account_store.h"
#include "storage/directory.h"
#include "storage/schema.h"

namespace corvan {

namespace {

// Index of the first account of that name in a draft, or -1.
std::ptrdiff_t FindInDraft(const Directory::Draft& draft, std::string_view name) {
  for (std::size_t i = 0; i < draft.users.size(); ++i) {
    if (draft.users[i]->username == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

enum class RegOutcome { kStored, kNameTaken, kNoSuchOrg, kDatabaseError };

// Checks and stores under the directory's writer mutex, so an account made
// meanwhile by the console cannot slip in between the check and the append.
RegOutcome StoreNewUser(const AccountOwners& owners, const RegistrationFields& fields, const TUserInfo& account) {
  RegOutcome outcome = RegOutcome::kStored;
  owners.directory.Update([&](Directory::Draft& draft) {
    UserPtr entry = MakeUser(account, draft.orgs);
    if (FindInDraft(draft, entry->username) >= 0) {
      outcome = RegOutcome::kNameTaken;
      return false;
    }
    bool orgFound = false;
    for (const auto& org : draft.orgs) {
      if (org->organizeNo == fields.organizeNo) {
        orgFound = true;
        break;
      }
    }
    if (!orgFound) {
      outcome = RegOutcome::kNoSuchOrg;
      return false;
    }
    draft.users.push_back(entry);
    if (!AccountStore(owners.db)
             .InTransaction([&](AccountWriter& w) { return w.InsertRegisteredAccount(*entry); })
             .IsOk()) {
      outcome = RegOutcome::kDatabaseError;
      return false;
    }
    return true;
  });
  return outcome;
}

}  // namespace

void HandleReg(const AccountOwners& owners, Request& request) {
  if (!owners.settings.AllowReg()) return request.SendResult("Reg", "Fail", kRegNotAllowed);
  if (!request.envelope.HasStruct()) return;
  const RegistrationFields fields = ReadRegistration(request.envelope);
  const TUserInfo account = NewAccountFrom(fields);
  if (!FieldsWithinBound(account)) return request.SendResult("Reg", "Fail", kFieldTooLong);
  if (StoredText(account.username).empty()) return request.SendResult("Reg", "Fail", kRegEmptyName);
  switch (StoreNewUser(owners, fields, account)) {
    case RegOutcome::kNameTaken: return request.SendResult("Reg", "Fail", kRegNameTaken);
    case RegOutcome::kNoSuchOrg: return request.SendResult("Reg", "Fail", kRegNoSuchOrg);
    case RegOutcome::kDatabaseError:
      request.SendResult("Reg", "Fail", kDatabaseError);
      owners.log.AppendEvent("用户：" + account.username + "注册失败");
      return;
    case RegOutcome::kStored: break;
  }
  request.SendResult("Reg", "success", kRegSucceeded);
  StartNewUserRegNotice(owners, account.username, fields.nickname, fields.organizeNo);
  owners.log.AppendEvent("用户：" + account.username + "注册成功");
}

void HandleUpdateInfo(const AccountOwners& owners, Request& request) {
  const ParsedEnvelope& env = request.envelope;
  if (!env.HasStruct()) return;
  const std::string name = AccountName(env.Field("username").value_or(std::string()));
  TUserInfo card;
  for (const auto& f : kCardFields) card.*f.member = std::string(Trim(env.Field(f.element).value_or(std::string())));
  if (!FieldsWithinBound(card)) return request.SendResult("UpdateInfo", "Fail", kFieldTooLong);
  for (const auto& f : kCardFields) card.*f.member = StoredText(card.*f.member);

  bool found = false;
  bool stored = owners.directory.Update([&](Directory::Draft& draft) {
    const std::ptrdiff_t i = FindInDraft(draft, name);
    if (i < 0) return false;
    found = true;
    TUserInfo changed = *draft.users[i];
    for (const auto& f : kCardFields) changed.*f.member = card.*f.member;
    if (!AccountStore(owners.db).InTransaction([&](AccountWriter& w) { return w.UpdateCard(card, name); }).IsOk())
      return false;
    draft.users[i] = std::make_shared<const TUserInfo>(std::move(changed));
    return true;
  });
  if (!found) return request.SendResult("UpdateInfo", "Fail", kNoSuchUser);
  if (!stored) {
    request.SendResult("UpdateInfo", "Fail", kDatabaseError);
    owners.log.AppendEvent("用户：" + name + "修改资料失败");
    return;
  }
  request.SendResult("UpdateInfo", "success", kInfoUpdated);
  owners.log.AppendEvent("用户：" + name + "修改资料成功");
}

void HandleUpdatePassword(const AccountOwners& owners, Request& request) {
  const ParsedEnvelope& env = request.envelope;
  if (!env.HasStruct()) return;
  const std::string name = AccountName(env.Field("username").value_or(std::string()));
  const std::string oldPwd = env.Field("Oripwd").value_or(std::string());
  const std::string newPwd = env.Field("Newpwd").value_or(std::string());
  if (owners.hooks.PasswordFromDirectory(name))
    return request.SendResult("UpdatePassword", "Fail", kPasswordFromDirectory);
  // The current password is checked here as at a login, so the same
  // throttle counts it: guesses cannot go round the login's.
  std::optional<LoginAttempt> attempt;
  if (owners.directory.Get()->UserExists(name)) {
    attempt.emplace(owners.hooks, name, request.PeerAddress());
    if (attempt->Refused()) return request.SendResult("UpdatePassword", "Fail", kOldPasswordWrong);
  }

  enum class Outcome { kNoUser, kWrongPassword, kDatabaseError, kChanged } outcome = Outcome::kNoUser;
  owners.directory.Update([&](Directory::Draft& draft) {
    const std::ptrdiff_t i = FindInDraft(draft, name);
    if (i < 0) return false;
    if (draft.users[i]->pwd != oldPwd) {
      outcome = Outcome::kWrongPassword;
      return false;
    }
    TUserInfo changed = *draft.users[i];
    changed.pwd = newPwd;
    if (!AccountStore(owners.db).InTransaction([&](AccountWriter& w) { return w.SetPassword(name, newPwd); }).IsOk()) {
      outcome = Outcome::kDatabaseError;
      return false;
    }
    draft.users[i] = std::make_shared<const TUserInfo>(std::move(changed));
    outcome = Outcome::kChanged;
    return true;
  });
  if (attempt && (outcome == Outcome::kWrongPassword || outcome == Outcome::kChanged))
    attempt->End(outcome == Outcome::kChanged ? LoginOutcome::kRight : LoginOutcome::kWrong);
  switch (outcome) {
    case Outcome::kNoUser: return request.SendResult("UpdatePassword", "Fail", kNoSuchUserName);
    case Outcome::kWrongPassword: return request.SendResult("UpdatePassword", "Fail", kOldPasswordWrong);
    case Outcome::kDatabaseError:
      request.SendResult("UpdatePassword", "Fail", kDatabaseError);
      owners.log.AppendEvent("用户：" + name + "修改密码失败");
      return;
    case Outcome::kChanged: break;
  }
  request.SendResult("UpdatePassword", "success", kPasswordUpdated);
  owners.log.AppendEvent("用户：" + name + "修改密码成功");
}

}  // namespace corvan
