#include "storage/offline_tables.h"

#include <string>

#include "storage/database.h"

namespace corvan {

namespace {

// Runs `statements`; a database failure becomes a Status with the engine's
// message.
template <typename F>
auto Guarded(F&& statements) -> decltype(statements()) {
  try {
    return statements();
  } catch (const DatabaseError& e) {
    return Status(StatusCode::kDatabaseFailed, e.what());
  }
}

// Deletes the rows of `deleteByRowid` in one transaction.
Status DeleteRows(Database& db, const char* deleteByRowid, const std::vector<std::int64_t>& rowids) {
  return Guarded([&]() -> Status {
    DatabaseLock lock(db);
    Transaction tx(db);
    Statement st(db, deleteByRowid);
    for (std::int64_t rowid : rowids) {
      st.Reset();
      st.BindInt64(":rowid", rowid);
      st.Run();
    }
    tx.Commit();
    return Status::Ok();
  });
}

}  // namespace

Status OfflineTables::InsertMessages(const std::vector<OfflineMessageRow>& messages, std::string_view sendTime) {
  return Guarded([&]() -> Status {
    DatabaseLock lock(db_);
    Transaction tx(db_);
    Statement st(db_,
                 "insert into OfflineInfo (FromUser,ToUser,SendTime,SendContent) "
                 "values(:FromUser_temp,:ToUser_temp,:SendTime_temp,:SendContent_temp)");
    for (const auto& m : messages) {
      st.Reset();
      st.BindText(":FromUser_temp", m.FromUser)
          .BindText(":ToUser_temp", m.ToUser)
          .BindText(":SendTime_temp", sendTime)
          .BindBlob(":SendContent_temp", m.SendContent);
      st.Run();
    }
    tx.Commit();
    return Status::Ok();
  });
}

Result<std::vector<StoredOfflineMessage>> OfflineTables::MessagesFor(std::string_view toUser) {
  return Guarded([&]() -> Result<std::vector<StoredOfflineMessage>> {
    DatabaseLock lock(db_);
    Statement st(db_, "select rowid, SendContent from OfflineInfo where ToUser = :OfflineInfo_temp");
    st.BindText(":OfflineInfo_temp", toUser);
    std::vector<StoredOfflineMessage> messages;
    while (st.Step()) messages.push_back({st.ColumnInt64(0), st.ColumnBlob(1)});
    return messages;
  });
}

Status OfflineTables::DeleteMessages(const std::vector<std::int64_t>& rowids) {
  return DeleteRows(db_, "delete from OfflineInfo where rowid = :rowid", rowids);
}

Status OfflineTables::DeleteMessagesBefore(std::string_view cutOff) {
  return Guarded([&]() -> Status {
    DatabaseLock lock(db_);
    Statement st(db_, "delete from OfflineInfo where SendTime < :SendTime_temp");
    st.BindText(":SendTime_temp", cutOff);
    st.Run();
    return Status::Ok();
  });
}

Status OfflineTables::InsertFile(const OfflineFileRow& row) {
  return Guarded([&]() -> Status {
    DatabaseLock lock(db_);
    Statement st(db_,
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
    return Status::Ok();
  });
}

Result<std::vector<OfflineFileRow>> OfflineTables::FilesFor(std::string_view toUser) {
  return Guarded([&]() -> Result<std::vector<OfflineFileRow>> {
    DatabaseLock lock(db_);
    Statement st(db_,
                 "select rowid, FromUser, FromNick, ToUser, FileType, FileName, FilePath, SendTime "
                 "from OfflineFiles where ToUser = :OfflineInfo_temp");
    st.BindText(":OfflineInfo_temp", toUser);
    std::vector<OfflineFileRow> rows;
    while (st.Step()) {
      OfflineFileRow r;
      r.rowid = st.ColumnInt64(0);
      r.FromUser = st.ColumnText(1);
      r.FromNick = st.ColumnText(2);
      r.ToUser = st.ColumnText(3);
      r.FileType = st.ColumnText(4);
      r.FileName = st.ColumnText(5);
      r.FilePath = st.ColumnText(6);
      r.SendTime = st.ColumnText(7);
      rows.push_back(std::move(r));
    }
    return rows;
  });
}

Result<std::vector<OfflineFileRow>> OfflineTables::FilesBefore(std::string_view cutOff) {
  return Guarded([&]() -> Result<std::vector<OfflineFileRow>> {
    DatabaseLock lock(db_);
    Statement st(db_, "select rowid, FilePath from OfflineFiles where SendTime < :SendTime_temp");
    st.BindText(":SendTime_temp", cutOff);
    std::vector<OfflineFileRow> rows;
    while (st.Step()) {
      OfflineFileRow r;
      r.rowid = st.ColumnInt64(0);
      r.FilePath = st.ColumnText(1);
      rows.push_back(std::move(r));
    }
    return rows;
  });
}

Result<std::int64_t> OfflineTables::CountFilesUnder(std::string_view folder) {
  return Guarded([&]() -> Result<std::int64_t> {
    DatabaseLock lock(db_);
    Statement st(db_, "select count(*) from OfflineFiles where FilePath like :OfflineFile");
    st.BindText(":OfflineFile", std::string(folder) + "%");
    return st.Step() ? st.ColumnInt64(0) : std::int64_t{0};
  });
}

Status OfflineTables::DeleteFiles(const std::vector<std::int64_t>& rowids) {
  return DeleteRows(db_, "delete from OfflineFiles where rowid = :rowid", rowids);
}

}  // namespace corvan
