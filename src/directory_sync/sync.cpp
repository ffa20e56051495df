#include "directory_sync/sync.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <unordered_set>

#include "accounts/directory_admin.h"
#include "accounts/replies.h"
#include "base/text.h"
#include "directory_sync/password_check.h"
#include "server/server_core.h"
#include "storage/database.h"
#include "storage/schema.h"

namespace corvan {

namespace {

constexpr std::string_view kCreateUnitLinks =
    "create table if not exists DirectoryUnits(organizeNo TEXT COLLATE NOCASE,dn TEXT,uid TEXT)";
constexpr std::string_view kCreateAccountLinks =
    "create table if not exists DirectoryAccounts(username TEXT COLLATE NOCASE,dn TEXT,uid TEXT)";

// A password nobody can type: a directory account logs in with the
// directory's password, or with one the administrator sets in the console.
std::string UnusablePassword() {
  std::random_device rd;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string p = "!dir:";
  for (int i = 0; i < 32; ++i) p += kHex[rd() % 16];
  return p;
}

void Exec(Database& db, std::string_view sql, const std::vector<std::pair<std::string, std::string>>& binds)
    CORVAN_REQUIRES(db.ConnectionMutex()) {
  Statement st(db, sql);
  for (const auto& [k, v] : binds) st.BindText(k, v);
  st.Run();
}

void InsertUser(Database& db, const TUserInfo& u) CORVAN_REQUIRES(db.ConnectionMutex()) {
  Statement a(db,
              "insert into authreg (username,pwd,nickname,organizeNo,USERID) "
              "values(:username_temp,:pwd_temp,:nick_temp,:orgNo,:USERID_temp)");
  a.BindText(":username_temp", u.username)
      .BindText(":pwd_temp", u.pwd)
      .BindText(":nick_temp", u.nickname)
      .BindText(":orgNo", u.organizeNo)
      .BindInt64(":USERID_temp", u.USERID);
  a.Run();
  Statement v(db,
              "insert into vcard (username,organizeNo,nickname,url,tel,email,title,bday,n_given,n_family,"
              "adr_street,adr_country,org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,self_desc) "
              "values(:username_temp,:orgNo_temp,:nick_temp,:url_temp,:tel_temp,:email_temp,:title_temp,:bday_temp,"
              ":n_given_temp,:n_family_temp,:adr_street_temp,:adr_country_temp,:org_orgname_temp,:org_orgunit_temp,"
              ":work_tel_temp,:work_fax_temp,:mobilephone_temp,:work_adr_temp,:sex_temp,:desc_temp)");
  v.BindText(":username_temp", u.username).BindText(":orgNo_temp", u.organizeNo).BindText(":nick_temp", u.nickname);
  for (const auto& f : kCardFields) v.BindText(f.param, u.*f.member);
  v.Run();
}

void UpdateUser(Database& db, const TUserInfo& u, const std::string& oldName) CORVAN_REQUIRES(db.ConnectionMutex()) {
  Statement a(db,
              "update authreg set username=:username_temp,nickname=:nick_temp,organizeNo=:orgNo "
              "where username=:origloginname");
  a.BindText(":username_temp", u.username)
      .BindText(":nick_temp", u.nickname)
      .BindText(":orgNo", u.organizeNo)
      .BindText(":origloginname", oldName);
  a.Run();
  Statement v(db,
              "update vcard set username=:username_temp,organizeNo=:orgNo_temp,nickname=:nick_temp,email=:email_temp,"
              "work_tel=:work_tel_temp,mobilephone=:mobilephone_temp,title=:title_temp where username=:origloginname");
  v.BindText(":username_temp", u.username)
      .BindText(":orgNo_temp", u.organizeNo)
      .BindText(":nick_temp", u.nickname)
      .BindText(":email_temp", u.email)
      .BindText(":work_tel_temp", u.work_tel)
      .BindText(":mobilephone_temp", u.mobilephone)
      .BindText(":title_temp", u.title)
      .BindText(":origloginname", oldName);
  v.Run();
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

namespace {

bool HasLockColumn(Database& db) CORVAN_REQUIRES(db.ConnectionMutex()) {
  const std::vector<std::string> columns = db.ColumnNames("select * from DirectoryAccounts");
  return std::any_of(columns.begin(), columns.end(),
                     [](const std::string& c) { return AsciiUpper(c) == AsciiUpper(kLockColumn); });
}

}  // namespace

void AddLockColumn(Database& db) {
  if (!db.TableExists(kAccountLinkTable) || HasLockColumn(db)) return;
  db.Exec("alter table DirectoryAccounts add column " + std::string(kLockColumn) + " INTEGER NOT NULL DEFAULT 0");
}

std::vector<DirLink> ReadLinks(Database& db, std::string_view table) {
  std::vector<DirLink> links;
  DatabaseLock lock(db);
  if (!db.TableExists(table)) return links;
  const bool accounts = table == kAccountLinkTable;
  const bool lockColumn = accounts && HasLockColumn(db);
  Statement st(db, "select " + std::string(accounts ? "username" : "organizeNo") + ",dn,uid" +
                       (lockColumn ? "," + std::string(kLockColumn) : std::string()) + " from " + std::string(table));
  while (st.Step())
    links.push_back({st.ColumnText(0), st.ColumnText(1), st.ColumnText(2), lockColumn && st.ColumnInt64(3) != 0});
  return links;
}

namespace {

// Locks and unlocks, by the names before the plan's renames (a rename keeps
// the row and so the lock). Caller holds the lock.
void WriteLocks(Database& db, const SyncPlan& plan) CORVAN_REQUIRES(db.ConnectionMutex()) {
  for (const auto* names : {&plan.locks, &plan.unlocks}) {
    Statement st(db, "update DirectoryAccounts set " + std::string(kLockColumn) + "=:v where username=:k");
    for (const auto& name : *names) {
      st.BindInt64(":v", names == &plan.locks ? 1 : 0).BindText(":k", name);
      st.Run();
      st.Reset();
    }
  }
}

// The statements of one plan, in one transaction. Caller holds the lock.
void WritePlan(Database& db, const SyncPlan& plan, std::vector<TUserInfo>& added,
               const std::function<void(int, int)>& progress) CORVAN_REQUIRES(db.ConnectionMutex()) {
  Transaction tx(db);
  db.Exec(kCreateUnitLinks);
  db.Exec(kCreateAccountLinks);
  AddLockColumn(db);
  const int total = static_cast<int>(plan.orgAdds.size() + plan.orgRenames.size() + plan.unitLinks.size() +
                                     plan.userAdds.size() + plan.userChanges.size() +
                                     (plan.removeMissing ? plan.userRemovals.size() + plan.orgRemovals.size() : 0));
  int done = 0;
  auto step = [&] {
    ++done;
    if (progress && (done % 100 == 0 || done == total)) progress(done, total);
  };
  for (const auto& a : plan.orgAdds) {
    Statement st(
        db, "insert into organize (organizeNo,organizename,parNo,orgID) values(:orgNo,:orgname,:parNo,:orgid_temp)");
    st.BindText(":orgNo", a.org.organizeNo)
        .BindText(":orgname", a.org.organizename)
        .BindText(":parNo", a.org.parNo)
        .BindInt64(":orgid_temp", a.org.orgID);
    st.Run();
    // A unit that moved leaves its old department behind, found by DN only.
    if (!a.link.id.empty()) Exec(db, "update DirectoryUnits set uid='' where uid=:id", {{":id", a.link.id}});
    Exec(db, "insert into DirectoryUnits (organizeNo,dn,uid) values(:k,:dn,:id)",
         {{":k", a.link.key}, {":dn", a.link.dn}, {":id", a.link.id}});
    step();
  }
  for (const auto& r : plan.orgRenames) {
    Exec(db, "update organize set organizename=:orgname where organizeNo=:orgNo",
         {{":orgname", r.name}, {":orgNo", r.code}});
    step();
  }
  for (const auto& l : plan.unitLinks) {
    Exec(db, "update DirectoryUnits set dn=:dn,uid=:id where organizeNo=:k",
         {{":k", l.key}, {":dn", l.dn}, {":id", l.id}});
    step();
  }
  for (const auto& a : plan.userAdds) {
    TUserInfo u = a.user;
    u.pwd = UnusablePassword();
    InsertUser(db, u);
    Exec(db, "delete from DirectoryAccounts where username=:k or (uid<>'' and uid=:id)",
         {{":k", a.link.key}, {":id", a.link.id}});
    Exec(db, "insert into DirectoryAccounts (username,dn,uid) values(:k,:dn,:id)",
         {{":k", a.link.key}, {":dn", a.link.dn}, {":id", a.link.id}});
    added.push_back(std::move(u));
    step();
  }
  WriteLocks(db, plan);
  for (const auto& c : plan.userChanges) {
    if (c.changed || c.moved) UpdateUser(db, c.user, c.oldName);
    Exec(db, "update DirectoryAccounts set username=:k,dn=:dn,uid=:id where username=:old",
         {{":k", c.link.key}, {":dn", c.link.dn}, {":id", c.link.id}, {":old", c.oldName}});
    step();
  }
  if (plan.removeMissing) {
    for (const auto& name : plan.userRemovals) {
      for (const char* sql : {"delete from authreg where username=:k", "delete from vcard where username=:k",
                              "delete from DirectoryAccounts where username=:k"})
        Exec(db, sql, {{":k", name}});
      step();
    }
    for (const auto& code : plan.orgRemovals) {
      for (const char* sql :
           {"delete from organize where organizeNo=:k", "delete from DirectoryUnits where organizeNo=:k"})
        Exec(db, sql, {{":k", code}});
      step();
    }
  }
  tx.Commit();
}

// The same plan on the draft of the directory.
void ChangeDraft(Directory::Draft& draft, const SyncPlan& plan, std::vector<TUserInfo>& added) {
  for (const auto& a : plan.orgAdds) AddOrg(draft.orgs, a.org.organizename, a.org.organizeNo, a.org.parNo, a.org.orgID);
  for (const auto& r : plan.orgRenames)
    for (auto& org : draft.orgs)
      if (org->organizeNo == r.code) {
        org = MakeOrg(r.name, org->organizeNo, org->parNo, org->orgID);
        break;
      }
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < draft.users.size(); ++i) index.emplace(draft.users[i]->username, i);
  for (const auto& c : plan.userChanges) {
    if (!c.changed && !c.moved) continue;
    auto it = index.find(c.oldName);
    if (it == index.end()) continue;
    draft.users[it->second] = MakeUser(c.user, draft.orgs);
  }
  for (auto& u : added) AddUser(draft.users, std::move(u), draft.orgs);
  if (plan.removeMissing) {
    std::unordered_set<std::string> gone(plan.userRemovals.begin(), plan.userRemovals.end());
    std::erase_if(draft.users, [&](const AdminUserPtr& u) { return gone.contains(u->username); });
    std::unordered_set<std::string> goneOrgs(plan.orgRemovals.begin(), plan.orgRemovals.end());
    std::erase_if(draft.orgs, [&](const AdminOrgPtr& o) { return goneOrgs.contains(o->organizeNo); });
  }
}

}  // namespace

DirectorySyncOutcome ApplyDirectoryContent(Directory& dir, Database& db, const DirectorySettings& s,
                                           const DirectoryContent& content, bool dryRun, bool removeMissing,
                                           const std::function<void(int, int)>& progress) {
  DirectorySyncOutcome out;
  const std::vector<DirLink> unitLinks = ReadLinks(db, kUnitLinkTable);
  const std::vector<DirLink> accountLinks = ReadLinks(db, kAccountLinkTable);
  if (dryRun) {
    SyncPlan plan =
        PlanDirectorySync(*dir.Get(), unitLinks, accountLinks, s.baseDn, content.units, content.people, removeMissing);
    out.ok = true;
    out.lines = plan.Lines();
    out.message = "目录同步（预演，未做任何修改）：" + plan.Summary();
    return out;
  }
  // Planned again inside the update, on the draft: a change made by the
  // console meanwhile is seen, and nothing slips in between.
  SyncPlan plan;
  try {
    dir.Update([&](Directory::Draft& draft) {
      DirectorySnapshot current(draft.companyName, draft.orgs, draft.users);
      plan =
          PlanDirectorySync(current, unitLinks, accountLinks, s.baseDn, content.units, content.people, removeMissing);
      if (plan.Empty()) return false;
      std::vector<TUserInfo> added;
      {
        DatabaseLock lock(db);
        WritePlan(db, plan, added, progress);
      }
      ChangeDraft(draft, plan, added);
      return true;
    });
  } catch (const DatabaseError& e) {
    out.message = "目录同步失败，数据库错误，未做任何修改：" + std::string(e.what());
    return out;
  }
  out.ok = true;
  out.lines = plan.Lines();
  out.message = "目录同步完成：" + plan.Summary();
  return out;
}

// --- The service -----------------------------------------------------------

DirectoryService::FileStamp DirectoryService::StampOfSettings(ServerCore& core) const {
  FileStamp stamp;
  struct stat st {};
  const std::filesystem::path path = core.Home() / kDirectorySettingsFile;
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return stamp;
}

void DirectoryService::Refresh(ServerCore& core) {
  const FileStamp stamp = StampOfSettings(core);  // before the read: a change meanwhile is seen later
  DirectorySettingsResult loaded = LoadDirectorySettings(core.Home());
  if (!loaded.error.empty()) core.LogEvent("目录设置有误：" + loaded.error);
  // Read without settings too: a lock stays when the directory is switched
  // off.
  std::unordered_map<std::string, DirLink> links;
  try {
    {
      DatabaseLock lock(core.Db());
      AddLockColumn(core.Db());
    }
    for (auto& l : ReadLinks(core.Db(), kAccountLinkTable)) {
      std::string key = AsciiUpper(l.key);
      links.emplace(std::move(key), std::move(l));
    }
  } catch (const DatabaseError& e) {
    core.LogEvent("目录帐号读取失败：" + std::string(e.what()));
  }
  MutexLock lock(mutex_);
  settings_ = std::move(loaded.settings);
  links_ = std::move(links);
  loaded_ = true;
  stamp_ = stamp;
}

void DirectoryService::Started(ServerCore& core) {
  Refresh(core);
  StartBackgroundSync(core);
  WatchSettings(core, ++watchGeneration_);
}

void DirectoryService::StartBackgroundSync(ServerCore& core) {
  int minutes = 0;
  {
    MutexLock lock(mutex_);
    if (settings_) minutes = settings_->intervalMinutes;
  }
  const int generation = ++generation_;
  if (minutes > 0) ScheduleTick(core, generation, minutes);
}

void DirectoryService::ScheduleTick(ServerCore& core, int generation, int minutes) {
  std::weak_ptr<DirectoryService> weak = weak_from_this();
  core.PostJobAfter(std::chrono::minutes(minutes), [weak, &core, generation, minutes] {
    auto self = weak.lock();
    if (!self || self->generation_ != generation || !core.TcpServerExists()) return;
    // Sync logs its outcome itself.
    self->Sync(core, {}, true, {});
    self->ScheduleTick(core, generation, minutes);
  });
}

void DirectoryService::WatchSettings(ServerCore& core, int generation) {
  std::weak_ptr<DirectoryService> weak = weak_from_this();
  core.PostJobAfter(kSettingsPoll, [weak, &core, generation] {
    auto self = weak.lock();
    if (!self || self->watchGeneration_ != generation || !core.TcpServerExists()) return;
    const FileStamp stamp = self->StampOfSettings(core);
    bool changed = false;
    {
      MutexLock lock(self->mutex_);
      changed = !(stamp == self->stamp_);
    }
    if (changed) self->ReloadSettings(core, stamp);
    self->WatchSettings(core, generation);
  });
}

void DirectoryService::ReloadSettings(ServerCore& core, const FileStamp& stamp) {
  DirectorySettingsResult loaded = LoadDirectorySettings(core.Home());
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
    core.LogEvent("目录设置有误，仍使用原来的设置：" + loaded.error);
    return;
  }
  core.LogEvent(stamp.exists ? "目录设置已重新读取" : "目录设置文件已删除，不再使用目录");
  if (newMinutes != oldMinutes) StartBackgroundSync(core);
}

bool DirectoryService::PasswordFromDirectory(const std::string& username) const {
  MutexLock lock(mutex_);
  return settings_ && settings_->loginWithDirectoryPassword && links_.contains(username);
}

bool DirectoryService::AccountLocked(ServerCore& core, const std::string& username) {
  bool loaded = false;
  {
    MutexLock lock(mutex_);
    loaded = loaded_;
  }
  if (!loaded) Refresh(core);
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

void LogUnreachable(ServerCore& core, const std::string& username, const std::string& why) {
  core.LogEvent("目录服务器无法连接（用户 " + username + " 登录）：" + why);
}

}  // namespace

void DirectoryService::CheckPassword(ServerCore& core, std::string username, std::string password,
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
  const bool queued = core.PostOutboundCall([&core, settings = std::move(*settings), link = std::move(*link), username,
                                             password = std::move(password), deadline, answer] {
    LdapError error;
    DirectoryVerdict verdict = VerifyDirectoryPassword(settings, link, username, password, deadline, &error);
    if (answer->Give(verdict) && verdict == DirectoryVerdict::kUnreachable)
      LogUnreachable(core, username, error.message);
  });
  if (!queued) {
    if (answer->Give(DirectoryVerdict::kUnreachable)) LogUnreachable(core, username, "等待目录服务器的登录过多");
    return;
  }
  core.PostJobAfter(budget + std::chrono::milliseconds(500), [&core, username = std::move(username), answer] {
    if (answer->Give(DirectoryVerdict::kUnreachable)) LogUnreachable(core, username, "time-out: no answer in time");
  });
}

namespace {

// The refusal of a plan that removes too many directory accounts, or
// nothing when it may go ahead.
std::optional<std::string> RemovalRefusal(ServerCore& core, const DirectorySettings& s, const DirectoryContent& content,
                                          bool background) {
  const std::vector<DirLink> accountLinks = ReadLinks(core.Db(), kAccountLinkTable);
  const auto dir = core.Dir().Get();
  SyncPlan plan = PlanDirectorySync(*dir, ReadLinks(core.Db(), kUnitLinkTable), accountLinks, s.baseDn, content.units,
                                    content.people, true);
  RemovalShare share = CheckRemovalShare(plan, *dir, accountLinks, s.removalLimitPercent);
  if (!share.exceeds) return std::nullopt;
  const std::string counts = std::to_string(share.removals) + " 个目录帐号（共 " + std::to_string(share.accounts) +
                             " 个），超过 removal_limit_percent 允许的 " + std::to_string(s.removalLimitPercent) + "%";
  if (background) return "后台目录同步被拒绝，未做任何修改：目录中已不存在 " + counts + "；请检查目录设置（base_dn）";
  return "目录同步被拒绝，未做任何修改：将删除 " + counts + "；请检查目录设置（base_dn），确认无误后加 --force 执行";
}

}  // namespace

DirectorySyncOutcome DirectoryService::Sync(ServerCore& core, const DirectorySyncRequest& request, bool background,
                                            const std::function<void(int, int)>& progress) {
  std::lock_guard one(syncMutex_);
  DirectorySyncOutcome out;
  DirectorySettingsResult loaded = LoadDirectorySettings(core.Home());
  if (!loaded.settings) {
    out.message = loaded.error.empty() ? "未设置目录同步（数据目录中没有 " + std::string(kDirectorySettingsFile) + "）"
                                       : loaded.error;
    core.LogEvent("目录同步失败：" + out.message);
    return out;
  }
  if (progress) progress(0, 0);
  LdapError error;
  std::optional<DirectoryContent> content = ReadDirectory(*loaded.settings, &error);
  if (!content) {
    out.message = (error.kind == LdapFailure::kUnreachable ? "目录服务器无法连接，未做任何修改："
                                                           : "目录读取失败，未做任何修改：") +
                  error.message;
    core.LogEvent("目录同步失败：" + out.message);
    return out;
  }
  std::optional<std::string> refusal;
  try {
    if ((request.removeMissing || background) && !request.force)
      refusal = RemovalRefusal(core, *loaded.settings, *content, background);
    if (refusal && !request.dryRun) {
      out.message = *refusal;
    } else {
      out = ApplyDirectoryContent(core.Dir(), core.Db(), *loaded.settings, *content, request.dryRun,
                                  request.removeMissing, progress);
      if (refusal) out.lines.push_back(*refusal);  // what the run without --dry-run would answer
    }
  } catch (const DatabaseError& e) {
    out.ok = false;
    out.message = "目录同步失败，数据库错误，未做任何修改：" + std::string(e.what());
  }
  core.LogEvent(out.message);
  if (!request.dryRun && out.ok) Refresh(core);
  return out;
}

void AddDirectorySyncModules(CoreModules& m) {
  auto service = std::make_shared<DirectoryService>();
  m.DirectoryStarted = [service](ServerCore& core) { service->Started(core); };
  m.PasswordFromDirectory = [service](ServerCore&, const std::string& name) {
    return service->PasswordFromDirectory(name);
  };
  m.AccountLocked = [service](ServerCore& core, const std::string& name) { return service->AccountLocked(core, name); };
  m.CheckDirectoryPassword = [service](ServerCore& core, std::string name, std::string pwd,
                                       std::function<void(DirectoryVerdict)> done) {
    service->CheckPassword(core, std::move(name), std::move(pwd), std::move(done));
  };
  m.DirectorySync = [service](ServerCore& core, const DirectorySyncRequest& request,
                              const std::function<void(int, int)>& progress) {
    return service->Sync(core, request, false, progress);
  };
}

}  // namespace corvan
