// The statements on the tables OfflineInfo (stored messages) and
// OfflineFiles (stored files and folders). Each call takes the connection's
// lock itself; the caller holds OfflineInfoLock or OfflineFilesLock, which
// order the groups of statements on each table. A database failure comes
// back as a Status (kDatabaseFailed, the engine's message).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace corvan {

class Database;

struct OfflineFileRow {
  std::int64_t rowid = 0;
  std::string FromUser;
  std::string FromNick;
  std::string ToUser;
  std::string FileType;
  std::string FileName;
  std::string FilePath;
  std::string SendTime;
};

struct OfflineMessageRow {
  std::string FromUser;
  std::string ToUser;
  std::string SendContent;  // the frame as received
};

struct StoredOfflineMessage {
  std::int64_t rowid = 0;
  std::string SendContent;
};

class OfflineTables {
 public:
  explicit OfflineTables(Database& db) : db_(db) {}

  // --- OfflineInfo ---------------------------------------------------------

  // Inserts the messages with the one `sendTime`, all or none (one
  // transaction).
  Status InsertMessages(const std::vector<OfflineMessageRow>& messages, std::string_view sendTime);
  // The messages stored for `toUser`, oldest first.
  Result<std::vector<StoredOfflineMessage>> MessagesFor(std::string_view toUser);
  // Deletes exactly these rows, all or none.
  Status DeleteMessages(const std::vector<std::int64_t>& rowids);
  // Deletes the messages stored before `cutOff` (a database time).
  Status DeleteMessagesBefore(std::string_view cutOff);

  // --- OfflineFiles --------------------------------------------------------

  Status InsertFile(const OfflineFileRow& row);
  // The rows stored for `toUser`, every column.
  Result<std::vector<OfflineFileRow>> FilesFor(std::string_view toUser);
  // The rows stored before `cutOff`: rowid and FilePath only.
  Result<std::vector<OfflineFileRow>> FilesBefore(std::string_view cutOff);
  // How many rows have a FilePath that begins with `folder`.
  Result<std::int64_t> CountFilesUnder(std::string_view folder);
  // Deletes exactly these rows, all or none.
  Status DeleteFiles(const std::vector<std::int64_t>& rowids);

 private:
  Database& db_;
};

}  // namespace corvan
