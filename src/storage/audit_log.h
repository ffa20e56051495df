// The audit log: one row per administrative change (who, from where, what,
// on which target, and whether it was done), kept in the table AuditLog of
// the database.
//
// Rows are kept kAuditRetentionDays days: older rows are purged when the
// database is opened (every start of the server and every run of the tool
// on the files) and, in a process that runs for days, at the first append
// after a day since the last purge. The retention is a constant of the
// program, not a setting of Configure.xml.
//
// Every text is cut to a bounded length before it is stored; callers never
// pass a password (the detail says which fields changed, not their values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "storage/database.h"

namespace corvan {

inline constexpr int kAuditRetentionDays = 400;
// Longest text stored in a column, in characters.
inline constexpr std::size_t kMaxAuditText = 500;
// Most rows one read returns (the newest ones).
inline constexpr std::size_t kMaxAuditRows = 10000;

// The kinds of actor, as stored.
inline constexpr std::string_view kAuditConsole = "console";
inline constexpr std::string_view kAuditCorvanctl = "corvanctl";
inline constexpr std::string_view kAuditSync = "sync";
inline constexpr std::string_view kAuditWeb = "web";

struct AuditRow {
  std::string time;       // "YYYY-MM-DD HH:MM:SS", local; filled in by AppendAudit when empty
  std::string actorKind;  // one of the kinds above
  std::string actor;      // user name of the caller, the web administrator, "console", "sync"
  std::string origin;     // "uid 1000", a peer address, or empty
  std::string operation;  // the command's name, e.g. "user add"
  std::string target;     // the account, department, file... it acted on
  std::string detail;     // short, never a password
  std::string result;     // "ok", or "refused: " and the message

  bool operator==(const AuditRow&) const = default;
};

// "ok", or "refused: MESSAGE" (the message may be empty).
std::string AuditResult(bool ok, std::string_view message);

struct AuditQuery {
  std::string since;      // rows at or after this time text ("2026-12-01" or with the time); empty: all
  std::string actorKind;  // empty: every kind
  std::string operation;  // empty: every operation
};

// Creates AuditLog when missing. Caller holds the connection's lock.
void CreateAuditTable(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());

// Appends one row (time now when `row.time` is empty). Takes the
// connection's lock.
Status AppendAudit(Database& db, AuditRow row);

// The rows matching `query`, oldest first; at most kMaxAuditRows (the newest
// of them). Takes the connection's lock.
Result<std::vector<AuditRow>> ReadAudit(Database& db, const AuditQuery& query);

// Deletes the rows older than `days` days before `now`; the number deleted.
// Caller holds the connection's lock; throws DatabaseError.
std::int64_t PurgeAuditRows(Database& db, Clock::time_point now, int days = kAuditRetentionDays)
    CORVAN_REQUIRES(db.ConnectionMutex());
// The same, taking the lock and returning a failure as a Status.
Result<std::int64_t> PurgeAudit(Database& db, Clock::time_point now, int days = kAuditRetentionDays);

}  // namespace corvan
