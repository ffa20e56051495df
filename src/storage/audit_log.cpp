#include "storage/audit_log.h"

#include <atomic>
#include <chrono>

namespace corvan {

namespace {

constexpr const char* kCreateAuditLog =
    "create table if not exists AuditLog(time TEXT,actorKind TEXT,actor TEXT,origin TEXT,operation TEXT,"
    "target TEXT,detail TEXT,result TEXT)";

// When the last purge ran, in seconds since the epoch (0: not yet in this
// process). Appends purge again once a day has passed.
std::atomic<std::int64_t> lastPurge{0};

std::int64_t Seconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The first kMaxAuditText characters of `text` (whole UTF-8 sequences).
std::string Bounded(std::string_view text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++chars > kMaxAuditText)
      return std::string(text.substr(0, i));
  }
  return std::string(text);
}

}  // namespace

std::string AuditResult(bool ok, std::string_view message) { return ok ? "ok" : "refused: " + std::string(message); }

void CreateAuditTable(Database& db) {
  // No index: rows are read and purged a few times a day at most, and a
  // scan of 400 days of changes is quick.
  db.Exec(kCreateAuditLog);
}

Status AppendAudit(Database& db, AuditRow row) {
  const Clock::time_point now = Clock::now();
  if (Seconds(now) - lastPurge.load() >= 24 * 3600) {
    if (Result<std::int64_t> purged = PurgeAudit(db, now); !purged.IsOk()) return purged.GetStatus();
  }
  if (row.time.empty()) row.time = FormatDbTime(now);
  try {
    DatabaseLock lock(db);
    CreateAuditTable(db);
    Statement st(db,
                 "insert into AuditLog(time,actorKind,actor,origin,operation,target,detail,result) "
                 "values(:time,:kind,:actor,:origin,:op,:target,:detail,:result)");
    st.BindText(":time", Bounded(row.time))
        .BindText(":kind", Bounded(row.actorKind))
        .BindText(":actor", Bounded(row.actor))
        .BindText(":origin", Bounded(row.origin))
        .BindText(":op", Bounded(row.operation))
        .BindText(":target", Bounded(row.target))
        .BindText(":detail", Bounded(row.detail))
        .BindText(":result", Bounded(row.result));
    st.Run();
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
  return Status::Ok();
}

Result<std::vector<AuditRow>> ReadAudit(Database& db, const AuditQuery& query) {
  std::vector<AuditRow> rows;
  try {
    DatabaseLock lock(db);
    if (!db.TableExists("AuditLog")) return rows;
    Statement st(db,
                 "select time,actorKind,actor,origin,operation,target,detail,result from AuditLog "
                 "where time >= :since and (:kind = '' or actorKind = :kind) and (:op = '' or operation = :op) "
                 "order by time desc, rowid desc limit :limit");
    st.BindText(":since", query.since)
        .BindText(":kind", query.actorKind)
        .BindText(":op", query.operation)
        .BindInt64(":limit", static_cast<std::int64_t>(kMaxAuditRows));
    while (st.Step()) {
      rows.push_back(AuditRow{st.ColumnText(0), st.ColumnText(1), st.ColumnText(2), st.ColumnText(3), st.ColumnText(4),
                              st.ColumnText(5), st.ColumnText(6), st.ColumnText(7)});
    }
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
  return std::vector<AuditRow>(rows.rbegin(), rows.rend());
}

std::int64_t PurgeAuditRows(Database& db, Clock::time_point now, int days) {
  lastPurge.store(Seconds(now));
  if (!db.TableExists("AuditLog")) return 0;
  Statement st(db, "delete from AuditLog where time < :cutoff");
  st.BindText(":cutoff", FormatDbTime(now - std::chrono::hours(24) * days));
  st.Run();
  return st.Changes();
}

Result<std::int64_t> PurgeAudit(Database& db, Clock::time_point now, int days) {
  try {
    DatabaseLock lock(db);
    return PurgeAuditRows(db, now, days);
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
}

}  // namespace corvan
