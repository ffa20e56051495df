// A small RAII layer over one SQLite connection.
//
// `Database` owns the single shared connection of the server. SQLite allows a
// connection to be used from several threads, but a prepare/bind/step/reset
// sequence must not interleave with another thread's, and the last error
// message belongs to the connection. So every caller that runs statements
// holds the connection's mutex for the whole sequence:
//
//   auto lock = db.Lock();
//   Statement st(db, "select pwd from authreg where username=:username");
//   st.BindText(":username", name);
//   while (st.Step()) { ... }
//
// `Statement`, `Exec`, `TableExists`, `ColumnNames` and `Transaction` expect
// that lock to be held by the calling thread; `Open`, `Close`, `BackupTo` and
// `RestoreFrom` take it themselves.
//
// Errors are reported by throwing `DatabaseError`: a failed statement ends the
// operation that ran it, and each caller decides where that failure stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

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

  // The mutex that guards the connection.
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  // Runs one or more statements without results. Caller holds Lock().
  void Exec(std::string_view sql);

  // Whether a table (or view) of that name exists, letter case ignored.
  // Caller holds Lock().
  bool TableExists(std::string_view name);

  // The column names of the result of `sql` (it is prepared, not run).
  // Caller holds Lock().
  std::vector<std::string> ColumnNames(std::string_view sql);

  // Copies the whole database into the file at `path` with the online backup
  // API, so the copy is consistent even while others write. Overwrites
  // `path`; a new file is created with mode 0600. Takes Lock() itself.
  Status BackupTo(const std::string& path);

  // Replaces the content of the open database with that of the database
  // file at `path` (online backup in the other direction). Takes Lock().
  Status RestoreFrom(const std::string& path);

  // The engine's message for the last failure on this connection.
  std::string LastError() const;

  sqlite3* Handle() const { return db_.get(); }

 private:
  std::mutex mutex_;
  std::unique_ptr<sqlite3, SqliteCloser> db_;  // guarded by mutex_
  std::atomic<bool> open_{false};              // readable without the mutex
};

// Whether `path` is an SQLite database file holding the tables authreg,
// vcard and organize (what a backup must contain to be restored).
bool IsValidDirectoryDatabase(const std::string& path);

// One prepared statement. Caller holds the connection's Lock() for the
// statement's whole life.
class Statement {
 public:
  // Prepares `sql`; throws DatabaseError if it does not compile or the
  // connection is not open.
  Statement(Database& db, std::string_view sql);
  ~Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binding by named parameter, e.g. ":username". Throws when the statement
  // has no parameter of that name.
  Statement& BindText(std::string_view name, std::string_view value);
  Statement& BindInt64(std::string_view name, std::int64_t value);
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

  Database& db_;
  std::unique_ptr<sqlite3_stmt, SqliteFinalizer> st_;
};

// A scoped transaction: begins on construction, rolls back in the destructor
// unless Commit() ran. Caller holds Lock().
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace corvan
