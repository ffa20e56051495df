#include "storage/account_store.h"

#include <algorithm>
#include <unordered_map>

#include "base/text.h"
#include "storage/account_fields.h"

namespace corvan {

namespace {

// --- The statements of single changes --------------------------------------------

constexpr std::string_view kInsertAuthreg =
    "insert into authreg (username,pwd,nickname,organizeNo,USERID) "
    "values(:username_temp,:pwd_temp,:nick_temp,:orgNo,:USERID_temp)";
constexpr std::string_view kInsertRegisteredAuthreg =
    "insert into authreg (username,pwd,nickname,organizeNo) values(:username_temp,:pwd_temp,:nick_temp,:orgNo)";
constexpr std::string_view kInsertVcard =
    "insert into vcard (username,organizeNo,nickname,url,tel,email,title,bday,n_given,n_family,adr_street,"
    "adr_country,org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,self_desc) "
    "values(:username_temp,:orgNo_temp,:nick_temp,:url_temp,:tel_temp,:email_temp,:title_temp,:bday_temp,"
    ":n_given_temp,:n_family_temp,:adr_street_temp,:adr_country_temp,:org_orgname_temp,:org_orgunit_temp,"
    ":work_tel_temp,:work_fax_temp,:mobilephone_temp,:work_adr_temp,:sex_temp,:desc_temp)";
constexpr std::string_view kUpdateAuthreg =
    "update authreg set username=:username_temp,pwd=:pwd_temp,nickname=:nick_temp,organizeNo=:orgNo,"
    "USERID=:userid_temp where username=:origloginname";
constexpr std::string_view kUpdateVcard =
    "update vcard set username=:username_temp,organizeNo=:orgNo_temp,nickname=:nick_temp,url=:url_temp,"
    "tel=:tel_temp,email=:email_temp,title=:title_temp,bday=:bday_temp,n_given=:n_given_temp,"
    "n_family=:n_family_temp,adr_street=:adr_street_temp,adr_country=:adr_country_temp,"
    "org_orgname=:org_orgname_temp,org_orgunit=:org_orgunit_temp,work_tel=:work_tel_temp,"
    "work_fax=:work_fax_temp,mobilephone=:mobilephone_temp,work_adr=:work_adr_temp,sex=:sex_temp,"
    "self_desc=:desc_temp where username=:origloginname";
constexpr std::string_view kUpdateCard =
    "update vcard set url=:url_temp,tel=:tel_temp,email=:email_temp,title=:title_temp,bday=:bday_temp,"
    "n_given=:n_given_temp,n_family=:n_family_temp,adr_street=:adr_street_temp,adr_country=:adr_country_temp,"
    "org_orgname=:org_orgname_temp,org_orgunit=:org_orgunit_temp,work_tel=:work_tel_temp,work_fax=:work_fax_temp,"
    "mobilephone=:mobilephone_temp,work_adr=:work_adr_temp,sex=:sex_temp,self_desc=:desc_temp "
    "where username=:username_temp";
constexpr std::string_view kUpdatePassword = "update authreg set pwd=:pwd_temp where username=:username_temp";
// The parameter is called orgNo in both statements but carries the name.
constexpr std::string_view kDeleteAuthreg = "delete  from authreg where username =:orgNo";
constexpr std::string_view kDeleteVcard = "delete  from vcard where username =:orgNo";
constexpr std::string_view kMoveAuthreg = "update authreg set organizeNo=:orgNo where username=:origloginname";
constexpr std::string_view kMoveVcard = "update vcard set organizeNo=:orgNo_temp where username=:origloginname";
constexpr std::string_view kInsertOrganize =
    "insert into organize (organizeNo,organizename,parNo,orgID) values(:orgNo,:orgname,:parNo,:orgid_temp)";
constexpr std::string_view kUpdateOrganize =
    "update organize set organizename=:orgname,orgID=:orgID_temp where organizeNo=:orgNo";
constexpr std::array<std::string_view, 3> kDeleteTree = {"delete  from organize where organizeNo like :orgNo",
                                                         "delete  from authreg where organizeNo like :orgNo",
                                                         "delete  from vcard where organizeNo like :orgNo"};
// The prefix :old of a code column replaced by :new; exact and
// case-sensitive, as HasCodePrefix (LIKE would ignore case).
constexpr std::array<std::string_view, 4> kRecodeTree = {
    "update organize set parNo=:new||substr(parNo,length(:old)+1) where substr(parNo,1,length(:old))=:old",
    "update organize set organizeNo=:new||substr(organizeNo,length(:old)+1) where "
    "substr(organizeNo,1,length(:old))=:old",
    "update authreg set organizeNo=:new||substr(organizeNo,length(:old)+1) where "
    "substr(organizeNo,1,length(:old))=:old",
    "update vcard set organizeNo=:new||substr(organizeNo,length(:old)+1) where substr(organizeNo,1,length(:old))=:old"};
constexpr std::string_view kRecodeUnitLinks =
    "update DirectoryUnits set organizeNo=:new||substr(organizeNo,length(:old)+1) where "
    "substr(organizeNo,1,length(:old))=:old";
constexpr std::string_view kSetParent = "update organize set parNo=:parNo where organizeNo=:orgNo";

// --- The directory links ----------------------------------------------------------

constexpr std::string_view kCreateUnitLinks =
    "create table if not exists DirectoryUnits(organizeNo TEXT COLLATE NOCASE,dn TEXT,uid TEXT)";
constexpr std::string_view kCreateAccountLinks =
    "create table if not exists DirectoryAccounts(username TEXT COLLATE NOCASE,dn TEXT,uid TEXT)";
// Every statement on the links finds its rows by key or by id.
constexpr std::string_view kCreateLinkIndexes =
    "create index if not exists DirectoryUnits_organizeNo on DirectoryUnits(organizeNo);"
    "create index if not exists DirectoryUnits_uid on DirectoryUnits(uid);"
    "create index if not exists DirectoryAccounts_username on DirectoryAccounts(username);"
    "create index if not exists DirectoryAccounts_uid on DirectoryAccounts(uid)";

// --- Staging ----------------------------------------------------------------------
//
// The staging tables live in the connection's temporary database: nothing
// of them reaches the file, a backup or another connection. Rows that change
// stored rows carry the stored row's rowid (found while staging) and its
// name, so the apply reaches each row directly and can tell when a row was
// replaced meanwhile.

constexpr std::string_view kCreateStage =
    "create temp table if not exists StagedOrgAdds(organizeNo,organizename,parNo,orgID,k,dn,uid);"
    "create temp table if not exists StagedOrgRenames(code,name);"
    "create temp table if not exists StagedUnitLinks(k,dn,uid);"
    "create temp table if not exists StagedAccountAdds(username,pwd,nickname,organizeNo,USERID,url,tel,email,title,"
    "bday,n_given,n_family,adr_street,adr_country,org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,"
    "self_desc,k,dn,uid,stale);"
    "create temp table if not exists StagedLocks(name,v);"
    "create temp table if not exists StagedAuthregChanges(rid,old,username,nickname,organizeNo);"
    "create temp table if not exists StagedVcardChanges(rid,old,renamed,username,organizeNo,nickname,email,work_tel,"
    "mobilephone,title);"
    "create temp table if not exists StagedLinkChanges(rid,old,k,dn,uid);"
    "create temp table if not exists StagedAccountRemovals(name);"
    "create temp table if not exists StagedOrgRemovals(code)";
constexpr std::string_view kClearStage =
    "delete from temp.StagedOrgAdds;delete from temp.StagedOrgRenames;delete from temp.StagedUnitLinks;"
    "delete from temp.StagedAccountAdds;delete from temp.StagedLocks;delete from temp.StagedAuthregChanges;"
    "delete from temp.StagedVcardChanges;delete from temp.StagedLinkChanges;delete from temp.StagedAccountRemovals;"
    "delete from temp.StagedOrgRemovals";

constexpr std::string_view kStageOrgAdd =
    "insert into temp.StagedOrgAdds (organizeNo,organizename,parNo,orgID,k,dn,uid) values(?1,?2,?3,?4,?5,?6,?7)";
constexpr std::string_view kStageOrgRename = "insert into temp.StagedOrgRenames (code,name) values(?1,?2)";
constexpr std::string_view kStageUnitLink = "insert into temp.StagedUnitLinks (k,dn,uid) values(?1,?2,?3)";
// The account's fields in kAccountFields order (?1..?21), then the display
// order, the link and whether a stale link goes first.
constexpr std::string_view kStageAccountAdd =
    "insert into temp.StagedAccountAdds (username,pwd,nickname,organizeNo,url,tel,email,title,bday,n_given,n_family,"
    "adr_street,adr_country,org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,self_desc,USERID,k,dn,"
    "uid,stale) values(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19,?20,?21,?22,?23,?24,?25,?26)";
constexpr std::string_view kStageLock = "insert into temp.StagedLocks (name,v) values(?1,?2)";
constexpr std::string_view kStageAuthregChange =
    "insert into temp.StagedAuthregChanges (rid,old,username,nickname,organizeNo) "
    "select rowid,?1,?2,?3,?4 from main.authreg where username=?1";
constexpr std::string_view kStageVcardChange =
    "insert into temp.StagedVcardChanges (rid,old,renamed,username,organizeNo,nickname,email,work_tel,mobilephone,"
    "title) select rowid,?1,?2,?3,?4,?5,?6,?7,?8,?9 from main.vcard where username=?1";
constexpr std::string_view kStageLinkChange =
    "insert into temp.StagedLinkChanges (rid,old,k,dn,uid) select rowid,?1,?2,?3,?4 from main.DirectoryAccounts "
    "where username=?1";
constexpr std::string_view kStageAccountRemoval = "insert into temp.StagedAccountRemovals (name) values(?1)";
constexpr std::string_view kStageOrgRemoval = "insert into temp.StagedOrgRemovals (code) values(?1)";

// The kinds of staged rows, counted while staging.
enum Kind : std::size_t {
  kOrgAdds,
  kOrgRenames,
  kUnitLinks,
  kAccountAdds,
  kStaleAdds,
  kLocks,
  kAuthregChanges,
  kVcardRenames,
  kVcardChanges,
  kLinkChanges,
  kAccountRemovals,
  kOrgRemovals,
  kKinds
};

// One statement of the apply: the kind whose rows it needs, the staging
// table they are in, and whether it must change exactly the rows staged (a
// row replaced meanwhile is then seen). Each runs over a range of the
// staging table's rows at a time (?1..?2), so that the run can stop
// between two ranges.
struct ApplyStep {
  Kind kind;
  std::string_view table;
  bool exact;
  std::string_view sql;
};

// In the order a row-by-row write takes: departments, their renames and
// links, new accounts, locks (by the names before the renames), changed
// accounts, removals.
constexpr std::array<ApplyStep, 20> kApplySteps{{
    {kOrgAdds, "StagedOrgAdds", false,
     "insert into organize (organizeNo,organizename,parNo,orgID) select organizeNo,organizename,parNo,orgID "
     "from temp.StagedOrgAdds where rowid between ?1 and ?2 order by rowid"},
    // A unit that moved leaves its old department behind, found by DN only.
    {kOrgAdds, "StagedOrgAdds", false,
     "update DirectoryUnits set uid='' where uid in "
     "(select uid from temp.StagedOrgAdds where uid<>'' and rowid between ?1 and ?2)"},
    {kOrgAdds, "StagedOrgAdds", false,
     "insert into DirectoryUnits (organizeNo,dn,uid) select k,dn,uid from temp.StagedOrgAdds "
     "where rowid between ?1 and ?2 order by rowid"},
    {kOrgRenames, "StagedOrgRenames", false,
     "update organize set organizename=s.name from temp.StagedOrgRenames s "
     "where organize.organizeNo=s.code and s.rowid between ?1 and ?2"},
    {kUnitLinks, "StagedUnitLinks", false,
     "update DirectoryUnits set dn=s.dn,uid=s.uid from temp.StagedUnitLinks s "
     "where DirectoryUnits.organizeNo=s.k and s.rowid between ?1 and ?2"},
    {kAccountAdds, "StagedAccountAdds", false,
     "insert into authreg (username,pwd,nickname,organizeNo,USERID) "
     "select username,pwd,nickname,organizeNo,USERID from temp.StagedAccountAdds "
     "where rowid between ?1 and ?2 order by rowid"},
    {kAccountAdds, "StagedAccountAdds", false,
     "insert into vcard (username,organizeNo,nickname,url,tel,email,title,bday,n_given,n_family,adr_street,"
     "adr_country,org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,self_desc) "
     "select username,organizeNo,nickname,url,tel,email,title,bday,n_given,n_family,adr_street,adr_country,"
     "org_orgname,org_orgunit,work_tel,work_fax,mobilephone,work_adr,sex,self_desc from temp.StagedAccountAdds "
     "where rowid between ?1 and ?2 order by rowid"},
    // A link left by an account removed in the console, under the name or
    // to the entry, gives way to the new one.
    {kStaleAdds, "StagedAccountAdds", false,
     "delete from DirectoryAccounts where username in "
     "(select k from temp.StagedAccountAdds where stale and rowid between ?1 and ?2)"},
    {kStaleAdds, "StagedAccountAdds", false,
     "delete from DirectoryAccounts where uid in "
     "(select uid from temp.StagedAccountAdds where stale and uid<>'' and rowid between ?1 and ?2)"},
    {kAccountAdds, "StagedAccountAdds", false,
     "insert into DirectoryAccounts (username,dn,uid) select k,dn,uid from temp.StagedAccountAdds "
     "where rowid between ?1 and ?2 order by rowid"},
    {kLocks, "StagedLocks", false,
     "update DirectoryAccounts set locked=s.v from temp.StagedLocks s "
     "where DirectoryAccounts.username=s.name and s.rowid between ?1 and ?2"},
    {kAuthregChanges, "StagedAuthregChanges", true,
     "update authreg set username=s.username,nickname=s.nickname,organizeNo=s.organizeNo "
     "from temp.StagedAuthregChanges s where s.rowid between ?1 and ?2 and authreg.rowid=s.rid "
     "and authreg.username=s.old"},
    {kVcardRenames, "StagedVcardChanges", true,
     "update vcard set username=s.username,organizeNo=s.organizeNo,nickname=s.nickname,email=s.email,"
     "work_tel=s.work_tel,mobilephone=s.mobilephone,title=s.title from temp.StagedVcardChanges s "
     "where s.rowid between ?1 and ?2 and s.renamed and vcard.rowid=s.rid and vcard.username=s.old"},
    // Without the name when it stays: setting the indexed column, even to
    // its own value, rewrites its index entry.
    {kVcardChanges, "StagedVcardChanges", true,
     "update vcard set organizeNo=s.organizeNo,nickname=s.nickname,email=s.email,work_tel=s.work_tel,"
     "mobilephone=s.mobilephone,title=s.title from temp.StagedVcardChanges s "
     "where s.rowid between ?1 and ?2 and not s.renamed and vcard.rowid=s.rid and vcard.username=s.old"},
    {kLinkChanges, "StagedLinkChanges", true,
     "update DirectoryAccounts set username=s.k,dn=s.dn,uid=s.uid from temp.StagedLinkChanges s "
     "where s.rowid between ?1 and ?2 and DirectoryAccounts.rowid=s.rid and DirectoryAccounts.username=s.old"},
    {kAccountRemovals, "StagedAccountRemovals", false,
     "delete from authreg where username in (select name from temp.StagedAccountRemovals where rowid between ?1 and "
     "?2)"},
    {kAccountRemovals, "StagedAccountRemovals", false,
     "delete from vcard where username in (select name from temp.StagedAccountRemovals where rowid between ?1 and ?2)"},
    {kAccountRemovals, "StagedAccountRemovals", false,
     "delete from DirectoryAccounts where username in "
     "(select name from temp.StagedAccountRemovals where rowid between ?1 and ?2)"},
    {kOrgRemovals, "StagedOrgRemovals", false,
     "delete from organize where organizeNo in (select code from temp.StagedOrgRemovals where rowid between ?1 and "
     "?2)"},
    {kOrgRemovals, "StagedOrgRemovals", false,
     "delete from DirectoryUnits where organizeNo in "
     "(select code from temp.StagedOrgRemovals where rowid between ?1 and ?2)"},
}};

// Staged rows per statement run: small enough that a writer who comes to
// wait is let through within a few milliseconds.
constexpr std::int64_t kApplyRange = 2000;

Status Failed(const DatabaseError& e) { return Status(StatusCode::kDatabaseFailed, e.what()); }

// Runs `body`, turning a database failure into a Status.
template <typename Body>
Status Guarded(Body&& body) {
  try {
    body();
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return Failed(e);
  }
}

void BindAccount(Statement& st, const TUserInfo& u, bool authreg) {
  for (const auto& f : kAccountFields) {
    std::string_view param = authreg ? f.authregParam : f.vcardParam;
    if (!param.empty()) st.BindText(param, u.*f.member);
  }
}

bool HasLockColumn(Database& db) CORVAN_REQUIRES(db.ConnectionMutex()) {
  const std::vector<std::string> columns = db.ColumnNames("select * from DirectoryAccounts");
  return std::any_of(columns.begin(), columns.end(),
                     [](const std::string& c) { return AsciiUpper(c) == AsciiUpper(kLockColumn); });
}

// Keeps the connection's temporary tables in memory rather than in a
// temporary file: staged rows are written and read once, and a file only
// adds its writes. Changing the setting drops the temporary tables, so it is
// changed only when it differs.
void UseMemoryForTemporaryTables(Database& db) CORVAN_REQUIRES(db.ConnectionMutex()) {
  Statement current(db, "PRAGMA temp_store");
  constexpr std::int64_t kMemory = 2;
  if (current.Step() && current.ColumnInt64(0) == kMemory) return;
  current.Reset();
  db.Exec("PRAGMA temp_store=MEMORY");
}

// Runs a bound statement and makes it ready for the next bindings.
std::int64_t RunOnce(Statement& st) {
  st.Run();
  std::int64_t changed = st.Changes();
  st.Reset();
  return changed;
}

}  // namespace

void AddLinkLockColumn(Database& db) {
  if (!db.TableExists(kAccountLinkTable) || HasLockColumn(db)) return;
  db.Exec("alter table DirectoryAccounts add column " + std::string(kLockColumn) + " INTEGER NOT NULL DEFAULT 0");
}

// --- AccountWriter ----------------------------------------------------------------
//
// A writer exists only inside InTransaction, which holds the connection's
// lock for its whole life; the analysis cannot see that through the
// reference, so the methods are not checked.

Status AccountWriter::InsertAccount(const TUserInfo& user) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement a(db_, kInsertAuthreg);
    BindAccount(a, user, true);
    a.BindInt64(":USERID_temp", user.USERID);
    a.Run();
    Statement v(db_, kInsertVcard);
    BindAccount(v, user, false);
    v.Run();
  });
}

Status AccountWriter::InsertRegisteredAccount(const TUserInfo& user) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement a(db_, kInsertRegisteredAuthreg);
    BindAccount(a, user, true);
    a.Run();
    Statement v(db_, kInsertVcard);
    BindAccount(v, user, false);
    v.Run();
  });
}

Status AccountWriter::UpdateAccount(const TUserInfo& user, std::string_view oldName) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement a(db_, kUpdateAuthreg);
    BindAccount(a, user, true);
    a.BindInt64(":userid_temp", user.USERID).BindText(":origloginname", oldName);
    a.Run();
    Statement v(db_, kUpdateVcard);
    BindAccount(v, user, false);
    v.BindText(":origloginname", oldName);
    v.Run();
  });
}

Status AccountWriter::UpdateCard(const TUserInfo& card, std::string_view name) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement st(db_, kUpdateCard);
    st.BindText(":username_temp", name);
    for (std::size_t i = kFirstCardField; i < kAccountFields.size(); ++i)
      st.BindText(kAccountFields[i].vcardParam, card.*kAccountFields[i].member);
    st.Run();
  });
}

Status AccountWriter::SetPassword(std::string_view name, std::string_view password) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement st(db_, kUpdatePassword);
    st.BindText(":pwd_temp", password).BindText(":username_temp", name);
    st.Run();
  });
}

Status AccountWriter::DeleteAccount(std::string_view name) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    for (std::string_view sql : {kDeleteAuthreg, kDeleteVcard}) {
      Statement st(db_, sql);
      st.BindText(":orgNo", name);
      st.Run();
    }
  });
}

Status AccountWriter::MoveAccount(std::string_view name, std::string_view code) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement a(db_, kMoveAuthreg);
    a.BindText(":orgNo", code).BindText(":origloginname", name);
    a.Run();
    Statement v(db_, kMoveVcard);
    v.BindText(":orgNo_temp", code).BindText(":origloginname", name);
    v.Run();
  });
}

Status AccountWriter::InsertDepartment(const TorgInfo& org) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement st(db_, kInsertOrganize);
    st.BindText(":orgNo", org.organizeNo)
        .BindText(":orgname", org.organizename)
        .BindText(":parNo", org.parNo)
        .BindInt64(":orgid_temp", org.orgID);
    st.Run();
  });
}

Status AccountWriter::UpdateDepartment(std::string_view code, std::string_view name,
                                       std::int64_t order) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    Statement st(db_, kUpdateOrganize);
    st.BindText(":orgname", name).BindInt64(":orgID_temp", order).BindText(":orgNo", code);
    st.Run();
  });
}

Status AccountWriter::DeleteDepartmentTree(std::string_view code) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    const std::string pattern = std::string(code) + "%";
    for (std::string_view sql : kDeleteTree) {
      Statement st(db_, sql);
      st.BindText(":orgNo", pattern);
      st.Run();
    }
  });
}

Status AccountWriter::RecodeDepartmentTree(std::string_view oldCode, std::string_view newCode,
                                           std::string_view newParent) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  return Guarded([&]() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
    for (std::string_view sql : kRecodeTree) {
      Statement st(db_, sql);
      st.BindText(":old", oldCode).BindText(":new", newCode);
      st.Run();
    }
    bool linked = false;
    {
      Statement probe(db_, "select 1 from sqlite_master where type='table' and name='DirectoryUnits'");
      linked = probe.Step();
    }
    if (linked) {
      Statement st(db_, kRecodeUnitLinks);
      st.BindText(":old", oldCode).BindText(":new", newCode);
      st.Run();
    }
    Statement parent(db_, kSetParent);
    parent.BindText(":parNo", newParent).BindText(":orgNo", newCode);
    parent.Run();
  });
}

Result<StagedApply> AccountWriter::ApplyStaged(const std::function<bool()>& giveWay) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  if (stagedRows_ == nullptr || stagedRows_->size() != kKinds)
    return Status(StatusCode::kInternal, "nothing was staged");
  try {
    // The transaction's pages stay in memory until the commit instead of
    // being spilled to the file (and synced) part way: the statements then
    // wait for no disk, and giving way rolls back without touching the
    // file. ClearStage turns spilling back on and gives the memory back.
    db_.Exec("PRAGMA cache_spill=OFF");
    db_.Exec(kCreateUnitLinks);
    db_.Exec(kCreateAccountLinks);
    AddLinkLockColumn(db_);
    db_.Exec(kCreateLinkIndexes);
    const std::vector<std::int64_t>& staged = *stagedRows_;
    for (const ApplyStep& step : kApplySteps) {
      if (staged[step.kind] == 0) continue;
      std::int64_t first = 0, last = -1;
      {
        Statement range(db_, "select min(rowid),max(rowid) from temp." + std::string(step.table));
        if (range.Step()) first = range.ColumnInt64(0), last = range.ColumnInt64(1);
      }
      Statement st(db_, step.sql);
      std::int64_t changed = 0;
      for (std::int64_t from = first; from <= last; from += kApplyRange) {
        if (giveWay && giveWay()) return StagedApply::kGaveWay;
        st.BindInt64(1, from).BindInt64(2, from + kApplyRange - 1);
        changed += RunOnce(st);
      }
      if (step.exact && changed != staged[step.kind]) return StagedApply::kStale;
    }
    if (giveWay && giveWay()) return StagedApply::kGaveWay;
    return StagedApply::kApplied;
  } catch (const DatabaseError& e) {
    return Failed(e);
  }
}

// --- AccountStore -----------------------------------------------------------------

Status AccountStore::InTransaction(const std::function<Status(AccountWriter&)>& work) {
  try {
    DatabaseLock lock(db_);
    Transaction tx(db_);
    AccountWriter writer(db_);
    writer.stagedRows_ = &stagedRows_;
    Status result = work(writer);
    if (result.IsOk()) tx.Commit();
    return result;
  } catch (const DatabaseError& e) {
    return Failed(e);
  }
}

namespace {

// Feeds staged rows to the database a slice at a time: each slice is one
// transaction on the temporary tables under the connection's lock, and
// between slices the lock is free for everyone else.
class Slicer {
 public:
  Slicer(Database& db, const std::function<void()>& afterSlice) : db_(db), afterSlice_(afterSlice) {}

  // Runs `row(i)` for i in [0, count) in slices; `row` runs with the lock
  // held and prepares what it needs through `Prepared`.
  template <typename Row>
  void Rows(std::size_t count, Row&& row) {
    for (std::size_t start = 0; start < count; start += AccountStore::kStageSlice) {
      {
        DatabaseLock lock(db_);
        Transaction tx(db_);
        for (std::size_t i = start; i < std::min(count, start + AccountStore::kStageSlice); ++i) row(i);
        tx.Commit();
      }
      if (afterSlice_) afterSlice_();
    }
  }

 private:
  Database& db_;
  const std::function<void()>& afterSlice_;
};

// A statement prepared on first use in a slice and kept for the following
// rows of the same slice.
class SliceStatement {
 public:
  explicit SliceStatement(std::string_view sql) : sql_(sql) {}
  Statement& On(Database& db) CORVAN_REQUIRES(db.ConnectionMutex()) {
    if (!st_) st_ = std::make_unique<Statement>(db, sql_);
    return *st_;
  }
  void EndSlice() { st_.reset(); }

 private:
  std::string_view sql_;
  std::unique_ptr<Statement> st_;
};

}  // namespace

Status AccountStore::Stage(const AccountBatch& batch, const std::function<void()>& afterSlice) {
  stagedRows_.assign(kKinds, 0);
  try {
    bool linkTable = false;
    {
      DatabaseLock lock(db_);
      UseMemoryForTemporaryTables(db_);
      db_.Exec(kCreateStage);
      db_.Exec(kClearStage);
      linkTable = db_.TableExists(kAccountLinkTable);
    }
    Slicer slicer(db_, afterSlice);
    // Small lists go in one slice each; the accounts in slices.
    auto simple = [&](std::size_t count, std::string_view sql, Kind kind, const auto& bind) {
      slicer.Rows(count == 0 ? 0 : 1, [&](std::size_t) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
        Statement st(db_, sql);
        for (std::size_t i = 0; i < count; ++i) {
          bind(st, i);
          stagedRows_[kind] += RunOnce(st);
        }
      });
    };
    simple(batch.orgAdds.size(), kStageOrgAdd, kOrgAdds, [&](Statement& st, std::size_t i) {
      const auto& a = batch.orgAdds[i];
      st.BindText(1, a.org->organizeNo)
          .BindText(2, a.org->organizename)
          .BindText(3, a.org->parNo)
          .BindInt64(4, a.org->orgID)
          .BindText(5, a.link.key)
          .BindText(6, a.link.dn)
          .BindText(7, a.link.id);
    });
    simple(batch.orgRenames.size(), kStageOrgRename, kOrgRenames, [&](Statement& st, std::size_t i) {
      st.BindText(1, batch.orgRenames[i].code).BindText(2, batch.orgRenames[i].name);
    });
    simple(batch.unitLinks.size(), kStageUnitLink, kUnitLinks, [&](Statement& st, std::size_t i) {
      const auto& l = batch.unitLinks[i];
      st.BindText(1, l.key).BindText(2, l.dn).BindText(3, l.id);
    });
    // The last lock of a name holds, as when they were written in turn.
    std::vector<std::pair<std::string, bool>> locks;
    {
      std::unordered_map<std::string, std::size_t> at;
      for (const auto& [name, locked] : batch.locks) {
        auto [it, added] = at.try_emplace(AsciiUpper(name), locks.size());
        if (added) locks.emplace_back(name, locked);
        else locks[it->second].second = locked;
      }
    }
    simple(locks.size(), kStageLock, kLocks,
           [&](Statement& st, std::size_t i) { st.BindText(1, locks[i].first).BindInt64(2, locks[i].second ? 1 : 0); });
    simple(batch.accountRemovals.size(), kStageAccountRemoval, kAccountRemovals,
           [&](Statement& st, std::size_t i) { st.BindText(1, batch.accountRemovals[i]); });
    simple(batch.orgRemovals.size(), kStageOrgRemoval, kOrgRemovals,
           [&](Statement& st, std::size_t i) { st.BindText(1, batch.orgRemovals[i]); });

    SliceStatement add(kStageAccountAdd);
    slicer.Rows(batch.accountAdds.size(), [&](std::size_t i) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
      const auto& a = batch.accountAdds[i];
      Statement& st = add.On(db_);
      for (std::size_t f = 0; f < kAccountFields.size(); ++f)
        st.BindText(static_cast<int>(f + 1), (*a.user).*kAccountFields[f].member);
      const int next = static_cast<int>(kAccountFields.size()) + 1;
      st.BindInt64(next, a.user->USERID)
          .BindText(next + 1, a.link.key)
          .BindText(next + 2, a.link.dn)
          .BindText(next + 3, a.link.id)
          .BindInt64(next + 4, a.staleLink ? 1 : 0);
      stagedRows_[kAccountAdds] += RunOnce(st);
      if (a.staleLink) ++stagedRows_[kStaleAdds];
      if (i + 1 == batch.accountAdds.size() || (i + 1) % kStageSlice == 0) add.EndSlice();
    });

    SliceStatement authreg(kStageAuthregChange), vcard(kStageVcardChange), link(kStageLinkChange);
    slicer.Rows(batch.accountChanges.size(), [&](std::size_t i) CORVAN_NO_THREAD_SAFETY_ANALYSIS {
      const auto& c = batch.accountChanges[i];
      if (c.authreg && c.user) {
        Statement& st = authreg.On(db_);
        st.BindText(1, c.oldName)
            .BindText(2, c.user->username)
            .BindText(3, c.user->nickname)
            .BindText(4, c.user->organizeNo);
        stagedRows_[kAuthregChanges] += RunOnce(st);
      }
      if (c.vcard && c.user) {
        const TUserInfo& u = *c.user;
        const bool renamed = u.username != c.oldName;
        Statement& st = vcard.On(db_);
        st.BindText(1, c.oldName)
            .BindInt64(2, renamed ? 1 : 0)
            .BindText(3, u.username)
            .BindText(4, u.organizeNo)
            .BindText(5, u.nickname)
            .BindText(6, u.email)
            .BindText(7, u.work_tel)
            .BindText(8, u.mobilephone)
            .BindText(9, u.title);
        stagedRows_[renamed ? kVcardRenames : kVcardChanges] += RunOnce(st);
      }
      if (c.link && linkTable) {
        Statement& st = link.On(db_);
        st.BindText(1, c.oldName).BindText(2, c.newLink.key).BindText(3, c.newLink.dn).BindText(4, c.newLink.id);
        stagedRows_[kLinkChanges] += RunOnce(st);
      }
      if (i + 1 == batch.accountChanges.size() || (i + 1) % kStageSlice == 0) {
        authreg.EndSlice();
        vcard.EndSlice();
        link.EndSlice();
      }
    });
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return Failed(e);
  }
}

Status AccountStore::ClearStage() {
  if (stagedRows_.empty()) return Status::Ok();  // nothing staged through this store
  stagedRows_.clear();
  return Guarded([&] {
    DatabaseLock lock(db_);
    db_.Exec(kCreateStage);
    db_.Exec(kClearStage);
    db_.Exec("PRAGMA cache_spill=ON");
    db_.Exec("PRAGMA shrink_memory");
  });
}

Result<std::vector<StoredLink>> AccountStore::ReadLinks(std::string_view table) {
  std::vector<StoredLink> links;
  try {
    DatabaseLock lock(db_);
    if (!db_.TableExists(table)) return links;
    const bool accounts = table == kAccountLinkTable;
    const bool lockColumn = accounts && HasLockColumn(db_);
    Statement st(db_, "select " + std::string(accounts ? "username" : "organizeNo") + ",dn,uid" +
                          (lockColumn ? "," + std::string(kLockColumn) : std::string()) + " from " +
                          std::string(table));
    while (st.Step())
      links.push_back({st.ColumnText(0), st.ColumnText(1), st.ColumnText(2), lockColumn && st.ColumnInt64(3) != 0});
    return links;
  } catch (const DatabaseError& e) {
    return Failed(e);
  }
}

Status AccountStore::AddLockColumn() {
  return Guarded([&] {
    DatabaseLock lock(db_);
    AddLinkLockColumn(db_);
  });
}

}  // namespace corvan
