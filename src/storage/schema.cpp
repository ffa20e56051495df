#include "storage/schema.h"

#include <map>
#include <unordered_map>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "storage/audit_log.h"

namespace corvan {

namespace {

// Text columns ignore letter case in = and like, as the statements of every
// handler expect; display orders are nullable doubles defaulting to 100.
constexpr const char* kCreateAuthreg =
    "create table authreg(username TEXT COLLATE NOCASE,pwd TEXT COLLATE NOCASE,nickname TEXT COLLATE NOCASE,"
    "organizeNo TEXT COLLATE NOCASE,USERID double null default 100)";

constexpr const char* kCreateVcard =
    "create table vcard(username TEXT COLLATE NOCASE,organizeNo TEXT COLLATE NOCASE,nickname TEXT COLLATE NOCASE,"
    "url TEXT COLLATE NOCASE,tel TEXT COLLATE NOCASE,email TEXT COLLATE NOCASE,title TEXT COLLATE NOCASE,"
    "bday TEXT COLLATE NOCASE,n_given TEXT COLLATE NOCASE,n_family TEXT COLLATE NOCASE,"
    "adr_street TEXT COLLATE NOCASE,adr_country TEXT COLLATE NOCASE,org_orgname TEXT COLLATE NOCASE,"
    "org_orgunit TEXT COLLATE NOCASE,work_tel TEXT COLLATE NOCASE,work_fax TEXT COLLATE NOCASE,"
    "mobilephone TEXT COLLATE NOCASE,work_adr TEXT COLLATE NOCASE,sex TEXT COLLATE NOCASE,"
    "self_desc TEXT COLLATE NOCASE)";

constexpr const char* kCreateOrganize =
    "create table organize(organizeNo TEXT COLLATE NOCASE,organizename TEXT COLLATE NOCASE,"
    "parNo TEXT COLLATE NOCASE,orgID double null default 100)";

// SendTime holds local time as 'YYYY-MM-DD HH:MM:SS' so cut-offs compare as
// text; SendContent holds the raw frame bytes.
constexpr const char* kCreateOfflineInfo =
    "Create Table OfflineInfo(FromUser TEXT COLLATE NOCASE null,ToUser TEXT COLLATE NOCASE null,"
    "SendTime TEXT null,SendContent BLOB null)";

constexpr const char* kCreateOfflineFiles =
    "Create Table OfflineFiles(FromUser TEXT COLLATE NOCASE null,FromNick TEXT COLLATE NOCASE null,"
    "ToUser TEXT COLLATE NOCASE null,FileType TEXT COLLATE NOCASE null,FileName TEXT COLLATE NOCASE null,"
    "FilePath TEXT COLLATE NOCASE null,SendTime TEXT null)";

// Deliveries at login look rows up by recipient; with these an account with
// nothing stored costs one index probe instead of a walk of the table.
constexpr const char* kCreateOfflineInfoIndex = "create index if not exists OfflineInfo_ToUser on OfflineInfo(ToUser)";
constexpr const char* kCreateOfflineFilesIndex =
    "create index if not exists OfflineFiles_ToUser on OfflineFiles(ToUser)";
// Every change of an account finds its rows by name; with these a change
// costs an index probe instead of a walk of the table, so a sync that
// changes every account stays linear.
constexpr const char* kCreateAuthregIndex = "create index if not exists authreg_username on authreg(username)";
constexpr const char* kCreateVcardIndex = "create index if not exists vcard_username on vcard(username)";

bool HasColumn(const std::vector<std::string>& names, std::string_view wanted) {
  std::string upper = AsciiUpper(wanted);
  for (const auto& n : names) {
    if (AsciiUpper(n) == upper) return true;
  }
  return false;
}

// Column positions of a result by upper-cased name (first occurrence).
std::map<std::string, int> ColumnIndex(const Statement& st) {
  std::map<std::string, int> index;
  for (int i = 0; i < st.ColumnCount(); ++i) index.try_emplace(AsciiUpper(st.ColumnName(i)), i);
  return index;
}

}  // namespace

Status OpenDatabase(Database& db, const std::string& path) {
  if (Status opened = db.Open(path); !opened.IsOk()) return opened;
  DatabaseLock lock(db);
  try {
    if (!db.TableExists("authreg")) db.Exec(kCreateAuthreg);
    if (!db.TableExists("vcard")) db.Exec(kCreateVcard);
    if (!db.TableExists("organize")) db.Exec(kCreateOrganize);
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
  try {
    if (!db.TableExists("OfflineInfo")) CreateOfflineInfoTable(db);
    if (!db.TableExists("OfflineFiles")) CreateOfflineFilesTable(db);
  } catch (const DatabaseError&) {
    // Quiet by design: the offline tables are best effort; the directory
    // works without them and their statements fail on their own.
    NoteQuietFailure("offline tables");
  }
  CreateOfflineIndexes(db);
  UpgradeSchema(db);
  try {
    CreateAuditTable(db);
    PurgeAuditRows(db, Clock::now());
  } catch (const DatabaseError& e) {
    // The directory works without the audit log (a read-only file); the
    // appends report their own failures.
    NoteQuietFailure("audit log", e.what());
  }
  return Status::Ok();
}

void CreateOfflineInfoTable(Database& db) {
  try {
    db.Exec(kCreateOfflineInfo);
  } catch (const DatabaseError&) {
    // Quiet by design, as above: storing offline messages then fails.
    NoteQuietFailure("table OfflineInfo");
  }
}

void CreateOfflineFilesTable(Database& db) {
  try {
    db.Exec(kCreateOfflineFiles);
  } catch (const DatabaseError&) {
    // Quiet by design, as above: storing offline files then fails.
    NoteQuietFailure("table OfflineFiles");
  }
}

void CreateOfflineIndexes(Database& db) {
  for (const char* sql : {kCreateOfflineInfoIndex, kCreateOfflineFilesIndex, kCreateAuthregIndex, kCreateVcardIndex}) {
    try {
      db.Exec(sql);
    } catch (const DatabaseError&) {
      // Quiet by design: without the index the look-ups still work, only
      // slower (a missing table, a read-only file).
      NoteQuietFailure("index");
    }
  }
}

void UpgradeSchema(Database& db) {
  try {
    if (!HasColumn(db.ColumnNames("select * from organize"), "orgID")) {
      db.Exec("ALTER Table organize add orgID double null default 100");
    }
    // Older files may lack USERID altogether; where it exists it already has
    // the wanted definition (SQLite cannot alter a column's type, and needs
    // not: a REAL-affinity column with default 100 is what the step reaches).
    if (!HasColumn(db.ColumnNames("select * from authreg"), "USERID")) {
      db.Exec("ALTER Table authreg add USERID double null default 100");
    }
  } catch (const DatabaseError&) {
    // Quiet by design: an older file opens without the column (a read-only
    // file, say); what reads the column then reports its own failure.
    NoteQuietFailure("schema upgrade");
  }
}

namespace {

// Entries as the table holds them; the texts are taken as they are.
OrgPtr OrgEntry(TorgInfo org) {
  org.orgID = ClampDisplayOrder(org.orgID);
  return std::make_shared<const TorgInfo>(std::move(org));
}

UserPtr UserEntry(TUserInfo info, std::string organizename) {
  info.username = AsciiUpper(info.username);
  info.USERID = ClampDisplayOrder(info.USERID);
  info.organizename = std::move(organizename);
  return std::make_shared<const TUserInfo>(std::move(info));
}

}  // namespace

OrgPtr MakeOrg(std::string organizename, std::string organizeNo, std::string parNo, std::int64_t orgID) {
  TorgInfo org{std::move(organizename), std::move(organizeNo), std::move(parNo), orgID};
  MakeStorable(org);
  return OrgEntry(std::move(org));
}

UserPtr MakeUser(TUserInfo info, std::string organizename) {
  MakeStorable(info);
  return UserEntry(std::move(info), std::move(organizename));
}

UserPtr MakeUser(TUserInfo info, const std::vector<OrgPtr>& orgs) {
  MakeStorable(info);
  for (const auto& org : orgs)
    if (org->organizeNo == info.organizeNo) return UserEntry(std::move(info), org->organizename);
  return UserEntry(std::move(info), std::string());
}

OrgPtr AddOrg(std::vector<OrgPtr>& orgs, std::string organizename, std::string organizeNo, std::string parNo,
              std::int64_t orgID) {
  orgs.push_back(MakeOrg(std::move(organizename), std::move(organizeNo), std::move(parNo), orgID));
  return orgs.back();
}

UserPtr AddUser(std::vector<UserPtr>& users, TUserInfo info, const std::vector<OrgPtr>& orgs) {
  users.push_back(MakeUser(std::move(info), orgs));
  return users.back();
}

LoadedOrgs LoadOrgs(Database& db) {
  DatabaseLock lock(db);
  LoadedOrgs result;
  bool empty = true;
  {
    Statement st(db, "Select * from organize");
    auto index = ColumnIndex(st);
    auto column = [&](const char* name) {
      auto it = index.find(name);
      return it == index.end() ? -1 : it->second;
    };
    int cNo = column("ORGANIZENO"), cName = column("ORGANIZENAME"), cPar = column("PARNO"), cId = column("ORGID");
    if (cNo < 0 || cName < 0 || cPar < 0) throw DatabaseError("organize lacks a column");
    while (st.Step()) {
      empty = false;
      std::string code = st.ColumnText(cNo);
      if (code == "Root") {
        result.companyName = st.ColumnText(cName);
      } else {
        result.orgs.push_back(
            OrgEntry({st.ColumnText(cName), std::move(code), st.ColumnText(cPar), cId < 0 ? 0 : st.ColumnInt64(cId)}));
      }
    }
  }
  if (empty) {
    // Seed the root (which carries the organisation's name) and one
    // department for accounts that have none yet. Both rows or neither.
    Transaction tx(db);
    Statement ins(db, "insert into organize (organizeNo,organizename,parNo) values(:orgNo,:orgname,:parNo)");
    ins.BindText(":orgNo", "Root").BindText(":orgname", "组织机构").BindText(":parNo", "");
    ins.Run();
    ins.Reset();
    ins.BindText(":orgname", "未分组").BindText(":orgNo", "001").BindText(":parNo", "Root");
    ins.Run();
    tx.Commit();
    result.companyName = "组织机构";
    // In memory the seeded department has display order 0 until the next load.
    AddOrg(result.orgs, "未分组", "001", "Root", 0);
  }
  return result;
}

std::vector<UserPtr> LoadUsers(Database& db, const std::vector<OrgPtr>& orgs) {
  DatabaseLock lock(db);
  Statement st(db,
               "select authreg.username,vcard.username,authreg.pwd,authreg.nickname,authreg.organizeNo,"
               "vcard.n_family,vcard.n_given,vcard.tel,vcard.email,vcard.adr_country,vcard.adr_street,"
               "vcard.org_orgname,vcard.org_orgunit,vcard.title,vcard.bday,vcard.url,vcard.work_tel,"
               "vcard.work_fax,vcard.mobilephone,vcard.work_adr,vcard.sex,vcard.self_desc,authreg.USERID "
               "from authreg,vcard where authreg.username=vcard.username Order By authreg.USERID  Desc");
  // The first department of each code names it.
  std::unordered_map<std::string_view, std::string_view> orgName;
  for (const auto& org : orgs) orgName.try_emplace(org->organizeNo, org->organizename);
  std::vector<UserPtr> users;
  while (st.Step()) {
    TUserInfo u;
    u.username = st.ColumnText(0);
    u.pwd = st.ColumnText(2);
    u.nickname = st.ColumnText(3);
    u.organizeNo = st.ColumnText(4);
    u.n_family = st.ColumnText(5);
    u.n_given = st.ColumnText(6);
    u.tel = st.ColumnText(7);
    u.email = st.ColumnText(8);
    u.adr_country = st.ColumnText(9);
    u.adr_street = st.ColumnText(10);
    u.org_orgname = st.ColumnText(11);
    u.org_orgunit = st.ColumnText(12);
    u.title = st.ColumnText(13);
    u.bday = st.ColumnText(14);
    u.url = st.ColumnText(15);
    u.work_tel = st.ColumnText(16);
    u.work_fax = st.ColumnText(17);
    u.mobilephone = st.ColumnText(18);
    u.work_adr = st.ColumnText(19);
    u.sex = st.ColumnText(20);
    u.self_desc = st.ColumnText(21);
    u.USERID = st.ColumnInt64(22);
    auto it = orgName.find(u.organizeNo);
    std::string name = it == orgName.end() ? std::string() : std::string(it->second);
    users.push_back(UserEntry(std::move(u), std::move(name)));
  }
  return users;
}

Status LoadDirectory(Database& db, Directory& directory) {
  try {
    LoadedOrgs orgs = LoadOrgs(db);
    std::vector<UserPtr> users = LoadUsers(db, orgs.orgs);
    directory.Replace(std::move(orgs.companyName), std::move(orgs.orgs), std::move(users));
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
}

}  // namespace corvan
