// The layout of the offline-files folder, shared by the upload, the delivery
// and the housekeeping; the rows of table OfflineFiles are storage's
// (storage/offline_tables.h).
#pragma once

#include <filesystem>
#include <string>

#include "storage/offline_tables.h"

namespace corvan {

// The upload folder of a stored item: the parent of its FilePath, but only
// when that folder lies exactly two levels below `offlineFilesDir` (recipient
// folder, stamp folder). Anything else, such as a path from a foreign
// database, gives an empty path, so no folder outside the store is ever
// removed.
std::filesystem::path UploadFolderOf(const std::filesystem::path& offlineFilesDir, const std::string& filePath);

}  // namespace corvan
