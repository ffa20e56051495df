#include "directory_sync/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <system_error>

#include <cerrno>
#include <cstring>

#include "base/text.h"

namespace corvan {

void ApplyActiveDirectoryPreset(DirectorySettings& s) {
  s.unitFilter = "(objectClass=organizationalUnit)";
  s.personFilter = "(&(objectCategory=person)(objectClass=user))";
  s.attrs = {"ou", "objectGUID", "sAMAccountName", "displayName", "mail", "telephoneNumber", "mobile", "title"};
  s.disabled = DisabledRule::kAccountFlags;
  s.disabledAttribute = "userAccountControl";
  s.disabledValue.clear();
}

void ApplyOpenLdapPreset(DirectorySettings& s) {
  s.unitFilter = "(objectClass=organizationalUnit)";
  s.personFilter = "(objectClass=inetOrgPerson)";
  s.attrs = {"ou", "entryUUID", "uid", "cn", "mail", "telephoneNumber", "mobile", "title"};
  s.disabled = DisabledRule::kNone;
  s.disabledAttribute.clear();
  s.disabledValue.clear();
}

namespace {

std::optional<bool> YesNo(std::string_view v) {
  std::string t = AsciiUpper(v);
  if (t == "YES" || t == "TRUE" || t == "ON" || t == "1") return true;
  if (t == "NO" || t == "FALSE" || t == "OFF" || t == "0") return false;
  return std::nullopt;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

DirectorySettingsResult ParseDirectorySettings(std::string_view text) {
  DirectorySettingsResult out;
  if (text.size() > kMaxDirectorySettingsBytes) {
    out.error = "目录设置文件过大";
    return out;
  }
  DirectorySettings s;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++lineNo;
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    std::size_t eq = line.find('=');
    auto fail = [&](const std::string& why) {
      out.error = "目录设置第 " + std::to_string(lineNo) + " 行：" + why;
      return out;
    };
    if (eq == std::string_view::npos) return fail("缺少 =");
    std::string key(Trim(line.substr(0, eq)));
    std::string value(Trim(line.substr(eq + 1)));
    auto flag = [&](bool& target) {
      auto v = YesNo(value);
      if (!v) return false;
      target = *v;
      return true;
    };
    auto number = [&](int& target, int lo, int hi) {
      auto v = ParseInt64(value);
      if (!v || *v < lo || *v > hi) return false;
      target = static_cast<int>(*v);
      return true;
    };
    std::string* textField = nullptr;
    if (key == "url") textField = &s.url;
    else if (key == "ca_file") textField = &s.caFile;
    else if (key == "bind_dn") textField = &s.bindDn;
    else if (key == "bind_password") textField = &s.bindPassword;
    else if (key == "base_dn") textField = &s.baseDn;
    else if (key == "unit_filter") textField = &s.unitFilter;
    else if (key == "person_filter") textField = &s.personFilter;
    else if (key == "attr_unit_name") textField = &s.attrs.unitName;
    else if (key == "attr_id") textField = &s.attrs.id;
    else if (key == "attr_login") textField = &s.attrs.login;
    else if (key == "attr_name") textField = &s.attrs.name;
    else if (key == "attr_mail") textField = &s.attrs.mail;
    else if (key == "attr_phone") textField = &s.attrs.phone;
    else if (key == "attr_mobile") textField = &s.attrs.mobile;
    else if (key == "attr_title") textField = &s.attrs.title;
    if (textField != nullptr) {
      *textField = value;
      continue;
    }
    if (key == "disabled_attribute" || key == "disabled_value") {
      (key == "disabled_attribute" ? s.disabledAttribute : s.disabledValue) = value;
      s.disabled = DisabledRule::kValue;
    } else if (key == "preset") {
      std::string p = AsciiUpper(value);
      if (p == "ACTIVEDIRECTORY" || p == "AD") ApplyActiveDirectoryPreset(s);
      else if (p == "OPENLDAP") ApplyOpenLdapPreset(s);
      else return fail("未知的预设 " + value);
    } else if (key == "starttls") {
      if (!flag(s.startTls)) return fail("starttls 应为 yes 或 no");
    } else if (key == "allow_plain") {
      if (!flag(s.allowPlain)) return fail("allow_plain 应为 yes 或 no");
    } else if (key == "login_with_directory_password") {
      if (!flag(s.loginWithDirectoryPassword)) return fail("login_with_directory_password 应为 yes 或 no");
    } else if (key == "interval_minutes") {
      if (!number(s.intervalMinutes, 0, 7 * 24 * 60)) return fail("interval_minutes 应为 0 到 10080");
    } else if (key == "timeout_seconds") {
      if (!number(s.timeoutSeconds, 1, 60)) return fail("timeout_seconds 应为 1 到 60");
    } else if (key == "removal_limit_percent") {
      if (!number(s.removalLimitPercent, 0, 100)) return fail("removal_limit_percent 应为 0 到 100");
    } else {
      return fail("未知的设置 " + key);
    }
  }
  if (s.url.empty()) {
    out.error = "目录设置缺少 url";
    return out;
  }
  if (StartsWith(s.url, "ldaps://")) {
    if (s.startTls) {
      out.error = "ldaps:// 已加密，不能同时使用 starttls";
      return out;
    }
  } else if (StartsWith(s.url, "ldap://")) {
    if (!s.startTls && !s.allowPlain) {
      out.error = "ldap:// 未加密：请使用 ldaps:// 或 starttls = yes（或明确设置 allow_plain = yes）";
      return out;
    }
  } else {
    out.error = "url 应以 ldap:// 或 ldaps:// 开头";
    return out;
  }
  if (s.baseDn.empty()) {
    out.error = "目录设置缺少 base_dn";
    return out;
  }
  if (s.attrs.login.empty() || s.attrs.id.empty() || s.attrs.unitName.empty()) {
    out.error = "attr_login、attr_id、attr_unit_name 不能为空";
    return out;
  }
  if (s.disabled == DisabledRule::kValue && (s.disabledAttribute.empty() || s.disabledValue.empty())) {
    out.error = "disabled_attribute 与 disabled_value 须同时设置";
    return out;
  }
  out.settings = std::move(s);
  return out;
}

DirectorySettingsResult LoadDirectorySettings(const std::filesystem::path& home) {
  DirectorySettingsResult out;
  const std::filesystem::path path = home / kDirectorySettingsFile;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT)
      out.error = "无法读取目录设置 " + path.string() + "：" + std::generic_category().message(errno);
    return out;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    out.error = "目录设置 " + path.string() + " 不是普通文件";
    return out;
  }
  if ((st.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
    out.error = "目录设置 " + path.string() + " 含绑定密码，不得让同组或其他用户读写（请执行 chmod 600）";
    return out;
  }
  if (static_cast<std::size_t>(st.st_size) > kMaxDirectorySettingsBytes) {
    out.error = "目录设置文件过大";
    return out;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return ParseDirectorySettings(text);
}

}  // namespace corvan
