#include "admin/web_settings.h"

#include <arpa/inet.h>

#include "base/text.h"
#include "storage/private_files.h"
#include "storage/secret_file.h"

namespace corvan {

namespace fs = std::filesystem;

bool IsIpAddress(std::string_view address) {
  std::string text(address);
  in_addr v4{};
  in6_addr v6{};
  return ::inet_pton(AF_INET, text.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

bool IsLoopbackAddress(std::string_view address) {
  std::string text(address);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

namespace {

Status Refused(std::size_t lineNo, const std::string& why) {
  return Status(StatusCode::kInvalidInput, "网页控制台设置第 " + std::to_string(lineNo) + " 行：" + why);
}

// A token for the monitoring figures is sent in a header: printable ASCII
// without blanks.
bool TokenText(std::string_view token) {
  for (unsigned char c : token)
    if (c <= 0x20 || c >= 0x7F) return false;
  return true;
}

}  // namespace

Result<WebSettings> ParseWebSettings(std::string_view text) {
  if (text.size() > kMaxWebSettingsBytes) return Status(StatusCode::kInvalidInput, "网页控制台设置文件过大");
  WebSettings s;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return Refused(lineNo, "缺少 =");
    std::string key(Trim(line.substr(0, eq)));
    std::string value(Trim(line.substr(eq + 1)));
    auto flag = [&](bool& target) {
      auto v = ParseYesNo(value);
      if (v) target = *v;
      return v.has_value();
    };
    auto number = [&](int& target, std::int64_t lo, std::int64_t hi) {
      auto v = ParseInt64(value);
      if (!v || *v < lo || *v > hi) return false;
      target = static_cast<int>(*v);
      return true;
    };
    if (key == "enabled") {
      if (!flag(s.enabled)) return Refused(lineNo, "enabled 应为 yes 或 no");
    } else if (key == "port") {
      int port = 0;
      if (!number(port, 1, 65535)) return Refused(lineNo, "port 应为 1 到 65535");
      s.port = static_cast<std::uint16_t>(port);
    } else if (key == "bind") {
      if (!IsIpAddress(value)) return Refused(lineNo, "bind 应为 IP 地址");
      s.bind = value;
    } else if (key == "cert_file" || key == "key_file") {
      if (!value.empty() && !fs::path(value).is_absolute()) return Refused(lineNo, key + " 应为绝对路径");
      (key == "cert_file" ? s.certFile : s.keyFile) = value;
    } else if (key == "allow_plain_http") {
      if (!flag(s.allowPlainHttp)) return Refused(lineNo, "allow_plain_http 应为 yes 或 no");
    } else if (key == "metrics_token") {
      if (!TokenText(value) || value.size() > 256) return Refused(lineNo, "metrics_token 只能含可见 ASCII 字符");
      s.metricsToken = value;
    } else if (key == "idle_timeout_seconds") {
      if (!number(s.idleTimeoutSeconds, 1, 7 * 86400)) return Refused(lineNo, "idle_timeout_seconds 应为 1 到 604800");
    } else if (key == "session_lifetime_seconds") {
      if (!number(s.sessionLifetimeSeconds, 1, 30 * 86400))
        return Refused(lineNo, "session_lifetime_seconds 应为 1 到 2592000");
    } else {
      return Refused(lineNo, "未知的设置 " + key);
    }
  }
  if (s.certFile.empty() != s.keyFile.empty())
    return Status(StatusCode::kInvalidInput, "网页控制台设置：cert_file 与 key_file 须同时设置");
  if (s.allowPlainHttp && !IsLoopbackAddress(s.bind))
    return Status(StatusCode::kInvalidInput, "网页控制台设置：明文 HTTP 只能用于本机回环地址（bind = 127.0.0.1）");
  return s;
}

std::string FormatWebSettings(const WebSettings& s) {
  std::string out = "# Corvan web console (corvanctl web enable|disable|status)\n";
  auto line = [&](std::string_view key, const std::string& value) { out += std::string(key) + " = " + value + "\n"; };
  line("enabled", s.enabled ? "yes" : "no");
  line("port", std::to_string(s.port));
  line("bind", s.bind);
  if (!s.certFile.empty()) {
    line("cert_file", s.certFile);
    line("key_file", s.keyFile);
  }
  line("allow_plain_http", s.allowPlainHttp ? "yes" : "no");
  if (!s.metricsToken.empty()) line("metrics_token", s.metricsToken);
  line("idle_timeout_seconds", std::to_string(s.idleTimeoutSeconds));
  line("session_lifetime_seconds", std::to_string(s.sessionLifetimeSeconds));
  return out;
}

Result<std::optional<WebSettings>> LoadWebSettings(const fs::path& home) {
  Result<std::optional<std::string>> text =
      ReadSecretFile(home / kWebSettingsFile, kMaxWebSettingsBytes, "网页控制台设置");
  if (!text.IsOk()) return text.GetStatus();
  if (!text.Value()) return std::optional<WebSettings>();
  Result<WebSettings> parsed = ParseWebSettings(*text.Value());
  if (!parsed.IsOk()) return parsed.GetStatus();
  return std::optional<WebSettings>(std::move(parsed).Value());
}

Status SaveWebSettings(const fs::path& home, const WebSettings& settings) {
  return WritePrivateFile(home / kWebSettingsFile, FormatWebSettings(settings));
}

fs::path WebCertificatePath(const fs::path& home, const WebSettings& settings) {
  return settings.certFile.empty() ? home / kWebCertificateFile : fs::path(settings.certFile);
}

fs::path WebKeyPath(const fs::path& home, const WebSettings& settings) {
  return settings.keyFile.empty() ? home / kWebKeyFile : fs::path(settings.keyFile);
}

std::string WebConsoleUrl(const WebSettings& settings, std::string_view hostName) {
  std::string host = settings.bind;
  if (host == "0.0.0.0" || host == "::") host = hostName.empty() ? "localhost" : std::string(hostName);
  else if (host.find(':') != std::string::npos) host = "[" + host + "]";
  bool plain = settings.allowPlainHttp && IsLoopbackAddress(settings.bind);
  return std::string(plain ? "http" : "https") + "://" + host + ":" + std::to_string(settings.port) + "/";
}

}  // namespace corvan
