#include "storage/stored_figures.h"

namespace corvan {

Result<StoredOfflineFigures> CountStoredOffline(Database& db) {
  try {
    DatabaseLock lock(db);
    StoredOfflineFigures f;
    if (db.TableExists("OfflineInfo")) {
      Statement st(db, "select count(*),coalesce(sum(length(SendContent)),0) from OfflineInfo");
      if (st.Step()) {
        f.messages = st.ColumnInt64(0);
        f.messageBytes = st.ColumnInt64(1);
      }
    }
    if (db.TableExists("OfflineFiles")) {
      Statement st(db, "select count(*) from OfflineFiles");
      if (st.Step()) f.files = st.ColumnInt64(0);
    }
    return f;
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
}

}  // namespace corvan
