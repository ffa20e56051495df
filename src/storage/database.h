// A small RAII layer over one SQLite connection.
//
// `Database` owns the single shared connection of the server. SQLite allows a
// connection to be used from several threads, but a prepare/bind/step/reset
// sequence must not interleave with another thread's, and the last error
// message belongs to the connection. So every caller that runs statements
// holds the connection's mutex for the whole sequence:
//
//   DatabaseLock lock(db);
//   Statement st(db, "select pwd from authreg where username=:username");
//   st.BindText(":username", name);
//   while (st.Step()) { ... }
//
// `Statement`, `Exec`, `TableExists`, `ColumnNames` and `Transaction` expect
// that lock to be held by the calling thread; `Open`, `Close`, `BackupTo` and
// `RestoreFrom` take it themselves. Clang's thread-safety analysis checks
// this: the handle is declared CORVAN_GUARDED_BY the connection's mutex, and a
// function that
// runs statements for its caller says so with
// `CORVAN_REQUIRES(db.ConnectionMutex())`. The connection's mutex comes after
// the server's named locks in the lock order (base/thread_annotations.h).
//
// Errors are reported by throwing `DatabaseError`: a failed statement ends the
// operation that ran it, and each caller decides where that failure stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/thread_annotations.h"

struct sqlite3;
struct sqlite3_stmt;

namespace corvan {

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SqliteCloser {
  void operator()(sqlite3* db) const;
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* st) const;
};

// The one connection. Thread rules above.
class Database {
 public:
  // How long a statement waits for a lock held by another connection (the
  // backup tool, a second process) before it fails.
  static constexpr int kBusyTimeoutMs = 5000;

  Database() = default;
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens (creating when `create` is true) the database file at `path`;
  // ":memory:" gives a private in-memory database. Closes any previous
  // connection first. On failure returns the engine's message (or the
  // system's, when the file cannot be made). A file that exists but is not a
  // database is refused here, not at the first statement. A new file is
  // created with mode 0600.
  Status Open(const std::string& path, bool create = true);
  void Close();
  bool IsOpen() const;

  // The mutex that guards the connection; held through DatabaseLock.
  Mutex& ConnectionMutex() CORVAN_RETURN_CAPABILITY(mutex_) { return mutex_; }

  // Runs one or more statements without results. Caller holds the lock.
  void Exec(std::string_view sql) CORVAN_REQUIRES(mutex_);

  // Whether a table (or view) of that name exists, letter case ignored.
  // Caller holds the lock.
  bool TableExists(std::string_view name) CORVAN_REQUIRES(mutex_);

  // The column names of the result of `sql` (it is prepared, not run).
  // Caller holds the lock.
  std::vector<std::string> ColumnNames(std::string_view sql) CORVAN_REQUIRES(mutex_);

  // Copies the whole database into the file at `path` with the online backup
  // API, so the copy is consistent even while others write. Overwrites
  // `path`; a new file is created with mode 0600. Takes the lock itself.
  Status BackupTo(const std::string& path);

  // Replaces the content of the open database with that of the database
  // file at `path` (online backup in the other direction). Takes the lock.
  Status RestoreFrom(const std::string& path);

  // The engine's message for the last failure on this connection.
  std::string LastError() const CORVAN_REQUIRES(mutex_);

  sqlite3* Handle() const CORVAN_REQUIRES(mutex_) { return db_.get(); }

 private:
  friend class DatabaseLock;

  Mutex mutex_{LockRank::kDatabase, "database connection"};
  std::unique_ptr<sqlite3, SqliteCloser> db_ CORVAN_GUARDED_BY(mutex_);
  std::atomic<bool> open_{false};  // readable without the mutex
};

// Holds a connection's mutex for its scope; Unlock() lets it go early.
class CORVAN_SCOPED_CAPABILITY DatabaseLock {
 public:
  explicit DatabaseLock(Database& db) CORVAN_ACQUIRE(db.mutex_) : lock_(db.mutex_) {}
  ~DatabaseLock() CORVAN_RELEASE() {}
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

  void Unlock() CORVAN_RELEASE() { lock_.Unlock(); }

 private:
  MutexLock lock_;
};

// Whether `path` is an SQLite database file holding the tables authreg,
// vcard and organize (what a backup must contain to be restored): Ok, or why
// not, after the path (the engine's message, or the table that is missing).
Status CheckDirectoryDatabase(const std::string& path);

// One prepared statement. Caller holds the connection's lock for the
// statement's whole life.
class Statement {
 public:
  // Prepares `sql`; throws DatabaseError if it does not compile or the
  // connection is not open.
  Statement(Database& db, std::string_view sql) CORVAN_REQUIRES(db.ConnectionMutex());
  ~Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binding by named parameter, e.g. ":username". Throws when the statement
  // has no parameter of that name.
  Statement& BindText(std::string_view name, std::string_view value);
  Statement& BindInt64(std::string_view name, std::int64_t value);
  // The same by position (from Parameter), for a statement run many times.
  int Parameter(std::string_view name) const { return Index(name); }
  Statement& BindText(int parameter, std::string_view value);
  Statement& BindInt64(int parameter, std::int64_t value);
  Statement& BindDouble(std::string_view name, double value);
  Statement& BindBlob(std::string_view name, std::string_view bytes);
  Statement& BindNull(std::string_view name);

  // Advances to the next row: true if a row is available, false when done.
  // Throws on failure.
  bool Step();
  // Runs a statement that yields no rows to its end.
  void Run();
  // Resets to run again with new bindings (bindings are kept).
  void Reset();

  int ColumnCount() const;
  std::string ColumnName(int i) const;
  bool IsNull(int i) const;
  // NULL reads as empty text.
  std::string ColumnText(int i) const;
  // NULL reads as 0; a REAL is truncated toward zero, clamped to the range.
  std::int64_t ColumnInt64(int i) const;
  double ColumnDouble(int i) const;
  // The raw bytes of a BLOB (or a text's bytes); NULL reads as empty.
  std::string ColumnBlob(int i) const;

  // Number of rows changed by the last Run/Step of this connection.
  std::int64_t Changes() const;

 private:
  int Index(std::string_view name) const;
  // The connection the statement was prepared on.
  sqlite3* Connection() const;

  std::unique_ptr<sqlite3_stmt, SqliteFinalizer> st_;
};

// A scoped transaction: begins on construction, rolls back in the destructor
// unless Commit() ran. Caller holds the connection's lock for the
// transaction's whole life.
class Transaction {
 public:
  explicit Transaction(Database& db) CORVAN_REQUIRES(db.ConnectionMutex());
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace corvan
