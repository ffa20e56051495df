// The directory settings: a file of its own in the data folder
// ("DirectorySync.conf"), one "key = value" a line, "#" starts a comment.
// It holds the bind password, so it must be readable by the server's user
// only.
//
//   url = ldaps://dc1.example.com          (ldap://, ldaps://)
//   starttls = yes                          (for ldap://)
//   allow_plain = no                        (ldap:// without StartTLS)
//   ca_file = /etc/ssl/certs/corp-ca.pem
//   bind_dn = CN=corvan,OU=Service,DC=example,DC=com
//   bind_password = secret
//   base_dn = OU=Staff,DC=example,DC=com
//   preset = activedirectory | openldap     (fills the filters and mapping)
//   unit_filter / person_filter             (LDAP filters)
//   attr_unit_name, attr_id, attr_login, attr_name, attr_mail,
//   attr_phone, attr_mobile, attr_title     (attribute names)
//   disabled_attribute / disabled_value     (an entry with that value is
//                                            disabled: its account is locked)
//   login_with_directory_password = no
//   interval_minutes = 0                    (0: no background sync)
//   timeout_seconds = 5                     (a whole login, or one step of a sync)
//   removal_limit_percent = 10              (the largest share of directory
//                                            accounts a sync may remove)
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvan {

inline constexpr std::string_view kDirectorySettingsFile = "DirectorySync.conf";
inline constexpr std::size_t kMaxDirectorySettingsBytes = 64 * 1024;

struct DirectoryAttributes {
  std::string unitName = "ou";
  std::string id = "entryUUID";
  std::string login = "uid";
  std::string name = "cn";
  std::string mail = "mail";
  std::string phone = "telephoneNumber";
  std::string mobile = "mobile";
  std::string title = "title";
};

enum class DisabledRule {
  kNone,
  kValue,        // `disabledAttribute` has `disabledValue`
  kAccountFlags  // Active Directory: bit 2 of userAccountControl
};

struct DirectorySettings {
  std::string url;
  bool startTls = false;
  bool allowPlain = false;
  std::string caFile;
  std::string bindDn;
  std::string bindPassword;
  std::string baseDn;
  std::string unitFilter = "(objectClass=organizationalUnit)";
  std::string personFilter = "(objectClass=inetOrgPerson)";
  DirectoryAttributes attrs;
  DisabledRule disabled = DisabledRule::kNone;
  std::string disabledAttribute;
  std::string disabledValue;
  bool loginWithDirectoryPassword = false;
  int intervalMinutes = 0;
  int timeoutSeconds = 5;
  int removalLimitPercent = 10;
};

// The two presets: Active Directory and OpenLDAP (inetOrgPerson).
void ApplyActiveDirectoryPreset(DirectorySettings& s);
void ApplyOpenLdapPreset(DirectorySettings& s);

struct DirectorySettingsResult {
  std::optional<DirectorySettings> settings;
  std::string error;  // why the text was refused
};

// Parses the file's text. A preset line applies where it stands, so later
// lines override it.
DirectorySettingsResult ParseDirectorySettings(std::string_view text);

// Reads the file in `home`. Nothing (and an empty error) when there is no
// file: the directory is not used. Refused when group or others may read
// it, when it is too large, or when its text is refused.
DirectorySettingsResult LoadDirectorySettings(const std::filesystem::path& home);

}  // namespace corvan
