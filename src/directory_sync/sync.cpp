#include "directory_sync/sync.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <unordered_set>

#include "accounts/directory_admin.h"
#include "accounts/replies.h"
#include "base/quiet_failure.h"
#include "base/text.h"
#include "directory_sync/password_check.h"
#include "server/executors.h"
#include "server/lifecycle.h"
#include "server/status_log.h"
#include "storage/account_store.h"
#include "storage/audit_log.h"
#include "storage/database.h"
#include "storage/schema.h"

namespace corvan {

namespace {

// Said after the attributes of an entry whose values were changed to be
// stored.
constexpr char kStoredNote[] = "（去掉了不能传送的字符，GBK 没有的字符改为“?”，超过 255 个字符的截断）";

// A password nobody can type: a directory account logs in with the
// directory's password, or with one the administrator sets in the console.
std::string UnusablePassword(std::random_device& rd) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string p = "!dir:";
  for (int i = 0; i < 4; ++i)
    for (unsigned bits = rd(), k = 0; k < 8; ++k, bits >>= 4) p += kHex[bits & 15];
  return p;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

std::string EntryId(const std::string& raw) {
  bool printable = std::all_of(raw.begin(), raw.end(), [](char c) { return c > 0x20 && c < 0x7f; });
  if (printable) return raw;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

bool EntryDisabled(const LdapEntry& entry, const DirectorySettings& s) {
  switch (s.disabled) {
    case DisabledRule::kNone: return false;
    case DisabledRule::kAccountFlags: {
      std::optional<std::int64_t> flags = ParseInt64(Trim(entry.First(s.disabledAttribute)));
      return flags && (*flags & 2) != 0;  // ACCOUNTDISABLE
    }
    case DisabledRule::kValue: {
      auto it = entry.values.find(Lower(s.disabledAttribute));
      if (it == entry.values.end()) return false;
      for (const auto& v : it->second)
        if (AsciiUpper(Trim(v)) == AsciiUpper(Trim(s.disabledValue))) return true;
      return false;
    }
  }
  return false;
}

DirUnit UnitFromEntry(const LdapEntry& e, const DirectorySettings& s) {
  return {e.dn, EntryId(e.First(s.attrs.id)), e.First(s.attrs.unitName)};
}

DirPerson PersonFromEntry(const LdapEntry& e, const DirectorySettings& s) {
  const auto& a = s.attrs;
  return {e.dn,
          EntryId(e.First(a.id)),
          e.First(a.login),
          e.First(a.name),
          e.First(a.mail),
          e.First(a.phone),
          e.First(a.mobile),
          e.First(a.title),
          EntryDisabled(e, s)};
}

std::optional<DirectoryContent> ReadDirectory(const DirectorySettings& s, LdapError* error) {
  LdapLimits limits;
  limits.timeout = std::chrono::seconds(s.timeoutSeconds);
  auto conn = LdapConnection::Open(s.url, s.startTls, s.caFile, limits, error);
  if (!conn) return std::nullopt;
  if (!conn->Bind(s.bindDn, s.bindPassword, error)) return std::nullopt;
  const auto& a = s.attrs;
  auto units = conn->Search(s.baseDn, s.unitFilter, {a.unitName, a.id}, error);
  if (!units) return std::nullopt;
  std::vector<std::string> attrs = {a.id, a.login, a.name, a.mail, a.phone, a.mobile, a.title};
  if (s.disabled != DisabledRule::kNone) attrs.push_back(s.disabledAttribute);
  std::erase_if(attrs, [](const std::string& x) { return x.empty(); });
  auto people = conn->Search(s.baseDn, s.personFilter, attrs, error);
  if (!people) return std::nullopt;
  DirectoryContent content;
  for (const auto& e : *units) content.units.push_back(UnitFromEntry(e, s));
  for (const auto& e : *people) content.people.push_back(PersonFromEntry(e, s));
  return content;
}

void AddLockColumn(Database& db) { AddLinkLockColumn(db); }

Result<std::vector<DirLink>> ReadLinks(Database& db, std::string_view table) {
  Result<std::vector<StoredLink>> stored = AccountStore(db).ReadLinks(table);
  if (!stored.IsOk()) return stored.GetStatus();
  std::vector<DirLink> links;
  links.reserve(stored.Value().size());
  for (auto& l : stored.Value()) links.push_back({std::move(l.key), std::move(l.dn), std::move(l.id), l.locked});
  return links;
}

namespace {

// The entries a plan puts into the directory, made before any lock is
// taken; each list follows the plan's list of the same name.
struct PreparedPlan {
  SyncPlan plan;
  Directory::Snapshot base;           // the snapshot the plan was made on
  std::vector<OrgPtr> addedOrgs;      // plan.orgAdds
  std::vector<OrgPtr> renamedOrgs;    // plan.orgRenames
  std::vector<UserPtr> addedUsers;    // plan.userAdds, with their passwords
  std::vector<UserPtr> changedUsers;  // plan.userChanges; null when only relinked
  // plan.userAdds: whether a link under the name or to the entry is left
  // over (an account removed in the console) and gives way first.
  std::vector<bool> staleLink;
  // plan.userChanges: which of the account's rows differ from what is
  // stored; only those are written.
  struct Rows {
    bool authreg = false;
    bool vcard = false;
    bool link = false;
  };
  std::vector<Rows> changedRows;
};

// Reports preparation steps as (done, total), every 100 and at the end.
class Steps {
 public:
  Steps(const std::function<void(int, int)>& progress, std::size_t total)
      : progress_(progress), total_(static_cast<int>(total)) {}
  void Step() {
    ++done_;
    if (progress_ && (done_ % 100 == 0 || done_ == total_)) progress_(done_, total_);
  }

 private:
  const std::function<void(int, int)>& progress_;
  int total_;
  int done_ = 0;
};

PreparedPlan Prepare(SyncPlan plan, Directory::Snapshot base, const std::vector<DirLink>& accountLinks,
                     const std::function<void(int, int)>& progress) {
  PreparedPlan p;
  std::random_device rd;
  Steps steps(progress, plan.orgAdds.size() + plan.orgRenames.size() + plan.userAdds.size() + plan.userChanges.size());
  // The departments as they will be, for the names the accounts carry: the
  // first department of each code, as MakeUser finds it.
  std::unordered_map<std::string, OrgPtr> renamed;
  for (const auto& r : plan.orgRenames) {
    const TorgInfo* old = base->FindOrg(r.code);
    OrgPtr entry = old ? MakeOrg(r.name, old->organizeNo, old->parNo, old->orgID) : MakeOrg(r.name, r.code, "", 0);
    renamed.try_emplace(r.code, entry);
    p.renamedOrgs.push_back(std::move(entry));
    steps.Step();
  }
  std::unordered_map<std::string_view, std::string_view> orgName;
  for (const auto& org : base->Orgs()) {
    auto it = renamed.find(org->organizeNo);
    orgName.try_emplace(org->organizeNo, it == renamed.end() ? org->organizename : it->second->organizename);
  }
  for (const auto& a : plan.orgAdds) {
    p.addedOrgs.push_back(MakeOrg(a.org.organizename, a.org.organizeNo, a.org.parNo, a.org.orgID));
    orgName.try_emplace(p.addedOrgs.back()->organizeNo, p.addedOrgs.back()->organizename);
    steps.Step();
  }
  auto nameOf = [&](const std::string& code) {
    auto it = orgName.find(code);
    return it == orgName.end() ? std::string() : std::string(it->second);
  };
  std::unordered_set<std::string> linked;  // upper-cased names and ids of the links read
  for (const auto& l : accountLinks) {
    linked.insert(AsciiUpper(l.key));
    if (!l.id.empty()) linked.insert("#" + l.id);
  }
  for (const auto& a : plan.userAdds) {
    p.staleLink.push_back(linked.contains(AsciiUpper(a.link.key)) ||
                          (!a.link.id.empty() && linked.contains("#" + a.link.id)));
    TUserInfo u = a.user;
    u.pwd = UnusablePassword(rd);
    std::string name = nameOf(u.organizeNo);
    p.addedUsers.push_back(MakeUser(std::move(u), std::move(name)));
    steps.Step();
  }
  std::unordered_map<std::string, const DirLink*> linkOf;
  for (const auto& l : accountLinks) linkOf.try_emplace(AsciiUpper(l.key), &l);
  for (const auto& c : plan.userChanges) {
    UserPtr entry = c.changed || c.moved ? MakeUser(c.user, nameOf(c.user.organizeNo)) : nullptr;
    PreparedPlan::Rows rows;
    if (const TUserInfo* old = base->FindUser(c.oldName); entry && old) {
      const TUserInfo& u = *entry;
      rows.authreg = u.username != old->username || u.nickname != old->nickname || u.organizeNo != old->organizeNo;
      rows.vcard = rows.authreg || u.email != old->email || u.work_tel != old->work_tel ||
                   u.mobilephone != old->mobilephone || u.title != old->title;
    } else if (entry) {
      rows.authreg = rows.vcard = true;
    }
    auto link = linkOf.find(AsciiUpper(c.oldName));
    rows.link = link == linkOf.end() || link->second->key != c.link.key || link->second->dn != c.link.dn ||
                link->second->id != c.link.id;
    p.changedUsers.push_back(std::move(entry));
    p.changedRows.push_back(rows);
    steps.Step();
  }
  p.plan = std::move(plan);
  p.base = std::move(base);
  return p;
}

// Whether a plan made on `p.base` still holds on `now`: whatever changed
// meanwhile (a password, a profile, a registration) touches none of the
// accounts and departments the plan writes or decides about.
bool StillHolds(const PreparedPlan& p, const DirectorySnapshot& now) {
  const DirectorySnapshot& base = *p.base;
  if (&base == &now) return true;
  if (base.Orgs() != now.Orgs()) return false;
  const SyncPlan& plan = p.plan;
  if (plan.removeMissing && !plan.orgRemovals.empty()) return false;
  // Entries are shared between snapshots, so an account nobody changed is
  // the same object in both.
  auto same = [&](const std::string& name) { return base.FindUser(name) == now.FindUser(name); };
  for (const auto& a : plan.userAdds)
    if (!same(a.user.username)) return false;
  for (const auto& c : plan.userChanges)
    if (!same(c.oldName) || !same(c.user.username)) return false;
  if (plan.removeMissing)
    for (const auto& name : plan.userRemovals)
      if (!same(name)) return false;
  return true;
}

// The rows of a prepared plan as the store stages them.
AccountBatch BatchOf(const PreparedPlan& p) {
  const SyncPlan& plan = p.plan;
  auto stored = [](const DirLink& l) { return StoredLink{l.key, l.dn, l.id, l.locked}; };
  AccountBatch b;
  for (std::size_t i = 0; i < plan.orgAdds.size(); ++i)
    b.orgAdds.push_back({p.addedOrgs[i], stored(plan.orgAdds[i].link)});
  for (const auto& o : p.renamedOrgs) b.orgRenames.push_back({o->organizeNo, o->organizename});
  for (const auto& l : plan.unitLinks) b.unitLinks.push_back(stored(l));
  for (std::size_t i = 0; i < plan.userAdds.size(); ++i)
    b.accountAdds.push_back({p.addedUsers[i], stored(plan.userAdds[i].link), p.staleLink[i]});
  for (const auto& name : plan.locks) b.locks.emplace_back(name, true);
  for (const auto& name : plan.unlocks) b.locks.emplace_back(name, false);
  for (std::size_t i = 0; i < plan.userChanges.size(); ++i) {
    const auto& c = plan.userChanges[i];
    const PreparedPlan::Rows& rows = p.changedRows[i];
    b.accountChanges.push_back({c.oldName, p.changedUsers[i], rows.authreg, rows.vcard, rows.link, stored(c.link)});
  }
  if (plan.removeMissing) {
    b.accountRemovals = plan.userRemovals;
    b.orgRemovals = plan.orgRemovals;
  }
  return b;
}

// The same plan on the draft of the directory: the prepared entries go in.
void ChangeDraft(Directory::Draft& draft, const PreparedPlan& p) {
  const SyncPlan& plan = p.plan;
  if (!p.renamedOrgs.empty()) {
    std::unordered_map<std::string_view, const OrgPtr*> renamed;
    for (const auto& o : p.renamedOrgs) renamed.try_emplace(o->organizeNo, &o);
    for (auto& org : draft.orgs) {
      auto it = renamed.find(org->organizeNo);
      if (it == renamed.end()) continue;
      org = *it->second;
      renamed.erase(it);  // the first department of a code only
    }
  }
  draft.orgs.insert(draft.orgs.end(), p.addedOrgs.begin(), p.addedOrgs.end());
  // The draft's accounts are those of its base snapshot, in the same places.
  for (std::size_t i = 0; i < plan.userChanges.size(); ++i) {
    if (!p.changedUsers[i]) continue;
    if (std::optional<std::size_t> at = draft.base->UserPosition(plan.userChanges[i].oldName))
      draft.users[*at] = p.changedUsers[i];
  }
  draft.users.insert(draft.users.end(), p.addedUsers.begin(), p.addedUsers.end());
  if (plan.removeMissing) {
    std::unordered_set<std::string> gone(plan.userRemovals.begin(), plan.userRemovals.end());
    std::erase_if(draft.users, [&](const AdminUserPtr& u) { return gone.contains(u->username); });
    std::unordered_set<std::string> goneOrgs(plan.orgRemovals.begin(), plan.orgRemovals.end());
    std::erase_if(draft.orgs, [&](const AdminOrgPtr& o) { return goneOrgs.contains(o->organizeNo); });
  }
}

// How many times a run plans again when the accounts it writes were changed
// while it prepared.
constexpr int kPlanAttempts = 3;
// How many times a run gives way to waiting writers before it writes to the
// end regardless, so that a steady stream of changes cannot starve it (the
// writers then wait once for the whole write).
constexpr int kGiveWays = 20;

// Waits (bounded) until no writer waits for the directory any more.
void LetWritersPass(const Directory& dir) {
  for (int i = 0; i < 2000 && dir.WritersWaiting(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

std::vector<std::string> MakeContentStorable(DirectoryContent& content, const DirectorySettings& s) {
  std::vector<std::string> lines;
  const auto& a = s.attrs;
  for (auto& u : content.units) {
    if (std::string stored = StoredText(u.name); stored != u.name) {
      u.name = std::move(stored);
      lines.push_back("修正 " + u.dn + "：" + a.unitName + kStoredNote);
    }
  }
  for (auto& p : content.people) {
    std::string fields;
    for (auto [value, attribute] : {std::pair{&p.login, &a.login},
                                    {&p.name, &a.name},
                                    {&p.mail, &a.mail},
                                    {&p.phone, &a.phone},
                                    {&p.mobile, &a.mobile},
                                    {&p.title, &a.title}}) {
      std::string stored = StoredText(*value);
      if (stored == *value) continue;
      *value = std::move(stored);
      if (!fields.empty()) fields += "、";
      fields += *attribute;
    }
    if (!fields.empty()) lines.push_back("修正 " + p.dn + "：" + fields + kStoredNote);
  }
  return lines;
}

DirectorySyncOutcome ApplyDirectoryContent(Directory& dir, Database& db, const DirectorySettings& s,
                                           const DirectoryContent& content, bool dryRun, bool removeMissing,
                                           const std::function<void(int, int)>& progress,
                                           const std::function<void()>& afterSlice) {
  DirectorySyncOutcome out;
  // Planned and prepared on a snapshot without any lock, then staged a
  // slice at a time (the database is free for others between slices). Then,
  // under the directory's writer lock: checked against what changed
  // meanwhile (planned again when something it writes changed), applied in
  // one short transaction and published. A writer that comes to wait
  // meanwhile (a password change, a profile, the console) makes it roll
  // back and give way, and it applies again once the writers have passed
  // (at most kGiveWays times, then it applies to the end).
  AccountStore store(db);
  // Emptied whatever the outcome; what is left only costs memory until the
  // next run empties it first.
  struct ClearStage {
    AccountStore& store;
    ~ClearStage() {
      // Quiet by design: the staged rows are never read again.
      if (!store.ClearStage().IsOk()) NoteQuietFailure("sync stage");
    }
  } clearStage{store};
  auto databaseFailure = [&](const std::string& what) {
    out.message = "目录同步失败，数据库错误，未做任何修改：" + what;
    return out;
  };
  std::optional<PreparedPlan> prepared;
  int plans = 0;
  int gaveWay = 0;
  const std::function<bool()> writerWaits = [&dir] { return dir.WritersWaiting(); };
  const std::function<bool()> never;
  for (;;) {
    if (!prepared) {
      if (++plans > kPlanAttempts) {
        out.message = "目录同步未完成：同步期间这些帐号一再被修改，未做任何修改，请稍后再试";
        return out;
      }
      Directory::Snapshot base = dir.Get();
      Result<std::vector<DirLink>> unitLinks = ReadLinks(db, kUnitLinkTable);
      if (!unitLinks.IsOk()) return databaseFailure(unitLinks.GetStatus().Message());
      Result<std::vector<DirLink>> accountLinks = ReadLinks(db, kAccountLinkTable);
      if (!accountLinks.IsOk()) return databaseFailure(accountLinks.GetStatus().Message());
      SyncPlan plan = PlanDirectorySync(*base, unitLinks.Value(), accountLinks.Value(), s.baseDn, content.units,
                                        content.people, removeMissing);
      if (dryRun || plan.Empty()) {
        out.ok = true;
        out.lines = plan.Lines();
        out.message = (dryRun ? "目录同步（预演，未做任何修改）：" : "目录同步完成：") + plan.Summary();
        return out;
      }
      prepared = Prepare(std::move(plan), std::move(base), accountLinks.Value(), progress);
      if (Status staged = store.Stage(BatchOf(*prepared), afterSlice); !staged.IsOk())
        return databaseFailure(staged.Message());
    }
    enum class Outcome { kWritten, kChanged, kGaveWay, kFailed } outcome = Outcome::kWritten;
    Status failure;
    dir.Update([&](Directory::Draft& draft) {
      if (!StillHolds(*prepared, *draft.base)) {
        outcome = Outcome::kChanged;
        return false;
      }
      StagedApply applied = StagedApply::kApplied;
      Status written = store.InTransaction([&](AccountWriter& writer) {
        Result<StagedApply> r = writer.ApplyStaged(gaveWay < kGiveWays ? writerWaits : never);
        if (!r.IsOk()) return r.GetStatus();
        applied = r.Value();
        // Anything but a full apply rolls back.
        return applied == StagedApply::kApplied ? Status::Ok() : Status(StatusCode::kRefused, std::string());
      });
      if (!written.IsOk() && written.Code() != StatusCode::kRefused) {
        failure = written;
        outcome = Outcome::kFailed;
        return false;
      }
      if (applied != StagedApply::kApplied) {
        outcome = applied == StagedApply::kGaveWay ? Outcome::kGaveWay : Outcome::kChanged;
        return false;
      }
      ChangeDraft(draft, *prepared);
      return true;
    });
    switch (outcome) {
      case Outcome::kFailed: return databaseFailure(failure.Message());
      case Outcome::kChanged: prepared.reset(); continue;
      case Outcome::kGaveWay:
        ++gaveWay;
        LetWritersPass(dir);
        continue;
      case Outcome::kWritten: break;
    }
    out.ok = true;
    out.lines = prepared->plan.Lines();
    out.message = "目录同步完成：" + prepared->plan.Summary();
    return out;
  }
}

// --- The service -----------------------------------------------------------

DirectoryService::FileStamp DirectoryService::StampOfSettings(const SyncOwners& owners) const {
  FileStamp stamp;
  struct stat st {};
  const std::filesystem::path path = owners.home / kDirectorySettingsFile;
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return stamp;
}

void DirectoryService::Refresh(const SyncOwners& owners) {
  const FileStamp stamp = StampOfSettings(owners);  // before the read: a change meanwhile is seen later
  DirectorySettingsResult loaded = LoadDirectorySettings(owners.home);
  if (!loaded.error.empty()) owners.log.AppendEvent("目录设置有误：" + loaded.error);
  // Read without settings too: a lock stays when the directory is switched
  // off.
  std::unordered_map<std::string, DirLink> links;
  Status added = AccountStore(owners.db).AddLockColumn();
  Result<std::vector<DirLink>> read = added.IsOk() ? ReadLinks(owners.db, kAccountLinkTable) : added;
  if (read.IsOk()) {
    for (auto& l : read.Value()) {
      std::string key = AsciiUpper(l.key);
      links.emplace(std::move(key), std::move(l));
    }
  } else {
    owners.log.AppendEvent("目录帐号读取失败：" + read.GetStatus().Message());
  }
  MutexLock lock(mutex_);
  settings_ = std::move(loaded.settings);
  links_ = std::move(links);
  loaded_ = true;
  stamp_ = stamp;
}

void DirectoryService::Started(const SyncOwners& owners) {
  Refresh(owners);
  StartBackgroundSync(owners);
  WatchSettings(owners, ++watchGeneration_);
}

void DirectoryService::StartBackgroundSync(const SyncOwners& owners) {
  int minutes = 0;
  {
    MutexLock lock(mutex_);
    if (settings_) minutes = settings_->intervalMinutes;
  }
  const int generation = ++generation_;
  if (minutes > 0) ScheduleTick(owners, generation, minutes);
}

void DirectoryService::ScheduleTick(const SyncOwners& owners, int generation, int minutes) {
  std::weak_ptr<DirectoryService> weak = weak_from_this();
  owners.run.PostJobAfter(std::chrono::minutes(minutes), [weak, owners, generation, minutes] {
    auto self = weak.lock();
    if (!self || self->generation_ != generation || !owners.lifecycle.TcpServerExists()) return;
    // Sync logs its outcome itself.
    self->Sync(owners, {}, true, {});
    self->ScheduleTick(owners, generation, minutes);
  });
}

void DirectoryService::WatchSettings(const SyncOwners& owners, int generation) {
  std::weak_ptr<DirectoryService> weak = weak_from_this();
  owners.run.PostJobAfter(kSettingsPoll, [weak, owners, generation] {
    auto self = weak.lock();
    if (!self || self->watchGeneration_ != generation || !owners.lifecycle.TcpServerExists()) return;
    const FileStamp stamp = self->StampOfSettings(owners);
    bool changed = false;
    {
      MutexLock lock(self->mutex_);
      changed = !(stamp == self->stamp_);
    }
    if (changed) self->ReloadSettings(owners, stamp);
    self->WatchSettings(owners, generation);
  });
}

void DirectoryService::ReloadSettings(const SyncOwners& owners, const FileStamp& stamp) {
  DirectorySettingsResult loaded = LoadDirectorySettings(owners.home);
  int oldMinutes = 0, newMinutes = 0;
  {
    MutexLock lock(mutex_);
    stamp_ = stamp;
    // A file with an error is reported below; the settings in use stay
    // until it is mended.
    if (loaded.error.empty()) {
      oldMinutes = settings_ ? settings_->intervalMinutes : 0;
      newMinutes = loaded.settings ? loaded.settings->intervalMinutes : 0;
      settings_ = std::move(loaded.settings);
    }
  }
  if (!loaded.error.empty()) {
    owners.log.AppendEvent("目录设置有误，仍使用原来的设置：" + loaded.error);
    return;
  }
  owners.log.AppendEvent(stamp.exists ? "目录设置已重新读取" : "目录设置文件已删除，不再使用目录");
  if (newMinutes != oldMinutes) StartBackgroundSync(owners);
}

bool DirectoryService::PasswordFromDirectory(const std::string& username) const {
  MutexLock lock(mutex_);
  return settings_ && settings_->loginWithDirectoryPassword && links_.contains(username);
}

bool DirectoryService::AccountLocked(const SyncOwners& owners, const std::string& username) {
  bool loaded = false;
  {
    MutexLock lock(mutex_);
    loaded = loaded_;
  }
  if (!loaded) Refresh(owners);
  MutexLock lock(mutex_);
  auto it = links_.find(username);
  return it != links_.end() && it->second.locked;
}

namespace {

// Hands the first verdict of a login to its continuation and drops the rest:
// the bind and the time limit race to answer.
class FirstVerdict {
 public:
  explicit FirstVerdict(std::function<void(DirectoryVerdict)> done) : done_(std::move(done)) {}
  bool Give(DirectoryVerdict verdict) {
    if (given_.exchange(true)) return false;
    done_(verdict);
    return true;
  }

 private:
  std::atomic<bool> given_{false};
  std::function<void(DirectoryVerdict)> done_;  // called once, by the first Give
};

void LogUnreachable(const SyncOwners& owners, const std::string& username, const std::string& why) {
  owners.log.AppendEvent("目录服务器无法连接（用户 " + username + " 登录）：" + why);
}

}  // namespace

void DirectoryService::CheckPassword(const SyncOwners& owners, std::string username, std::string password,
                                     std::function<void(DirectoryVerdict)> done) {
  std::optional<DirectorySettings> settings;
  std::optional<DirLink> link;
  {
    MutexLock lock(mutex_);
    settings = settings_;
    if (auto it = links_.find(username); it != links_.end()) link = it->second;
  }
  if (!settings || !link || password.empty()) return done(DirectoryVerdict::kWrong);
  // The whole login, queue included, has the settings' time-out; the time
  // limit answers "unreachable" if the bind has not answered by then.
  const auto budget = std::chrono::seconds(settings->timeoutSeconds);
  const auto deadline = std::chrono::steady_clock::now() + budget;
  auto answer = std::make_shared<FirstVerdict>(std::move(done));
  const bool queued = owners.run.PostOutboundCall([owners, settings = std::move(*settings), link = std::move(*link),
                                                   username, password = std::move(password), deadline, answer] {
    LdapError error;
    DirectoryVerdict verdict = VerifyDirectoryPassword(settings, link, username, password, deadline, &error);
    if (answer->Give(verdict) && verdict == DirectoryVerdict::kUnreachable)
      LogUnreachable(owners, username, error.message);
  });
  if (!queued) {
    if (answer->Give(DirectoryVerdict::kUnreachable)) LogUnreachable(owners, username, "等待目录服务器的登录过多");
    return;
  }
  owners.run.PostJobAfter(budget + std::chrono::milliseconds(500), [owners, username = std::move(username), answer] {
    if (answer->Give(DirectoryVerdict::kUnreachable)) LogUnreachable(owners, username, "time-out: no answer in time");
  });
}

namespace {

// The refusal of a plan that removes too many directory accounts, or
// nothing when it may go ahead.
Result<std::optional<std::string>> RemovalRefusal(const SyncOwners& owners, const DirectorySettings& s,
                                                  const DirectoryContent& content, bool background) {
  Result<std::vector<DirLink>> accountLinks = ReadLinks(owners.db, kAccountLinkTable);
  if (!accountLinks.IsOk()) return accountLinks.GetStatus();
  Result<std::vector<DirLink>> unitLinks = ReadLinks(owners.db, kUnitLinkTable);
  if (!unitLinks.IsOk()) return unitLinks.GetStatus();
  const auto dir = owners.directory.Get();
  SyncPlan plan =
      PlanDirectorySync(*dir, unitLinks.Value(), accountLinks.Value(), s.baseDn, content.units, content.people, true);
  RemovalShare share = CheckRemovalShare(plan, *dir, accountLinks.Value(), s.removalLimitPercent);
  if (!share.exceeds) return std::optional<std::string>();
  const std::string counts = std::to_string(share.removals) + " 个目录帐号（共 " + std::to_string(share.accounts) +
                             " 个），超过 removal_limit_percent 允许的 " + std::to_string(s.removalLimitPercent) + "%";
  std::string refusal =
      background
          ? "后台目录同步被拒绝，未做任何修改：目录中已不存在 " + counts + "；请检查目录设置（base_dn）"
          : "目录同步被拒绝，未做任何修改：将删除 " + counts + "；请检查目录设置（base_dn），确认无误后加 --force 执行";
  return std::optional<std::string>(std::move(refusal));
}

}  // namespace

DirectorySyncOutcome DirectoryService::Sync(const SyncOwners& owners, const DirectorySyncRequest& request,
                                            bool background, const std::function<void(int, int)>& progress) {
  std::lock_guard one(syncMutex_);
  DirectorySyncOutcome out;
  DirectorySettingsResult loaded = LoadDirectorySettings(owners.home);
  if (!loaded.settings) {
    out.message = loaded.error.empty() ? "未设置目录同步（数据目录中没有 " + std::string(kDirectorySettingsFile) + "）"
                                       : loaded.error;
    owners.log.AppendEvent("目录同步失败：" + out.message);
    return out;
  }
  if (progress) progress(0, 0);
  LdapError error;
  std::optional<DirectoryContent> content = ReadDirectory(*loaded.settings, &error);
  if (!content) {
    out.message = (error.kind == LdapFailure::kUnreachable ? "目录服务器无法连接，未做任何修改："
                                                           : "目录读取失败，未做任何修改：") +
                  error.message;
    owners.log.AppendEvent("目录同步失败：" + out.message);
    return out;
  }
  std::vector<std::string> corrected = MakeContentStorable(*content, *loaded.settings);
  Result<std::optional<std::string>> refusal = std::optional<std::string>();
  if ((request.removeMissing || background) && !request.force)
    refusal = RemovalRefusal(owners, *loaded.settings, *content, background);
  if (!refusal.IsOk()) {
    out.ok = false;
    out.message = "目录同步失败，数据库错误，未做任何修改：" + refusal.GetStatus().Message();
  } else if (refusal.Value() && !request.dryRun) {
    out.message = *refusal.Value();
  } else {
    out = ApplyDirectoryContent(owners.directory, owners.db, *loaded.settings, *content, request.dryRun,
                                request.removeMissing, progress);
    if (refusal.Value()) out.lines.push_back(*refusal.Value());  // what the run without --dry-run would answer
  }
  out.lines.insert(out.lines.end(), corrected.begin(), corrected.end());
  owners.log.AppendEvent(out.message);
  // One audit row per run that may write, with its counts.
  if (!request.dryRun) {
    Status audited =
        AppendAudit(owners.db, AuditRow{"", std::string(kAuditSync), "sync", background ? "background" : "requested",
                                        "directory-sync", "", out.message, AuditResult(out.ok, out.message)});
    if (!audited.IsOk()) owners.log.AppendEvent("审计日志写入失败：" + audited.Message());
  }
  if (!request.dryRun && out.ok) Refresh(owners);
  return out;
}

}  // namespace corvan
