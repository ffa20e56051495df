#include "storage/database.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>

#include "base/quiet_failure.h"
#include "base/status.h"
#include "base/text.h"
#include "storage/private_files.h"

namespace corvan {

void SqliteCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteFinalizer::operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }

namespace {

std::string ErrorText(sqlite3* db, int rc) {
  if (db != nullptr) return sqlite3_errmsg(db);
  return sqlite3_errstr(rc);
}

// Copies every page of `from` into `to`; both connections already open.
Status DbFailure(std::string message) { return Status(StatusCode::kDatabaseFailed, std::move(message)); }

Status CopyDatabase(sqlite3* to, sqlite3* from) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) return DbFailure(sqlite3_errmsg(to));
  int rc;
  // Busy or locked pages are retried a few times; the busy timeout of the
  // source connection does not apply to the backup's own steps.
  int retries = 0;
  do {
    rc = sqlite3_backup_step(backup, -1);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
      if (++retries > 50) break;
      sqlite3_sleep(100);
    }
  } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
  int finish = sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE || finish != SQLITE_OK) {
    return DbFailure(rc != SQLITE_DONE ? sqlite3_errstr(rc) : sqlite3_errmsg(to));
  }
  return Status::Ok();
}

using Connection = std::unique_ptr<sqlite3, SqliteCloser>;

// The engine creates missing files with mode 0644; the database holds
// passwords, so a file about to be created is made first, private. Its
// journal takes the same mode from it. ":memory:" and URIs are not files.
Status PrepareFile(const std::string& path) {
  if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) return Status::Ok();
  return CreatePrivateFileIfMissing(path);
}

Result<Connection> OpenRaw(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) return DbFailure(ErrorText(raw, rc));
  sqlite3_busy_timeout(raw, Database::kBusyTimeoutMs);
  return db;
}

}  // namespace

Database::~Database() { Close(); }

Status Database::Open(const std::string& path, bool create) {
  MutexLock lock(mutex_);
  db_.reset();
  open_ = false;
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (create) {
    if (Status prepared = PrepareFile(path); !prepared.IsOk()) return prepared;
  }
  Result<Connection> opened = OpenRaw(path, flags);
  if (!opened.IsOk()) return opened.GetStatus();
  Connection db = std::move(opened).Value();
  // sqlite3_open only reads the header lazily; touching the schema makes a
  // damaged file or a file of another kind fail now. A single self-contained
  // file is kept (rollback journal, not WAL), so the file can be copied or
  // replaced whole and no side files linger beside it.
  char* message = nullptr;
  int rc = sqlite3_exec(db.get(), "PRAGMA journal_mode=DELETE; SELECT count(*) FROM sqlite_master;", nullptr, nullptr,
                        &message);
  if (rc != SQLITE_OK) {
    Status failed = DbFailure(message ? message : sqlite3_errstr(rc));
    sqlite3_free(message);
    return failed;
  }
  db_ = std::move(db);
  open_ = true;
  return Status::Ok();
}

void Database::Close() {
  MutexLock lock(mutex_);
  open_ = false;
  db_.reset();
}

bool Database::IsOpen() const { return open_; }

std::string Database::LastError() const { return db_ ? sqlite3_errmsg(db_.get()) : "database not open"; }

void Database::Exec(std::string_view sql) {
  if (!db_) throw DatabaseError("database not open");
  std::string text(sql);
  char* message = nullptr;
  int rc = sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string what = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw DatabaseError(what);
  }
}

bool Database::TableExists(std::string_view name) {
  // sqlite_master lists every table; the system tables (sqlite_%) are in it
  // as well, except sqlite_master itself, which is added here.
  std::string wanted = AsciiUpper(name);
  if (wanted == "SQLITE_MASTER" || wanted == "SQLITE_SCHEMA") return true;
  Statement st(*this, "select name from sqlite_master where type in ('table','view')");
  while (st.Step()) {
    if (AsciiUpper(st.ColumnText(0)) == wanted) return true;
  }
  return false;
}

std::vector<std::string> Database::ColumnNames(std::string_view sql) {
  Statement st(*this, sql);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(st.ColumnCount()));
  for (int i = 0; i < st.ColumnCount(); ++i) names.push_back(st.ColumnName(i));
  return names;
}

Status Database::BackupTo(const std::string& path) {
  MutexLock lock(mutex_);
  if (!db_) return DbFailure("database not open");
  if (Status prepared = PrepareFile(path); !prepared.IsOk()) return prepared;
  Result<Connection> to = OpenRaw(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!to.IsOk()) return to.GetStatus();
  return CopyDatabase(to.Value().get(), db_.get());
}

Status Database::RestoreFrom(const std::string& path) {
  MutexLock lock(mutex_);
  if (!db_) return DbFailure("database not open");
  Result<Connection> from = OpenRaw(path, SQLITE_OPEN_READONLY);
  if (!from.IsOk()) return from.GetStatus();
  return CopyDatabase(db_.get(), from.Value().get());
}

Status CheckDirectoryDatabase(const std::string& path) {
  Database db;
  if (Status opened = db.Open(path, /*create=*/false); !opened.IsOk())
    return Status(opened.Code(), path + ": " + opened.Message());
  try {
    DatabaseLock lock(db);
    for (const char* table : {"authreg", "vcard", "organize"})
      if (!db.TableExists(table)) return Status(StatusCode::kInvalidInput, path + ": 缺少表 " + table);
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, path + ": " + e.what());
  }
}

// --- Statement ---

Statement::Statement(Database& db, std::string_view sql) {
  if (!db.Handle()) throw DatabaseError("database not open");
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  st_.reset(raw);
  if (rc != SQLITE_OK) throw DatabaseError(sqlite3_errmsg(db.Handle()));
  if (raw == nullptr) throw DatabaseError("empty statement");
}

sqlite3* Statement::Connection() const { return sqlite3_db_handle(st_.get()); }

int Statement::Index(std::string_view name) const {
  std::string key(name);
  int index = sqlite3_bind_parameter_index(st_.get(), key.c_str());
  if (index == 0) throw DatabaseError("no parameter " + key);
  return index;
}

namespace {
void Check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK) throw DatabaseError(sqlite3_errmsg(db));
}
}  // namespace

Statement& Statement::BindText(std::string_view name, std::string_view value) {
  Check(Connection(),
        sqlite3_bind_text64(st_.get(), Index(name), value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  return *this;
}

Statement& Statement::BindText(int parameter, std::string_view value) {
  Check(Connection(),
        sqlite3_bind_text64(st_.get(), parameter, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  return *this;
}

Statement& Statement::BindInt64(std::string_view name, std::int64_t value) {
  Check(Connection(), sqlite3_bind_int64(st_.get(), Index(name), value));
  return *this;
}

Statement& Statement::BindInt64(int parameter, std::int64_t value) {
  Check(Connection(), sqlite3_bind_int64(st_.get(), parameter, value));
  return *this;
}

Statement& Statement::BindDouble(std::string_view name, double value) {
  Check(Connection(), sqlite3_bind_double(st_.get(), Index(name), value));
  return *this;
}

Statement& Statement::BindBlob(std::string_view name, std::string_view bytes) {
  // A zero-length blob is still a blob, not NULL.
  Check(Connection(), bytes.empty()
                          ? sqlite3_bind_zeroblob(st_.get(), Index(name), 0)
                          : sqlite3_bind_blob64(st_.get(), Index(name), bytes.data(), bytes.size(), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::BindNull(std::string_view name) {
  Check(Connection(), sqlite3_bind_null(st_.get(), Index(name)));
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(st_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw DatabaseError(sqlite3_errmsg(Connection()));
}

void Statement::Run() {
  while (Step()) {
  }
}

void Statement::Reset() { sqlite3_reset(st_.get()); }

int Statement::ColumnCount() const { return sqlite3_column_count(st_.get()); }

std::string Statement::ColumnName(int i) const {
  const char* name = sqlite3_column_name(st_.get(), i);
  return name ? name : "";
}

bool Statement::IsNull(int i) const { return sqlite3_column_type(st_.get(), i) == SQLITE_NULL; }

std::string Statement::ColumnText(int i) const {
  const unsigned char* text = sqlite3_column_text(st_.get(), i);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(st_.get(), i)));
}

std::int64_t Statement::ColumnInt64(int i) const {
  switch (sqlite3_column_type(st_.get(), i)) {
    case SQLITE_NULL: return 0;
    case SQLITE_FLOAT: {
      // Display orders live in REAL columns; a NaN or a value beyond the
      // range reads as 0 rather than as undefined behaviour.
      double d = sqlite3_column_double(st_.get(), i);
      if (std::isnan(d) || d >= 9.2e18 || d <= -9.2e18) return 0;
      return static_cast<std::int64_t>(d);
    }
    default: return sqlite3_column_int64(st_.get(), i);
  }
}

double Statement::ColumnDouble(int i) const { return sqlite3_column_double(st_.get(), i); }

std::string Statement::ColumnBlob(int i) const {
  const void* data = sqlite3_column_blob(st_.get(), i);
  int size = sqlite3_column_bytes(st_.get(), i);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::int64_t Statement::Changes() const { return sqlite3_changes64(Connection()); }

// --- Transaction ---

Transaction::Transaction(Database& db) : db_(db) { db.Exec("BEGIN"); }

// The constructor requires the connection's lock and the transaction lives
// within that lock's scope, but the analysis cannot tie `db_` back to the
// constructor's argument, so the two calls below are not checked.
Transaction::~Transaction() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  if (done_) return;
  // Already rolled back by the engine (after some failed statements): no
  // transaction is left to end.
  if (sqlite3_get_autocommit(db_.Handle()) != 0) return;
  try {
    db_.Exec("ROLLBACK");
  } catch (const DatabaseError&) {
    // A destructor has no one to return the failure to; the connection
    // stays in the transaction, and the next BEGIN reports it.
    NoteQuietFailure("transaction rollback");
  }
}

void Transaction::Commit() CORVAN_NO_THREAD_SAFETY_ANALYSIS {
  db_.Exec("COMMIT");
  done_ = true;
}

}  // namespace corvan
