// Figures of what the database stores, for the dashboard and the monitoring
// figures: offline messages and offline files waiting for their recipients,
// as counts and bytes.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "storage/database.h"

namespace corvan {

struct StoredOfflineFigures {
  std::int64_t messages = 0;
  std::int64_t messageBytes = 0;  // the stored frames' bytes
  std::int64_t files = 0;         // rows of OfflineFiles (a folder is one row)
};

// Counts the rows of OfflineInfo and OfflineFiles. Takes the connection's
// lock itself; a missing table counts as empty.
Result<StoredOfflineFigures> CountStoredOffline(Database& db);

}  // namespace corvan
