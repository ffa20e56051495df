#include "admin/web_admins.h"

#include <sodium.h>

#include "base/text.h"

namespace corvan {

namespace {

// The number of characters of valid UTF-8 text without control characters;
// nothing when the text is not such.
std::optional<std::size_t> PrintableUtf8Chars(std::string_view text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) return std::nullopt;
    if (len == 1 && (c < 0x20 || c == 0x7F)) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
    i += len;
    ++chars;
  }
  return chars;
}

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace

Status CheckWebAdminName(std::string_view name) {
  bool ok = !name.empty() && name.size() <= 32;
  for (char c : name) {
    bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    ok = ok && allowed;
  }
  if (!ok) return Status(StatusCode::kInvalidInput, "管理员名称应为 1 到 32 个字母、数字或 . _ -");
  return Status::Ok();
}

Status CheckWebPassword(std::string_view password) {
  std::optional<std::size_t> chars = PrintableUtf8Chars(password);
  if (!chars || password.size() > kMaxWebPasswordBytes)
    return Status(StatusCode::kInvalidInput, "密码含有不允许的字符或过长");
  if (*chars < kMinWebPasswordChars)
    return Status(StatusCode::kInvalidInput, "密码至少需要 " + std::to_string(kMinWebPasswordChars) + " 个字符");
  return Status::Ok();
}

Result<std::string> HashWebPassword(std::string_view password) {
  if (!SodiumReady()) return Status(StatusCode::kInternal, "无法初始化 libsodium");
  char hash[crypto_pwhash_STRBYTES] = {};
  if (crypto_pwhash_str_alg(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
    return Status(StatusCode::kInternal, "内存不足，无法计算密码散列");
  return std::string(hash);
}

bool VerifyWebPassword(const std::string& hash, std::string_view password) {
  if (!SodiumReady() || hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

Status AddWebAdmin(Database& db, std::string_view name, std::string_view password) {
  if (Status s = CheckWebAdminName(name); !s.IsOk()) return s;
  if (Status s = CheckWebPassword(password); !s.IsOk()) return s;
  Result<std::string> hash = HashWebPassword(password);
  if (!hash.IsOk()) return hash.GetStatus();
  return InsertWebAdminRow(db, {std::string(name), hash.Value(), Now()});
}

Status SetWebAdminPassword(Database& db, std::string_view name, std::string_view password) {
  if (Status s = CheckWebPassword(password); !s.IsOk()) return s;
  Result<std::string> hash = HashWebPassword(password);
  if (!hash.IsOk()) return hash.GetStatus();
  return UpdateWebAdminHash(db, name, hash.Value());
}

Status DeleteWebAdmin(Database& db, std::string_view name) { return DeleteWebAdminRow(db, name); }

Result<std::vector<WebAdminRow>> ListWebAdmins(Database& db) {
  Result<std::vector<WebAdminRow>> rows = ListWebAdminRows(db);
  if (!rows.IsOk()) return rows;
  for (auto& row : rows.Value()) row.passwordHash.clear();
  return rows;
}

}  // namespace corvan
