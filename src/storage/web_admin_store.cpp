#include "storage/web_admin_store.h"

namespace corvan {

namespace {

constexpr const char* kCreateWebAdmins =
    "create table if not exists WebAdmins(name TEXT COLLATE NOCASE primary key,pwhash TEXT not null,"
    "created TEXT not null)";

Status EngineFailure(const DatabaseError& e) { return Status(StatusCode::kDatabaseFailed, e.what()); }

WebAdminRow ReadRow(const Statement& st) { return {st.ColumnText(0), st.ColumnText(1), st.ColumnText(2)}; }

}  // namespace

Result<std::vector<WebAdminRow>> ListWebAdminRows(Database& db) {
  try {
    DatabaseLock lock(db);
    std::vector<WebAdminRow> rows;
    if (!db.TableExists("WebAdmins")) return rows;
    Statement st(db, "select name,pwhash,created from WebAdmins order by name");
    while (st.Step()) rows.push_back(ReadRow(st));
    return rows;
  } catch (const DatabaseError& e) {
    return EngineFailure(e);
  }
}

Result<std::optional<WebAdminRow>> FindWebAdminRow(Database& db, std::string_view name) {
  try {
    DatabaseLock lock(db);
    if (!db.TableExists("WebAdmins")) return std::optional<WebAdminRow>();
    Statement st(db, "select name,pwhash,created from WebAdmins where name=:name");
    st.BindText(":name", name);
    if (!st.Step()) return std::optional<WebAdminRow>();
    return std::optional<WebAdminRow>(ReadRow(st));
  } catch (const DatabaseError& e) {
    return EngineFailure(e);
  }
}

Status InsertWebAdminRow(Database& db, const WebAdminRow& row) {
  try {
    DatabaseLock lock(db);
    db.Exec(kCreateWebAdmins);
    Statement find(db, "select 1 from WebAdmins where name=:name");
    find.BindText(":name", row.name);
    if (find.Step()) return Status(StatusCode::kRefused, "管理员已存在：" + row.name);
    Statement st(db, "insert into WebAdmins(name,pwhash,created) values(:name,:pwhash,:created)");
    st.BindText(":name", row.name).BindText(":pwhash", row.passwordHash).BindText(":created", row.created);
    st.Run();
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return EngineFailure(e);
  }
}

Status UpdateWebAdminHash(Database& db, std::string_view name, std::string_view passwordHash) {
  try {
    DatabaseLock lock(db);
    db.Exec(kCreateWebAdmins);
    Statement st(db, "update WebAdmins set pwhash=:pwhash where name=:name");
    st.BindText(":pwhash", passwordHash).BindText(":name", name);
    st.Run();
    if (st.Changes() == 0) return Status(StatusCode::kNotFound, "管理员不存在：" + std::string(name));
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return EngineFailure(e);
  }
}

Status DeleteWebAdminRow(Database& db, std::string_view name) {
  try {
    DatabaseLock lock(db);
    db.Exec(kCreateWebAdmins);
    Statement st(db, "delete from WebAdmins where name=:name");
    st.BindText(":name", name);
    st.Run();
    if (st.Changes() == 0) return Status(StatusCode::kNotFound, "管理员不存在：" + std::string(name));
    return Status::Ok();
  } catch (const DatabaseError& e) {
    return EngineFailure(e);
  }
}

}  // namespace corvan
