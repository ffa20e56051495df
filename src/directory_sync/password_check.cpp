#include "directory_sync/password_check.h"

#include <algorithm>

#include "base/text.h"
#include "directory_sync/sync.h"

namespace corvan {

namespace {

// The bytes of an even-length hex text, or nothing when it is not one.
std::optional<std::string> FromHex(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

std::string Parenthesized(const std::string& filter) {
  std::string f(Trim(filter));
  return !f.empty() && f.front() == '(' ? f : "(" + f + ")";
}

}  // namespace

std::string PersonLookupFilter(const DirectorySettings& s, const std::string& id, const std::string& login) {
  std::string either;
  if (!id.empty()) {
    either += "(" + s.attrs.id + "=" + FilterValue(id) + ")";
    // A binary id (objectGUID) is stored in hex: ask for its bytes too.
    if (std::optional<std::string> bytes = FromHex(id)) either += "(" + s.attrs.id + "=" + FilterValue(*bytes) + ")";
  }
  either += "(" + s.attrs.login + "=" + FilterValue(login) + ")";
  return "(&" + Parenthesized(s.personFilter) + "(|" + either + "))";
}

bool RefusedAsDisabled(const LdapError& error) {
  return error.kind == LdapFailure::kRefused && error.message.find("data 533") != std::string::npos;
}

DirectoryVerdict VerifyDirectoryPassword(const DirectorySettings& s, const DirLink& link, const std::string& login,
                                         const std::string& password, std::chrono::steady_clock::time_point deadline,
                                         LdapError* error) {
  LdapError ignored;
  if (error == nullptr) error = &ignored;
  if (password.empty()) return DirectoryVerdict::kWrong;  // never an anonymous bind
  LdapLimits limits;
  limits.timeout = std::chrono::seconds(s.timeoutSeconds);
  limits.deadline = deadline;
  limits.maxEntries = 16;
  auto conn = LdapConnection::Open(s.url, s.startTls, s.caFile, limits, error);
  if (!conn) return DirectoryVerdict::kUnreachable;
  if (!conn->Bind(s.bindDn, s.bindPassword, error)) {
    // The service account refused is the server's fault to the person
    // logging in, not theirs.
    if (error->kind == LdapFailure::kRefused) error->message = "service account: " + error->message;
    return DirectoryVerdict::kUnreachable;
  }
  std::vector<std::string> attrs = {s.attrs.id, s.attrs.login};
  if (s.disabled != DisabledRule::kNone) attrs.push_back(s.disabledAttribute);
  auto found = conn->Search(s.baseDn, PersonLookupFilter(s, link.id, login), attrs, error);
  if (!found) return DirectoryVerdict::kUnreachable;

  // The entry of the stable id; else the only one of the login name, unless
  // it carries another id (someone else who took the name since).
  const LdapEntry* person = nullptr;
  for (const auto& e : *found)
    if (!link.id.empty() && EntryId(e.First(s.attrs.id)) == link.id) person = &e;
  if (person == nullptr) {
    std::vector<const LdapEntry*> named;
    for (const auto& e : *found) {
      const std::string id = EntryId(e.First(s.attrs.id));
      if (AsciiUpper(Trim(e.First(s.attrs.login))) == AsciiUpper(login) && (link.id.empty() || id.empty()))
        named.push_back(&e);
    }
    if (named.size() != 1) return DirectoryVerdict::kWrong;
    person = named.front();
  }
  if (EntryDisabled(*person, s)) return DirectoryVerdict::kDisabled;
  if (conn->Bind(person->dn, password, error)) return DirectoryVerdict::kRight;
  if (error->kind == LdapFailure::kUnreachable) return DirectoryVerdict::kUnreachable;
  return RefusedAsDisabled(*error) ? DirectoryVerdict::kDisabled : DirectoryVerdict::kWrong;
}

}  // namespace corvan
