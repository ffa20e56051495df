// The rows of table OfflineFiles and the layout of the offline-files folder,
// shared by the upload, the delivery and the housekeeping.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

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

// Inserts one row. The caller holds OfflineFilesLock; the connection's lock
// is taken here. Throws DatabaseError.
void InsertOfflineFile(Database& db, const OfflineFileRow& row);

// Deletes exactly these rows, all or none (one transaction). The caller
// holds OfflineFilesLock; the connection's lock is taken here. Throws
// DatabaseError.
void DeleteOfflineFileRows(Database& db, const std::vector<std::int64_t>& rowids);

// The upload folder of a stored item: the parent of its FilePath, but only
// when that folder lies exactly two levels below `offlineFilesDir` (recipient
// folder, stamp folder). Anything else, such as a path from a foreign
// database, gives an empty path, so no folder outside the store is ever
// removed.
std::filesystem::path UploadFolderOf(const std::filesystem::path& offlineFilesDir, const std::string& filePath);

}  // namespace corvan
