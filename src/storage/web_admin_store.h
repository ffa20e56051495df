// The web console's administrators: table WebAdmins in the database, so that
// a backup holds them with everything else. One row per administrator: the
// name (compared without regard to ASCII letter case), the password hash (an
// Argon2id string; the password itself is never stored) and when the row was
// made.
//
// Every function takes the connection's lock itself and turns a failure of
// the engine into a Status (kDatabaseFailed, with the engine's message). The
// table is made by the first write; reads of a database without it find no
// administrator.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "storage/database.h"

namespace corvan {

struct WebAdminRow {
  std::string name;
  std::string passwordHash;
  std::string created;  // "YYYY-MM-DD HH:MM:SS", local time
};

Result<std::vector<WebAdminRow>> ListWebAdminRows(Database& db);
// Nothing when there is no such administrator.
Result<std::optional<WebAdminRow>> FindWebAdminRow(Database& db, std::string_view name);
// Fails with kRefused when an administrator of that name exists.
Status InsertWebAdminRow(Database& db, const WebAdminRow& row);
// Fails with kNotFound when there is no such administrator.
Status UpdateWebAdminHash(Database& db, std::string_view name, std::string_view passwordHash);
Status DeleteWebAdminRow(Database& db, std::string_view name);

}  // namespace corvan
