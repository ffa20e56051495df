#include "directory_sync/planner.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "accounts/directory_admin.h"
#include "base/text.h"

namespace corvan {

namespace {

// The RDNs of a DN, split at commas that are not escaped.
std::vector<std::string> SplitDn(std::string_view dn) {
  std::vector<std::string> rdns;
  std::string cur;
  bool quoted = false;
  for (std::size_t i = 0; i < dn.size(); ++i) {
    char c = dn[i];
    if (c == '\\' && i + 1 < dn.size()) {
      cur += c;
      cur += dn[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if ((c == ',' || c == ';') && !quoted) {
      rdns.emplace_back(Trim(cur));
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (!Trim(cur).empty() || !rdns.empty()) rdns.emplace_back(Trim(cur));
  return rdns;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string Join(const std::vector<std::string>& rdns, std::size_t from) {
  std::string out;
  for (std::size_t i = from; i < rdns.size(); ++i) {
    if (i > from) out += ',';
    // "ou = Sales" and "ou=Sales" are the same RDN.
    const std::string& r = rdns[i];
    std::size_t eq = r.find('=');
    if (eq == std::string::npos) out += LowerAscii(r);
    else
      out += LowerAscii(Trim(std::string_view(r).substr(0, eq))) + "=" +
             LowerAscii(Trim(std::string_view(r).substr(eq + 1)));
  }
  return out;
}

// Looks a link up by id first (it survives renames and moves), then by DN.
class LinkIndex {
 public:
  explicit LinkIndex(const std::vector<DirLink>& links) {
    for (std::size_t i = 0; i < links.size(); ++i) {
      if (!links[i].id.empty()) byId_.emplace(links[i].id, i);
      byDn_.emplace(NormalizeDn(links[i].dn), i);
    }
  }
  int Find(const std::string& id, const std::string& normalizedDn) const {
    if (!id.empty())
      if (auto it = byId_.find(id); it != byId_.end()) return static_cast<int>(it->second);
    if (auto it = byDn_.find(normalizedDn); it != byDn_.end()) return static_cast<int>(it->second);
    return -1;
  }

 private:
  std::unordered_map<std::string, std::size_t> byId_;
  std::unordered_map<std::string, std::size_t> byDn_;
};

}  // namespace

std::string NormalizeDn(std::string_view dn) { return Join(SplitDn(dn), 0); }

std::string ParentDn(std::string_view dn) {
  auto rdns = SplitDn(dn);
  return rdns.size() <= 1 ? std::string() : Join(rdns, 1);
}

bool SyncPlan::Empty() const {
  return orgAdds.empty() && orgRenames.empty() && unitLinks.empty() && userAdds.empty() && userChanges.empty() &&
         locks.empty() && unlocks.empty() && (!removeMissing || (userRemovals.empty() && orgRemovals.empty()));
}

std::vector<std::string> SyncPlan::Lines() const {
  std::vector<std::string> lines;
  for (const auto& a : orgAdds)
    lines.push_back("新增部门 " + a.org.organizename + " (" + a.org.organizeNo + "，上级 " + a.org.parNo + ")");
  for (const auto& r : orgRenames) lines.push_back("部门改名 " + r.code + " -> " + r.name);
  for (const auto& a : userAdds)
    lines.push_back("新增用户 " + a.user.username + " " + a.user.nickname + " (" + a.user.organizeNo + ")");
  for (const auto& c : userChanges) {
    if (c.changed)
      lines.push_back("修改用户 " + c.oldName + (c.oldName != c.user.username ? " -> " + c.user.username : "") + " " +
                      c.user.nickname);
    if (c.moved) lines.push_back("移动用户 " + c.user.username + " -> " + c.user.organizeNo);
  }
  const std::string removal = removeMissing ? "删除" : "将删除（需 --remove-missing）";
  auto removalLine = [&removal](const char* kind, const std::string& key) {
    std::string line = removal;
    line += kind;
    line += key;
    return line;
  };
  for (const auto& u : userRemovals) lines.push_back(removalLine("用户 ", u));
  for (const auto& o : orgRemovals) lines.push_back(removalLine("部门 ", o));
  for (const auto& s : skipped) lines.push_back("跳过 " + s);
  for (const auto& u : locks) lines.push_back("锁定用户 " + u + "（目录中已停用）");
  for (const auto& u : unlocks) lines.push_back("解锁用户 " + u + "（目录中已重新启用）");
  if (disabledLeftOut > 0) lines.push_back("已停用的帐号未同步：" + std::to_string(disabledLeftOut));
  return lines;
}

std::string SyncPlan::Summary() const {
  std::size_t changed = 0, moved = 0;
  for (const auto& c : userChanges) {
    changed += c.changed ? 1 : 0;
    moved += c.moved ? 1 : 0;
  }
  auto n = [](std::size_t v) { return std::to_string(v); };
  return "新增部门 " + n(orgAdds.size()) + "，部门改名 " + n(orgRenames.size()) + "，新增用户 " + n(userAdds.size()) +
         "，修改用户 " + n(changed) + "，移动用户 " + n(moved) + "，" + (removeMissing ? "删除" : "目录中已不存在") +
         "用户 " + n(userRemovals.size()) + "，" + (removeMissing ? "删除" : "目录中已不存在") + "部门 " +
         n(orgRemovals.size()) + "，跳过 " + n(skipped.size()) + "，锁定用户 " + n(locks.size()) + "，解锁用户 " +
         n(unlocks.size());
}

SyncPlan PlanDirectorySync(const DirectorySnapshot& current, const std::vector<DirLink>& unitLinks,
                           const std::vector<DirLink>& accountLinks, std::string_view baseDn,
                           const std::vector<DirUnit>& units, const std::vector<DirPerson>& people,
                           bool removeMissing) {
  SyncPlan plan;
  plan.removeMissing = removeMissing;
  const std::string base = NormalizeDn(baseDn);
  const std::string root(kRootOrgNo);

  // Departments as they will be, for new codes and names.
  std::vector<AdminOrgPtr> orgs = current.Orgs();
  std::unordered_map<std::string, const TorgInfo*> orgByCode;
  std::unordered_set<std::string> takenCodes;
  for (const auto& o : orgs) {
    orgByCode.emplace(o->organizeNo, o.get());
    takenCodes.insert(o->organizeNo);
  }

  // Parents before children.
  struct Placed {
    const DirUnit* unit;
    std::string dn;
    std::size_t depth;
  };
  std::vector<Placed> ordered;
  for (const auto& u : units) {
    std::string dn = NormalizeDn(u.dn);
    if (dn == base || dn.size() <= base.size() || dn.compare(dn.size() - base.size(), base.size(), base) != 0 ||
        dn[dn.size() - base.size() - 1] != ',')
      continue;  // the base itself, or outside it
    ordered.push_back({&u, dn, SplitDn(dn).size()});
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const Placed& a, const Placed& b) { return a.depth < b.depth; });

  std::unordered_map<std::string, std::string> codeOfDn;  // normalised unit DN -> code
  // The department of an entry: the nearest enclosing unit, else the root.
  auto codeAbove = [&](const std::string& dn) {
    for (std::string p = ParentDn(dn); !p.empty() && p != base; p = ParentDn(p))
      if (auto it = codeOfDn.find(p); it != codeOfDn.end()) return it->second;
    return std::string(root);
  };

  LinkIndex unitIndex(unitLinks);
  std::vector<bool> unitSeen(unitLinks.size(), false);
  for (const auto& p : ordered) {
    const std::string parentCode = codeAbove(p.dn);
    const std::string name = std::string(Trim(p.unit->name)).empty() ? p.dn : std::string(Trim(p.unit->name));
    int li = unitIndex.Find(p.unit->id, p.dn);
    const TorgInfo* existing = nullptr;
    if (li >= 0) {
      auto it = orgByCode.find(unitLinks[static_cast<std::size_t>(li)].key);
      // A unit that moved to another parent gets a new department there;
      // the old one is then gone from the directory.
      if (it != orgByCode.end() && it->second->parNo == parentCode) existing = it->second;
    }
    if (existing != nullptr) {
      unitSeen[static_cast<std::size_t>(li)] = true;
      const DirLink& old = unitLinks[static_cast<std::size_t>(li)];
      if (existing->organizename != name) plan.orgRenames.push_back({existing->organizeNo, name});
      if (NormalizeDn(old.dn) != p.dn || old.id != p.unit->id)
        plan.unitLinks.push_back({existing->organizeNo, p.unit->dn, p.unit->id});
      codeOfDn[p.dn] = existing->organizeNo;
      continue;
    }
    std::optional<std::string> code = NextOrgNo(takenCodes, parentCode);
    if (!code) {
      plan.skipped.push_back(p.unit->dn + "：上级部门没有可用的部门编号");
      continue;
    }
    TorgInfo org{name, *code, parentCode, 100};
    orgs.push_back(std::make_shared<const TorgInfo>(org));
    orgByCode[*code] = orgs.back().get();
    takenCodes.insert(*code);
    codeOfDn[p.dn] = *code;
    plan.orgAdds.push_back({std::move(org), {*code, p.unit->dn, p.unit->id}});
  }
  auto orgName = [&](const std::string& code) {
    if (code == root) return current.CompanyName();
    auto it = orgByCode.find(code);
    return it == orgByCode.end() ? std::string() : it->second->organizename;
  };

  // Accounts.
  LinkIndex accountIndex(accountLinks);
  std::unordered_set<std::string> linkedNames;
  for (const auto& l : accountLinks) linkedNames.insert(l.key);
  std::vector<bool> accountSeen(accountLinks.size(), false);
  std::unordered_set<std::string> taken;  // names given to a directory person in this run
  for (const auto& person : people) {
    const std::string dn = NormalizeDn(person.dn);
    const std::string username = AsciiUpper(Trim(person.login));
    if (username.empty()) {
      plan.skipped.push_back(person.dn + "：没有登录名");
      continue;
    }
    const int li = accountIndex.Find(person.id, dn);
    const DirLink* old = li >= 0 ? &accountLinks[static_cast<std::size_t>(li)] : nullptr;
    const TUserInfo* existing = old != nullptr ? current.FindUser(old->key) : nullptr;
    if (existing == nullptr && person.disabled) {
      ++plan.disabledLeftOut;
      continue;
    }
    if (!taken.insert(username).second) {
      plan.skipped.push_back(person.dn + "：登录名 " + username + " 重复");
      continue;
    }
    if (old != nullptr) accountSeen[static_cast<std::size_t>(li)] = true;
    // Keyed by the name before this run's rename, which keeps the lock.
    if (existing != nullptr && person.disabled != old->locked)
      (person.disabled ? plan.locks : plan.unlocks).push_back(old->key);
    const std::string code = codeAbove(dn);
    TUserInfo wanted;
    if (existing != nullptr) wanted = *existing;
    else wanted.USERID = 100;
    wanted.username = username;
    wanted.nickname =
        std::string(Trim(person.name)).empty() ? std::string(Trim(person.login)) : std::string(Trim(person.name));
    wanted.email = std::string(Trim(person.mail));
    wanted.work_tel = std::string(Trim(person.phone));
    wanted.mobilephone = std::string(Trim(person.mobile));
    wanted.title = std::string(Trim(person.title));
    wanted.organizeNo = code;
    wanted.organizename = orgName(code);
    DirLink link{username, person.dn, person.id};

    if (existing == nullptr) {
      // A local account of that name stays local.
      if (current.UserExists(username) && !linkedNames.contains(username)) {
        plan.skipped.push_back(person.dn + "：已有同名本地帐号 " + username);
        continue;
      }
      plan.userAdds.push_back({std::move(wanted), std::move(link)});
      continue;
    }
    if (username != existing->username && current.UserExists(username)) {
      plan.skipped.push_back(person.dn + "：改名为 " + username + " 与已有帐号同名");
      continue;
    }
    SyncPlan::UserChange change;
    change.oldName = existing->username;
    change.moved = existing->organizeNo != wanted.organizeNo;
    change.changed = existing->username != wanted.username || existing->nickname != wanted.nickname ||
                     existing->email != wanted.email || existing->work_tel != wanted.work_tel ||
                     existing->mobilephone != wanted.mobilephone || existing->title != wanted.title;
    bool relinked = old->key != username || NormalizeDn(old->dn) != dn || old->id != person.id;
    if (!change.moved && !change.changed && !relinked) continue;
    change.user = std::move(wanted);
    change.link = std::move(link);
    plan.userChanges.push_back(std::move(change));
  }

  std::unordered_set<std::string> removedUsers;
  for (std::size_t i = 0; i < accountLinks.size(); ++i)
    if (!accountSeen[i] && current.UserExists(accountLinks[i].key)) {
      plan.userRemovals.push_back(accountLinks[i].key);
      removedUsers.insert(accountLinks[i].key);
    }

  // A department gone from the directory is removed only when nothing stays
  // under it: no local account, no local department, no synced account.
  std::vector<std::string> goneCodes;
  for (std::size_t i = 0; i < unitLinks.size(); ++i)
    if (!unitSeen[i] && orgByCode.contains(unitLinks[i].key)) goneCodes.push_back(unitLinks[i].key);
  if (goneCodes.empty()) return plan;
  std::unordered_set<std::string_view> gone(goneCodes.begin(), goneCodes.end());
  // The gone codes that something staying sits under (codes are prefixes
  // of the codes below them), found in one pass over departments and
  // accounts.
  std::unordered_set<std::string_view> busy;
  auto markUnder = [&](std::string_view where, bool itself) {
    for (std::size_t n = 1; n < where.size() + (itself ? 1 : 0); ++n)
      if (auto it = gone.find(where.substr(0, n)); it != gone.end()) busy.insert(*it);
  };
  for (const auto& o : orgs)
    if (!gone.contains(o->organizeNo)) markUnder(o->organizeNo, false);
  std::unordered_map<std::string, std::string> newCode;
  for (const auto& c : plan.userChanges) newCode[c.oldName] = c.user.organizeNo;
  for (const auto& u : current.Users()) {
    if (removeMissing && removedUsers.contains(u->username)) continue;
    auto it = newCode.find(u->username);
    markUnder(it == newCode.end() ? u->organizeNo : it->second, true);
  }
  for (const auto& a : plan.userAdds) markUnder(a.user.organizeNo, true);
  for (const auto& code : goneCodes)
    if (!busy.contains(code)) plan.orgRemovals.push_back(code);
  return plan;
}

RemovalShare CheckRemovalShare(const SyncPlan& plan, const DirectorySnapshot& current,
                               const std::vector<DirLink>& accountLinks, int limitPercent) {
  RemovalShare share;
  share.removals = plan.userRemovals.size();
  for (const auto& l : accountLinks) share.accounts += current.UserExists(l.key) ? 1 : 0;
  share.exceeds = share.removals * 100 > static_cast<std::size_t>(std::max(limitPercent, 0)) * share.accounts;
  return share;
}

}  // namespace corvan
