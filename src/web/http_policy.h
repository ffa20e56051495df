// The web console's rules for what it sends and whom it serves, as pure
// functions: the security headers of every reply, the types and caching of
// static files, where a static path may lead, the session cookie, and which
// peers count as the host itself.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/admin_codec.h"

namespace corvan {

// Largest request body of every route but the restore's upload.
inline constexpr std::size_t kMaxWebBodyBytes = 10 * 1024 * 1024;
// Largest JSON body of an ordinary API call.
inline constexpr std::size_t kMaxWebJsonBytes = 256 * 1024;
// Largest database a restore takes as an upload. A database holds the
// departments, the accounts and the offline messages (the offline files
// live in a folder of their own): tens of thousands of accounts with their
// messages come to tens of MiB, so this leaves room to spare while a
// mistaken or hostile upload cannot fill the disk of the data folder. The
// upload is written to a file as it arrives, never held in memory. A larger
// database is restored with corvanctl on the host.
inline constexpr std::size_t kMaxRestoreBytes = 512 * 1024 * 1024;
// The one route that takes a body larger than kMaxWebBodyBytes.
inline constexpr std::string_view kRestorePath = "/api/restore";

inline constexpr std::string_view kSessionCookie = "corvan_session";
inline constexpr std::string_view kCsrfHeader = "X-CSRF-Token";
// Set by the page's own periodic refreshes: the call is authenticated but
// does not count as the administrator's activity for the idle timeout.
inline constexpr std::string_view kBackgroundHeader = "X-Corvan-Background";

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The headers every reply carries: HSTS (over HTTPS only), a
// Content-Security-Policy that allows no inline script and no framing,
// nosniff, a strict referrer policy.
HeaderList SecurityHeaders(bool https);

// The Content-Type of a static file, by its extension.
std::string ContentTypeFor(const std::filesystem::path& file);
// The Cache-Control of a static file: the built assets carry a hash in their
// names and are kept a year; index.html is checked every time.
std::string CacheControlFor(std::string_view urlPath);

// Whether an Accept-Encoding header takes gzip: "gzip" (or "x-gzip") with a
// weight above zero, or "*" when gzip is not named. Codings are matched
// without regard to case; a missing or empty header takes none.
bool AcceptsGzip(std::string_view acceptEncoding);
// The gzip copy built beside a static file ("app.js.gz" for "app.js"), to be
// sent as is with Content-Encoding: gzip, when the request takes gzip and
// the copy exists; nothing otherwise.
std::optional<std::filesystem::path> GzipCopyFor(const std::filesystem::path& file, std::string_view acceptEncoding);

// The file under `root` that `urlPath` names ("/" and any path that is not
// a file of the built front end lead to index.html, so that the page's own
// routes load it). Nothing when the path is not clean: a "..", a "." or an
// empty segment, a backslash, a NUL, or too long.
std::optional<std::filesystem::path> StaticFileFor(const std::filesystem::path& root, std::string_view urlPath);

// The value of cookie `name` in a Cookie header; nothing when absent.
std::optional<std::string> CookieValue(std::string_view cookieHeader, std::string_view name);
// The Set-Cookie value of a session cookie (an empty token clears it).
std::string SessionCookie(std::string_view token, bool https, int maxAgeSeconds);

// Whether the peer is the host itself as a local scraper reaches it:
// 127.0.0.1, ::1 or ::ffff:127.0.0.1. Other addresses, other 127.x ones
// included, must show the token.
bool IsHostItself(std::string_view peerAddress);

// Whether an Origin header (when a browser sent one) names the host the
// request was sent to: a page of another site cannot call the API.
bool SameOrigin(std::string_view origin, std::string_view host, bool https);

// The status a request is refused with before its body is read, or 0: 413
// when its Content-Length is over the bound of its path (kMaxRestoreBytes
// for the restore, kMaxWebBodyBytes elsewhere) or is not a number, 411 for
// a chunked body outside the restore (the other routes read their body
// whole, so its size must be known first).
int BodyRefusal(std::string_view path, std::string_view contentLength, bool chunked);

// Compares two secrets in time that does not depend on where they differ.
bool SecretsEqual(std::string_view a, std::string_view b);

// Removes every member named "pwd" from a reply's data, at any depth: the
// browser never receives an account's password.
void DropPasswords(JsonValue& data);

}  // namespace corvan
