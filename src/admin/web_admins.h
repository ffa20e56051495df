// The web console's administrators: accounts of their own, apart from the
// protocol's accounts. Passwords are hashed with Argon2id (libsodium's
// crypto_pwhash_str, with its interactive limits: 64 MiB, two passes) and
// only the hash is stored (storage/web_admin_store.h).
//
// Thread rules: plain functions; the database takes its own lock. Hashing
// and checking take about a tenth of a second and 64 MiB each.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "storage/database.h"
#include "storage/web_admin_store.h"

namespace corvan {

// Longest password accepted (the hash's cost does not depend on it).
inline constexpr std::size_t kMaxWebPasswordBytes = 256;
inline constexpr std::size_t kMinWebPasswordChars = 8;

// A name of 1 to 32 characters from ASCII letters, digits, '.', '_', '-'.
Status CheckWebAdminName(std::string_view name);
// At least kMinWebPasswordChars characters, at most kMaxWebPasswordBytes
// bytes, valid UTF-8 without control characters.
Status CheckWebPassword(std::string_view password);

// The Argon2id hash string of `password` (with its own random salt).
Result<std::string> HashWebPassword(std::string_view password);
// Whether `password` matches `hash`; false for a hash that is not one.
bool VerifyWebPassword(const std::string& hash, std::string_view password);

// --- Operations -------------------------------------------------------------

Status AddWebAdmin(Database& db, std::string_view name, std::string_view password);
// Changing a password ends every web session of that administrator: a
// session remembers the hash it was opened with and ends once the stored
// hash differs.
Status SetWebAdminPassword(Database& db, std::string_view name, std::string_view password);
Status DeleteWebAdmin(Database& db, std::string_view name);
// Names and creation times; the hashes are left out.
Result<std::vector<WebAdminRow>> ListWebAdmins(Database& db);

}  // namespace corvan
