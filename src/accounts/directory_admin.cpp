#include "accounts/directory_admin.h"

#include "accounts/replies.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "base/text.h"
#include "storage/account_fields.h"
#include "storage/account_store.h"
#include "storage/schema.h"

namespace corvan {

namespace {

const TorgInfo* FirstOrg(const std::vector<AdminOrgPtr>& orgs, std::string_view code) {
  for (const auto& org : orgs)
    if (org->organizeNo == code) return org.get();
  return nullptr;
}

int FirstUserIndex(const std::vector<AdminUserPtr>& users, std::string_view name) {
  for (std::size_t i = 0; i < users.size(); ++i)
    if (users[i]->username == name) return static_cast<int>(i);
  return -1;
}

std::string Trimmed(std::string_view s) { return std::string(Trim(s)); }

// A form or a request the checks refuse, with the message to show.
Status Refusal(std::string_view message) { return Status(StatusCode::kInvalidInput, std::string(message)); }

// A refusal that shows nothing.
Status SilentRefusal() { return Status(StatusCode::kRefused, std::string()); }

// Runs `change` as one directory update; a failure it returns leaves the
// directory unchanged.
Status Apply(Directory& dir, const std::function<Status(Directory::Draft&)>& change) {
  Status result;
  dir.Update([&](Directory::Draft& draft) {
    result = change(draft);
    return result.IsOk();
  });
  return result;
}

// Runs `write` in one transaction of the account store; a database
// failure becomes the database error message.
Status Write(Database& db, const std::function<Status(AccountWriter&)>& write) {
  Status written = AccountStore(db).InTransaction(write);
  if (written.Code() == StatusCode::kDatabaseFailed)
    return Status(StatusCode::kDatabaseFailed, std::string(kDatabaseErrorMessage));
  return written;
}

}  // namespace

std::string MoveUsersQuestion(std::size_t count, std::string_view orgCaption) {
  return "是否要将这" + std::to_string(count) + "个用户加入到" + std::string(orgCaption) + "下？";
}

// --- Pure computations ---------------------------------------------------------

bool HasCodePrefix(std::string_view code, std::string_view prefix) { return code.substr(0, prefix.size()) == prefix; }

std::optional<std::string> NextOrgNo(const std::vector<AdminOrgPtr>& orgs, std::string_view parentCode) {
  std::unordered_set<std::string> taken;
  for (const auto& org : orgs) taken.insert(org->organizeNo);
  return NextOrgNo(taken, parentCode);
}

std::optional<std::string> NextOrgNo(const std::unordered_set<std::string>& taken, std::string_view parentCode) {
  std::string candidate(parentCode);
  candidate.append("000");
  const std::size_t at = parentCode.size();
  for (char d1 = '0'; d1 <= '9'; ++d1)
    for (char d2 = '0'; d2 <= '9'; ++d2)
      for (char d3 = '1'; d3 <= '9'; ++d3) {
        candidate[at] = d1;
        candidate[at + 1] = d2;
        candidate[at + 2] = d3;
        if (!taken.contains(candidate)) return candidate;
      }
  return std::nullopt;
}

std::vector<AdminUserPtr> UsersUnder(const DirectorySnapshot& dir, std::string_view code) {
  std::vector<AdminUserPtr> result;
  for (const auto& user : dir.Users())
    if (HasCodePrefix(user->organizeNo, code)) result.push_back(user);
  return result;
}

std::optional<std::int64_t> ParseDisplayOrder(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty()) return std::nullopt;
  std::optional<std::int64_t> v = ParseInt64(t);
  if (!v || *v < 0 || *v > 10000) return std::nullopt;
  return v;
}

OrgTree::OrgTree(const DirectorySnapshot& dir) {
  nodes_.push_back(
      Node{std::make_shared<const TorgInfo>(TorgInfo{dir.CompanyName(), std::string(kRootOrgNo), "", 0}), -1, {}});
  std::unordered_map<std::string_view, int> byCode;
  byCode.emplace(kRootOrgNo, kRoot);
  const auto& orgs = dir.Orgs();
  std::unordered_set<std::string_view> placing;  // codes whose parent is being placed

  // Places the first department of `code` (and, before it, its ancestors);
  // returns its node.
  std::function<int(const AdminOrgPtr&)> place = [&](const AdminOrgPtr& org) -> int {
    if (auto it = byCode.find(org->organizeNo); it != byCode.end()) return it->second;
    placing.insert(org->organizeNo);
    int parent = kRoot;
    if (!org->parNo.empty() && org->parNo != org->organizeNo) {
      if (auto it = byCode.find(org->parNo); it != byCode.end()) {
        parent = it->second;
      } else if (!placing.contains(org->parNo)) {
        for (const auto& candidate : orgs)
          if (candidate->organizeNo == org->parNo) {
            parent = place(candidate);
            break;
          }
      }
    }
    placing.erase(org->organizeNo);
    // A cycle may have placed this code meanwhile.
    if (auto it = byCode.find(org->organizeNo); it != byCode.end()) return it->second;
    int index = static_cast<int>(nodes_.size());
    nodes_.push_back(Node{org, parent, {}});
    nodes_[static_cast<std::size_t>(parent)].children.push_back(index);
    byCode.emplace(nodes_.back().record->organizeNo, index);
    return index;
  };
  for (const auto& org : orgs) place(org);

  for (std::size_t i = 0; i < nodes_.size(); ++i) byCode_.emplace(nodes_[i].record->organizeNo, static_cast<int>(i));
  for (auto& node : nodes_)
    std::stable_sort(node.children.begin(), node.children.end(),
                     [this](int a, int b) { return At(a).record->orgID < At(b).record->orgID; });
}

std::vector<int> OrgTree::TreeOrder() const {
  std::vector<int> order;
  if (nodes_.empty()) return order;
  order.reserve(nodes_.size());
  std::vector<int> stack{kRoot};
  while (!stack.empty()) {
    int n = stack.back();
    stack.pop_back();
    order.push_back(n);
    const auto& children = At(n).children;
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  return order;
}

int OrgTree::Find(std::string_view code) const {
  // Each code has one node, so the first in tree order is the only one.
  auto it = byCode_.find(std::string(code));
  return it == byCode_.end() ? -1 : it->second;
}

std::string OrgTree::Path(int node) const {
  std::vector<const std::string*> names;
  for (int n = node; n > kRoot; n = At(n).parent) names.push_back(&At(n).record->organizename);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) path += '\\';
    path += **it;
  }
  return path;
}

bool OrgTree::ChildNamed(int parent, std::string_view name, int except) const {
  if (parent < 0) return false;
  for (int c : At(parent).children)
    if (c != except && At(c).record->organizename == name) return true;
  return false;
}

std::vector<OrgChoice> OrgChoices(const OrgTree& tree) {
  std::vector<OrgChoice> choices;
  for (int n : tree.TreeOrder())
    if (n != OrgTree::kRoot) choices.push_back({tree.Path(n), tree.At(n).record->organizeNo});
  return choices;
}

// --- Accounts ------------------------------------------------------------------

Status CheckUserForm(const std::vector<AdminUserPtr>& users, const UserForm& form,
                     const std::optional<std::string>& origLoginName) {
  // The name as it will be stored: a name that only differs in what cannot
  // be stored is the same name.
  std::string name = AsciiUpper(StoredText(Trim(form.username)));
  if (Trim(name).empty() || Trim(form.pwd).empty() || Trim(form.nickname).empty() || form.orgShown.empty())
    return Refusal(kRequiredFieldsMessage);
  if (!ParseDisplayOrder(form.userId)) return Refusal(kOrderNumberMessage);
  bool renamed = !origLoginName || AsciiUpper(*origLoginName) != name;
  if (renamed && FirstUserIndex(users, name) >= 0) return Refusal(kNameExistsMessage);
  return Status::Ok();
}

TUserInfo UserFromForm(const UserForm& form, const std::vector<AdminOrgPtr>& orgs) {
  TUserInfo u;
  for (const AccountField& f : kAccountFields)
    u.*f.member = f.member == &AccountTexts::self_desc ? form.*f.member : Trimmed(form.*f.member);
  u.username = AsciiUpper(u.username);
  const TorgInfo* org = FirstOrg(orgs, u.organizeNo);
  u.organizename = org ? org->organizename : std::string();
  u.USERID = ParseDisplayOrder(form.userId).value_or(0);
  return u;
}

Status SaveNewUser(Directory& dir, Database& db, const UserForm& form, TUserInfo* saved) {
  return Apply(dir, [&](Directory::Draft& draft) {
    Status check = CheckUserForm(draft.users, form);
    if (!check.IsOk()) return check;
    UserPtr user = MakeUser(UserFromForm(form, draft.orgs), draft.orgs);
    if (Status written = Write(db, [&](AccountWriter& w) { return w.InsertAccount(*user); }); !written.IsOk())
      return written;
    if (saved) *saved = *user;
    draft.users.push_back(std::move(user));
    return Status::Ok();
  });
}

Status SaveNewUsers(Directory& dir, Database& db, const std::vector<UserForm>& forms, std::size_t* failedIndex,
                    std::vector<TUserInfo>* saved) {
  std::vector<TUserInfo> made;
  Status result = Apply(dir, [&](Directory::Draft& draft) {
    std::vector<UserPtr> users;
    users.reserve(forms.size());
    for (std::size_t i = 0; i < forms.size(); ++i) {
      // Each row is checked against the accounts before it, the earlier
      // rows of the file included, as one save after another would be.
      Status check = CheckUserForm(draft.users, forms[i]);
      if (!check.IsOk()) {
        if (failedIndex) *failedIndex = i;
        return check;
      }
      users.push_back(MakeUser(UserFromForm(forms[i], draft.orgs), draft.orgs));
      draft.users.push_back(users.back());
    }
    Status written = Write(db, [&](AccountWriter& w) {
      for (const auto& user : users)
        if (Status inserted = w.InsertAccount(*user); !inserted.IsOk()) return inserted;
      return Status::Ok();
    });
    if (!written.IsOk()) return written;
    for (const auto& user : users) made.push_back(*user);
    return Status::Ok();
  });
  if (result.IsOk() && saved) *saved = std::move(made);
  return result;
}

Status SaveUser(Directory& dir, Database& db, const UserForm& form, const std::string& origLoginName,
                TUserInfo* saved) {
  return Apply(dir, [&](Directory::Draft& draft) {
    Status check = CheckUserForm(draft.users, form, origLoginName);
    if (!check.IsOk()) return check;
    UserPtr user = MakeUser(UserFromForm(form, draft.orgs), draft.orgs);
    if (Status written = Write(db, [&](AccountWriter& w) { return w.UpdateAccount(*user, origLoginName); });
        !written.IsOk())
      return written;
    if (saved) *saved = *user;
    int index = FirstUserIndex(draft.users, origLoginName);
    if (index >= 0) draft.users[static_cast<std::size_t>(index)] = std::move(user);
    return Status::Ok();
  });
}

Status DeleteUser(Directory& dir, Database& db, const std::string& username) {
  return Apply(dir, [&](Directory::Draft& draft) {
    if (Status written = Write(db, [&](AccountWriter& w) { return w.DeleteAccount(username); }); !written.IsOk())
      return written;
    int index = FirstUserIndex(draft.users, username);
    if (index >= 0) draft.users.erase(draft.users.begin() + index);
    return Status::Ok();
  });
}

Status MoveUsers(Directory& dir, Database& db, const std::vector<std::string>& usernames, std::string_view code) {
  const std::string target = StoredText(code);
  return Apply(dir, [&](Directory::Draft& draft) {
    std::string orgName;
    if (target == kRootOrgNo) {
      orgName = draft.companyName;
    } else if (const TorgInfo* org = FirstOrg(draft.orgs, target)) {
      orgName = org->organizename;
    }
    Status written = Write(db, [&](AccountWriter& w) {
      for (const auto& name : usernames)
        if (Status moved = w.MoveAccount(name, target); !moved.IsOk()) return moved;
      return Status::Ok();
    });
    if (!written.IsOk()) return written;
    for (const auto& name : usernames) {
      int index = FirstUserIndex(draft.users, name);
      if (index < 0) continue;
      auto& entry = draft.users[static_cast<std::size_t>(index)];
      TUserInfo moved = *entry;
      moved.organizeNo = target;
      moved.organizename = orgName;
      entry = std::make_shared<const TUserInfo>(std::move(moved));
    }
    return Status::Ok();
  });
}

// --- Departments -----------------------------------------------------------------

Result<std::int64_t> CheckOrgForm(std::string_view name, std::string_view orderText) {
  if (Trim(name).empty()) return Refusal(kOrgNameEmptyMessage);
  std::optional<std::int64_t> v = ParseDisplayOrder(orderText);
  if (!v) return Refusal(kOrderNumberMessage);
  return *v;
}

std::optional<std::string> NewOrgSameNameQuestion(const OrgTree& tree, std::string_view parentCode,
                                                  std::string_view name) {
  if (tree.ChildNamed(tree.Find(parentCode), Trim(name))) return std::string(kSameNameNewQuestion);
  return std::nullopt;
}

std::optional<std::string> RenameOrgSameNameQuestion(const OrgTree& tree, std::string_view code,
                                                     std::string_view name) {
  int node = tree.Find(code);
  if (node <= OrgTree::kRoot) return std::nullopt;
  if (tree.ChildNamed(tree.At(node).parent, Trim(name), node)) return std::string(kSameNameRenameQuestion);
  return std::nullopt;
}

Result<std::string> NewOrg(Directory& dir, Database& db, std::string_view parentCode, std::string_view name,
                           std::string_view orderText) {
  Result<std::int64_t> order = CheckOrgForm(name, orderText);
  if (!order.IsOk()) return order.GetStatus();
  std::string newCode;
  Status saved = Apply(dir, [&](Directory::Draft& draft) {
    std::optional<std::string> code = NextOrgNo(draft.orgs, parentCode);
    if (!code) return SilentRefusal();
    OrgPtr org = MakeOrg(Trimmed(name), *code, std::string(parentCode), order.Value());
    if (Status written = Write(db, [&](AccountWriter& w) { return w.InsertDepartment(*org); }); !written.IsOk())
      return written;
    newCode = org->organizeNo;
    draft.orgs.push_back(std::move(org));
    return Status::Ok();
  });
  if (!saved.IsOk()) return saved;
  return newCode;
}

Status RenameOrg(Directory& dir, Database& db, std::string_view code, std::string_view name,
                 std::string_view orderText) {
  Result<std::int64_t> checked = CheckOrgForm(name, orderText);
  if (!checked.IsOk()) return checked.GetStatus();
  const std::int64_t order = checked.Value();
  std::string newName = StoredText(Trim(name));
  return Apply(dir, [&](Directory::Draft& draft) {
    if (Status written = Write(db, [&](AccountWriter& w) { return w.UpdateDepartment(code, newName, order); });
        !written.IsOk())
      return written;
    if (code == kRootOrgNo) {
      draft.companyName = newName;
    } else {
      for (auto& org : draft.orgs)
        if (org->organizeNo == code) {
          org = std::make_shared<const TorgInfo>(TorgInfo{newName, org->organizeNo, org->parNo, order});
          break;
        }
    }
    return Status::Ok();
  });
}

Status DeleteOrg(Directory& dir, Database& db, std::string_view code) {
  if (code.empty() || code == kRootOrgNo) return SilentRefusal();
  return Apply(dir, [&](Directory::Draft& draft) {
    if (Status written = Write(db, [&](AccountWriter& w) { return w.DeleteDepartmentTree(code); }); !written.IsOk())
      return written;
    std::erase_if(draft.orgs, [&](const AdminOrgPtr& org) { return HasCodePrefix(org->organizeNo, code); });
    std::erase_if(draft.users, [&](const AdminUserPtr& user) { return HasCodePrefix(user->organizeNo, code); });
    return Status::Ok();
  });
}

Result<std::string> MoveOrg(Directory& dir, Database& db, std::string_view code, std::string_view newParent) {
  if (code.empty() || code == kRootOrgNo) return Refusal(kMoveRootMessage);
  if (HasCodePrefix(newParent, code)) return Refusal(kMoveIntoItselfMessage);
  std::string newCode;
  bool unchanged = false;
  Status saved = Apply(dir, [&](Directory::Draft& draft) {
    // The caller has checked that the department exists; one deleted
    // meanwhile is a silent refusal.
    const TorgInfo* org = FirstOrg(draft.orgs, code);
    if (!org) return SilentRefusal();
    if (org->parNo == newParent) {
      unchanged = true;
      return SilentRefusal();
    }
    // A code is free when no department has it nor lies below it: a
    // left-over department whose parent is gone must not become a child of
    // the moved one.
    std::unordered_set<std::string> taken;
    for (const auto& o : draft.orgs) {
      taken.insert(o->organizeNo);
      if (o->organizeNo.size() > newParent.size() + 3 && HasCodePrefix(o->organizeNo, newParent))
        taken.insert(o->organizeNo.substr(0, newParent.size() + 3));
    }
    std::optional<std::string> next = NextOrgNo(taken, newParent);
    if (!next) return Refusal(kNoFreeOrgNoMessage);
    newCode = *next;
    const std::string parent(newParent);
    if (Status written = Write(db, [&](AccountWriter& w) { return w.RecodeDepartmentTree(code, newCode, parent); });
        !written.IsOk())
      return written;
    auto recoded = [&](const std::string& c) { return HasCodePrefix(c, code) ? newCode + c.substr(code.size()) : c; };
    for (auto& o : draft.orgs) {
      if (!HasCodePrefix(o->organizeNo, code) && !HasCodePrefix(o->parNo, code)) continue;
      const bool top = o->organizeNo == code;
      o = std::make_shared<const TorgInfo>(
          TorgInfo{o->organizename, recoded(o->organizeNo), top ? parent : recoded(o->parNo), o->orgID});
    }
    for (auto& u : draft.users) {
      if (!HasCodePrefix(u->organizeNo, code)) continue;
      TUserInfo moved = *u;
      moved.organizeNo = recoded(moved.organizeNo);
      u = std::make_shared<const TUserInfo>(std::move(moved));
    }
    return Status::Ok();
  });
  if (unchanged) return std::string(code);
  if (!saved.IsOk()) return saved;
  return newCode;
}

}  // namespace corvan
