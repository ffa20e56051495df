#include "web/http_policy.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "base/text.h"

namespace corvan {

namespace fs = std::filesystem;

HeaderList SecurityHeaders(bool https) {
  HeaderList h = {
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
       "font-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
       "frame-ancestors 'none'"},
      {"X-Frame-Options", "DENY"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Permissions-Policy", "camera=(), microphone=(), geolocation=()"},
  };
  if (https) h.emplace_back("Strict-Transport-Security", "max-age=31536000");
  return h;
}

std::string ContentTypeFor(const fs::path& file) {
  static const std::map<std::string, std::string> types = {
      {".HTML", "text/html; charset=utf-8"},
      {".JS", "text/javascript; charset=utf-8"},
      {".MJS", "text/javascript; charset=utf-8"},
      {".CSS", "text/css; charset=utf-8"},
      {".JSON", "application/json"},
      {".SVG", "image/svg+xml"},
      {".PNG", "image/png"},
      {".ICO", "image/x-icon"},
      {".WOFF", "font/woff"},
      {".WOFF2", "font/woff2"},
      {".TTF", "font/ttf"},
      {".TXT", "text/plain; charset=utf-8"},
  };
  auto it = types.find(AsciiUpper(file.extension().string()));
  return it == types.end() ? "application/octet-stream" : it->second;
}

std::string CacheControlFor(std::string_view urlPath) {
  if (urlPath.substr(0, 8) == "/assets/") return "public, max-age=31536000, immutable";
  return "no-cache";
}

bool AcceptsGzip(std::string_view header) {
  auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
  };
  std::optional<bool> gzip;
  bool any = false;
  while (!header.empty()) {
    std::size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    std::size_t semi = item.find(';');
    std::string_view coding = Trim(item.substr(0, semi));
    // A weight of zero ("q=0", "q=0.0", "q=0.000") refuses the coding; any
    // other weight, or none, takes it.
    bool taken = true;
    while (semi != std::string_view::npos) {
      item = item.substr(semi + 1);
      semi = item.find(';');
      std::string_view param = Trim(item.substr(0, semi));
      if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
        std::string_view q = Trim(param.substr(2));
        taken = q.find_first_not_of("0.") != std::string_view::npos;
      }
    }
    if (same(coding, "gzip") || same(coding, "x-gzip")) gzip = gzip.value_or(false) || taken;
    else if (coding == "*") any = taken;
  }
  return gzip.value_or(any);
}

std::optional<fs::path> GzipCopyFor(const fs::path& file, std::string_view acceptEncoding) {
  if (!AcceptsGzip(acceptEncoding)) return std::nullopt;
  fs::path copy = file;
  copy += ".gz";
  std::error_code ec;
  if (!fs::is_regular_file(copy, ec)) return std::nullopt;
  return copy;
}

std::optional<fs::path> StaticFileFor(const fs::path& root, std::string_view urlPath) {
  if (urlPath.empty() || urlPath.front() != '/' || urlPath.size() > 512) return std::nullopt;
  fs::path relative;
  std::string_view rest = urlPath.substr(1);
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (segment.empty() && rest.empty()) break;  // a trailing slash
    if (segment.empty() || segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("\\\0:", 3)) != std::string_view::npos)
      return std::nullopt;
    relative /= std::string(segment);
  }
  std::error_code ec;
  if (!relative.empty()) {
    fs::path file = root / relative;
    if (fs::is_regular_file(file, ec)) return file;
    // A missing asset is a missing asset; any other path is one of the
    // page's own routes.
    if (urlPath.substr(0, 8) == "/assets/") return std::nullopt;
  }
  return root / "index.html";
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    std::size_t semi = header.find(';');
    std::string_view pair = Trim(header.substr(0, semi));
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && Trim(pair.substr(0, eq)) == name) return std::string(Trim(pair.substr(eq + 1)));
  }
  return std::nullopt;
}

std::string SessionCookie(std::string_view token, bool https, int maxAgeSeconds) {
  std::string c = std::string(kSessionCookie) + "=" + std::string(token) + "; Path=/; HttpOnly; SameSite=Strict";
  if (https) c += "; Secure";
  c += "; Max-Age=" + std::to_string(token.empty() ? 0 : maxAgeSeconds);
  return c;
}

bool IsHostItself(std::string_view peer) { return peer == "127.0.0.1" || peer == "::1" || peer == "::ffff:127.0.0.1"; }

bool SameOrigin(std::string_view origin, std::string_view host, bool https) {
  if (origin.empty()) return true;  // not sent: not a cross-site call from a browser
  return origin == std::string(https ? "https://" : "http://") + std::string(host);
}

bool SecretsEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

void DropPasswords(JsonValue& data) {
  if (data.IsObject()) {
    JsonValue::Object& o = data.MutableObject();
    o.erase("pwd");
    for (auto& [key, value] : o) DropPasswords(value);
  } else if (data.IsArray()) {
    for (JsonValue& item : data.MutableArray()) DropPasswords(item);
  }
}

int BodyRefusal(std::string_view path, std::string_view contentLength, bool chunked) {
  const bool restore = path == kRestorePath;
  if (chunked && !restore) return 411;
  if (contentLength.empty()) return 0;
  std::optional<std::int64_t> length = ParseInt64(contentLength);
  if (!length || *length < 0) return 413;
  const auto bound = static_cast<std::uint64_t>(restore ? kMaxRestoreBytes : kMaxWebBodyBytes);
  return static_cast<std::uint64_t>(*length) > bound ? 413 : 0;
}

}  // namespace corvan
