// The web console's settings: a file of its own in the data folder
// ("WebConsole.conf"), one "key = value" a line, "#" starts a comment. It may
// hold the token that reads the monitoring figures, so it must be readable by
// the server's user only, like DirectorySync.conf.
//
//   enabled = yes                  (no: the console does not listen)
//   port = 9480
//   bind = 0.0.0.0                 (an IPv4 or IPv6 address to listen on)
//   cert_file = /etc/corvan/web.pem  (the administrator's certificate, PEM;
//   key_file = /etc/corvan/web.key    both or neither: else the self-signed
//                                      pair WebConsole.crt / WebConsole.key
//                                      in the data folder)
//   allow_plain_http = no          (yes: plain HTTP, allowed only when bind
//                                   is a loopback address)
//   metrics_token = ...            (bearer token for /metrics from elsewhere
//                                   than the host itself; empty: none)
//   idle_timeout_seconds = 1800    (a session unused this long ends)
//   session_lifetime_seconds = 43200  (and every session ends after this)
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace corvan {

inline constexpr std::string_view kWebSettingsFile = "WebConsole.conf";
inline constexpr std::string_view kWebCertificateFile = "WebConsole.crt";
inline constexpr std::string_view kWebKeyFile = "WebConsole.key";
inline constexpr std::size_t kMaxWebSettingsBytes = 16 * 1024;
inline constexpr std::uint16_t kDefaultWebPort = 9480;

struct WebSettings {
  bool enabled = false;
  std::uint16_t port = kDefaultWebPort;
  std::string bind = "0.0.0.0";
  std::string certFile;  // empty: the self-signed pair in the data folder
  std::string keyFile;
  bool allowPlainHttp = false;
  std::string metricsToken;
  int idleTimeoutSeconds = 1800;
  int sessionLifetimeSeconds = 43200;

  bool operator==(const WebSettings&) const = default;
};

// Whether `address` is an IP address of the host's loopback interface
// (127.0.0.0/8, ::1, or an IPv4-mapped 127.x address).
bool IsLoopbackAddress(std::string_view address);
// Whether `address` is a literal IPv4 or IPv6 address.
bool IsIpAddress(std::string_view address);

// Parses the file's text: the settings, or why the text is refused (a line
// that is not "key = value", an unknown key, a value out of range, plain HTTP
// allowed on an address other than loopback, a longer text than
// kMaxWebSettingsBytes).
Result<WebSettings> ParseWebSettings(std::string_view text);
// The file's text for `settings` (ParseWebSettings reads it back the same).
std::string FormatWebSettings(const WebSettings& settings);

// Reads the file in `home`. Nothing when there is no file (the console is
// off). Refused when group or others may read or write it, when it is not a
// regular file (a link is not followed), or when its text is refused.
Result<std::optional<WebSettings>> LoadWebSettings(const std::filesystem::path& home);
// Writes the file in `home`, mode 0600, through a temporary file.
Status SaveWebSettings(const std::filesystem::path& home, const WebSettings& settings);

// The certificate and key the console serves with.
std::filesystem::path WebCertificatePath(const std::filesystem::path& home, const WebSettings& settings);
std::filesystem::path WebKeyPath(const std::filesystem::path& home, const WebSettings& settings);

// The address a browser is pointed at: "https://HOST:PORT/" (http:// when
// plain), with the IPv6 host in brackets; the machine's host name when the
// console listens on every address.
std::string WebConsoleUrl(const WebSettings& settings, std::string_view hostName);

}  // namespace corvan
