#include "offline/offline_store.h"

#include "storage/database.h"

namespace corvan {

void InsertOfflineFile(Database& db, const OfflineFileRow& row) {
  DatabaseLock lock(db);
  Statement st(db,
               "insert into OfflineFiles (FromUser,FromNick,ToUser,FileType,FileName,FilePath,SendTime) "
               "values(:FromUser_temp,:FromNick_temp,:ToUser_temp,:FileType_temp,:FileName_temp,:FilePath_temp,"
               ":SendTime_temp)");
  st.BindText(":FromUser_temp", row.FromUser)
      .BindText(":FromNick_temp", row.FromNick)
      .BindText(":ToUser_temp", row.ToUser)
      .BindText(":FileType_temp", row.FileType)
      .BindText(":FileName_temp", row.FileName)
      .BindText(":FilePath_temp", row.FilePath)
      .BindText(":SendTime_temp", row.SendTime);
  st.Run();
}

void DeleteOfflineFileRows(Database& db, const std::vector<std::int64_t>& rowids) {
  DatabaseLock lock(db);
  Transaction tx(db);
  Statement st(db, "delete from OfflineFiles where rowid = :rowid");
  for (std::int64_t rowid : rowids) {
    st.Reset();
    st.BindInt64(":rowid", rowid);
    st.Run();
  }
  tx.Commit();
}

std::filesystem::path UploadFolderOf(const std::filesystem::path& offlineFilesDir, const std::string& filePath) {
  const std::filesystem::path item = std::filesystem::path(filePath).lexically_normal();
  std::filesystem::path folder = item.parent_path();  // not const: returned by move
  const std::filesystem::path base = offlineFilesDir.lexically_normal();
  if (!item.has_filename() || folder.parent_path().parent_path() != base) return {};
  for (const auto& part : folder.lexically_relative(base)) {
    if (part == "." || part == ".." || part.empty()) return {};
  }
  return folder;
}

}  // namespace corvan
