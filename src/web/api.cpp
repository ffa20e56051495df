#include "web/api.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "accounts/directory_admin.h"
#include "admin/admin_codec.h"
#include "admin/admin_commands.h"
#include "admin/command_table.h"
#include "admin/user_csv.h"
#include "admin/web_admins.h"
#include "base/quiet_failure.h"
#include "base/text.h"
#include "presence/presence.h"
#include "server/counters.h"
#include "server/server_core.h"
#include "storage/private_files.h"
#include "storage/stored_figures.h"
#include "storage/web_admin_store.h"
#include "web/http_policy.h"
#include "web/json_reply.h"

namespace corvan {

namespace fs = std::filesystem;
using HttpRequest = httplib::Request;
using httplib::Response;

namespace {

using SteadyClock = std::chrono::steady_clock;

// The largest static file served (the built bundles are far smaller).
constexpr std::uintmax_t kMaxStaticBytes = 16 * 1024 * 1024;
// Live log streams at once; each holds one of the server's threads.
constexpr int kMaxStreams = 3;
// A stream ends after this; the browser's EventSource opens it again.
constexpr std::chrono::minutes kStreamLifetime{10};
// How long the stored figures are reused.
constexpr std::chrono::seconds kStoredFiguresAge{10};
// Entries walked at most when summing the offline files' bytes.
constexpr std::size_t kMaxWalkedEntries = 200000;

std::int64_t IntParam(const HttpRequest& req, const char* name, std::int64_t fallback, std::int64_t lo,
                      std::int64_t hi) {
  if (!req.has_param(name)) return fallback;
  auto v = ParseInt64(req.get_param_value(name));
  return v ? std::clamp(*v, lo, hi) : fallback;
}

// The held status-log lines after sequence number `since`, and the sequence
// number of the last line.
std::pair<std::vector<std::string>, std::uint64_t> LogLinesAfter(ServerCore& core, std::uint64_t since) {
  std::uint64_t seq = core.Log().Sequence();
  std::vector<std::string> lines = core.Log().Lines();
  // A line appended between the two reads is counted in `seq` but not held
  // in `lines`: the last held line is then numbered one too high, and is
  // sent again at worst, never lost.
  std::uint64_t first = seq >= lines.size() ? seq - lines.size() + 1 : 1;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (first + i > since) out.push_back(std::move(lines[i]));
  return {std::move(out), seq};
}

bool Matches(const std::string& text, const std::string& query) {
  return query.empty() || text.find(query) != std::string::npos ||
         AsciiUpper(text).find(AsciiUpper(query)) != std::string::npos;
}

// An Accept-Encoding value without "br".
std::string WithoutBrotli(std::string_view value) {
  std::string out;
  while (!value.empty()) {
    std::size_t comma = value.find(',');
    std::string_view item = Trim(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    if (item.empty() || AsciiEqualsNoCase(item.substr(0, item.find(';')), "br")) continue;
    out += (out.empty() ? "" : ", ") + std::string(item);
  }
  return out;
}

std::uintmax_t FolderBytes(const fs::path& dir) {
  std::uintmax_t total = 0;
  std::size_t walked = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end && walked < kMaxWalkedEntries; it.increment(ec), ++walked) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) total += it->file_size(sizeError);
  }
  return total;
}

// A private folder of its own (0700) in the system's temporary folder,
// removed with everything in it when this ends: the CSV files the import
// and the export commands read and write.
class TransferFolder {
 public:
  TransferFolder() {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "corvan-web-XXXXXX").string();
    if (ec) pattern = "/tmp/corvan-web-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TransferFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
    // Left behind in the temporary folder, which the system empties.
    if (ec) NoteQuietFailure("web transfer folder removal", ec.message());
  }
  TransferFolder(const TransferFolder&) = delete;
  TransferFolder& operator=(const TransferFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// The file name an upload gives, reduced to its last part and to characters
// that are safe in a path; "users.csv" when nothing is left.
std::string UploadName(std::string name) {
  if (auto slash = name.find_last_of("/\\"); slash != std::string::npos) name.erase(0, slash + 1);
  std::string out;
  for (unsigned char c : name)
    if (c >= 0x80 || std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_') out += static_cast<char>(c);
  if (out.size() > 100) out.resize(100);
  if (out.empty() || out.front() == '.') out = "users.csv";
  return out;
}

// Runs the table's command `name` with `args` for the administrator.
AdminReply RunForAdmin(ServerCore& core, std::string_view name, const JsonValue& args, const WebSession& session,
                       const HttpRequest& req) {
  AdminContext context;
  context.actor = Actor::Web(session.admin, req.remote_addr);
  return RunNamedCommand(core, name, args, context, false);
}

}  // namespace

WebApi::WebApi(ServerCore& core, fs::path assets) : core_(core), assets_(std::move(assets)) {
  FailureBackoff::Policy perName;  // the defaults: five failures, then waits from half a minute
  FailureBackoff::Policy perAddress;
  perAddress.freeFailures = 20;  // several administrators may share an address
  MutexLock lock(mutex_);
  byName_ = FailureBackoff(perName);
  byAddress_ = FailureBackoff(perAddress);
  loginsAtLastSample_ = Counters().logins.load(std::memory_order_relaxed);
}

void WebApi::Configure(const WebSettings& settings, bool https) {
  SessionPolicy policy;
  policy.idleTimeout = std::chrono::seconds(settings.idleTimeoutSeconds);
  policy.lifetime = std::chrono::seconds(settings.sessionLifetimeSeconds);
  sessions_.SetPolicy(policy);
  MutexLock lock(mutex_);
  settings_.https = https;
  settings_.metricsToken = settings.metricsToken;
}

WebApi::Settings WebApi::Current() const {
  MutexLock lock(mutex_);
  return settings_;
}

void WebApi::Install(httplib::Server& server) {
  server.set_pre_routing_handler([](const HttpRequest& req, Response& res) {
    // The library compresses every reply anew, and its brotli (at the
    // highest quality) takes seconds over a bundle of a megabyte or two:
    // only gzip is offered to it. The request is the library's own mutable
    // object, handed to this hook as const.
    auto& headers = const_cast<httplib::Headers&>(req.headers);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    for (auto it = headers.find("Accept-Encoding");
         it != headers.end() && AsciiEqualsNoCase(it->first, "Accept-Encoding"); ++it)
      it->second = WithoutBrotli(it->second);
    // A body over its route's bound is refused before a byte of it is read.
    const bool chunked = AsciiEqualsNoCase(req.get_header_value("Transfer-Encoding"), "chunked");
    if (int refusal = BodyRefusal(req.path, req.get_header_value("Content-Length"), chunked); refusal != 0) {
      SendError(res, refusal, refusal == 413 ? "请求过大" : "请求须给出长度");
      // The unread body must not be taken for the next request.
      res.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  auto route = [this](void (WebApi::*handler)(const HttpRequest&, Response&)) {
    return [this, handler](const HttpRequest& req, Response& res) { (this->*handler)(req, res); };
  };
  server.Post("/api/login", route(&WebApi::Login));
  server.Post("/api/logout", route(&WebApi::Logout));
  server.Get("/api/session", route(&WebApi::Session));
  server.Get("/api/dashboard", route(&WebApi::Dashboard));
  server.Get("/api/charts", route(&WebApi::Charts));
  server.Get("/api/online", route(&WebApi::Online));
  server.Get("/api/log", route(&WebApi::Log));
  server.Get("/api/log/stream", route(&WebApi::LogStream));
  server.Get("/api/orgs", route(&WebApi::Orgs));
  server.Get("/api/users", route(&WebApi::Users));
  server.Get(R"(/api/users/([^/]+))", route(&WebApi::User));
  server.Post(R"(/api/commands/([a-z-]+))", route(&WebApi::Command));
  server.Get("/api/audit", route(&WebApi::Audit));
  server.Post("/api/users/import", route(&WebApi::ImportUsers));
  server.Post("/api/users/export", route(&WebApi::ExportUsers));
  InstallMaintenance(server);
  server.Get("/healthz", route(&WebApi::Health));
  server.Get("/metrics", route(&WebApi::Metrics));
  // Anything else under /api: closed to anyone not logged in, unknown to
  // those who are.
  auto unknown = [this](const HttpRequest& req, Response& res) {
    bool change = req.method != "GET" && req.method != "HEAD";
    if (Authenticate(req, res, change)) SendError(res, 404, "未知的接口");
  };
  for (const char* pattern : {"/api", "/api/.*"}) {
    server.Get(pattern, unknown);
    server.Post(pattern, unknown);
    server.Put(pattern, unknown);
    server.Delete(pattern, unknown);
  }
  server.Get(".*", route(&WebApi::Static));
}

std::optional<WebSession> WebApi::Authenticate(const HttpRequest& req, Response& res, bool change) {
  std::optional<std::string> token = CookieValue(req.get_header_value("Cookie"), kSessionCookie);
  bool background = req.get_header_value(std::string(kBackgroundHeader)) == "1";
  std::optional<WebSession> session;
  if (token) session = sessions_.Use(*token, SteadyClock::now(), !background);
  if (session) {
    // A changed password, or an administrator deleted, ends the session.
    Result<std::optional<WebAdminRow>> row = FindWebAdminRow(core_.Db(), session->admin);
    if (!row.IsOk() || !row.Value() || row.Value()->passwordHash != session->passwordHash) {
      sessions_.CloseAllOf(session->admin);
      session.reset();
    }
  }
  if (!session) {
    res.set_header("Set-Cookie", SessionCookie("", Current().https, 0));
    SendError(res, 401, "请先登录");
    return std::nullopt;
  }
  if (change) {
    Settings s = Current();
    if (!SameOrigin(req.get_header_value("Origin"), req.get_header_value("Host"), s.https) ||
        !SecretsEqual(req.get_header_value(std::string(kCsrfHeader)), session->csrfToken)) {
      SendError(res, 403, "请求缺少有效的 CSRF 令牌");
      return std::nullopt;
    }
  }
  return session;
}

std::optional<JsonValue> WebApi::JsonBody(const HttpRequest& req, Response& res) {
  if (req.body.size() > kMaxWebJsonBytes) {
    SendError(res, 413, "请求过大");
    return std::nullopt;
  }
  std::string type = req.get_header_value("Content-Type");
  if (type.rfind("application/json", 0) != 0) {
    SendError(res, 415, "请求应为 JSON");
    return std::nullopt;
  }
  std::optional<JsonValue> body = ReadJson(req.body.empty() ? std::string_view("{}") : std::string_view(req.body));
  if (!body || !body->IsObject()) {
    SendError(res, 400, "请求不是 JSON 对象");
    return std::nullopt;
  }
  return body;
}

// --- Sessions -------------------------------------------------------------

void WebApi::Login(const HttpRequest& req, Response& res) {
  Settings s = Current();
  if (!SameOrigin(req.get_header_value("Origin"), req.get_header_value("Host"), s.https))
    return SendError(res, 403, "不允许跨站登录");
  std::optional<JsonValue> body = JsonBody(req, res);
  if (!body) return;
  const std::string name = (*body)["name"].AsString();
  const std::string password = (*body)["password"].AsString();
  if (name.empty() || name.size() > 64 || password.size() > kMaxWebPasswordBytes)
    return SendError(res, 400, "请输入管理员名称和密码");
  const std::string nameKey = AsciiUpper(name);
  const std::string addressKey = req.remote_addr;
  {
    MutexLock lock(mutex_);
    auto now = SteadyClock::now();
    auto wait = std::max(byName_.Wait(nameKey, now), byAddress_.Wait(addressKey, now));
    if (wait.count() > 0) {
      auto seconds = (wait.count() + 999) / 1000;
      res.set_header("Retry-After", std::to_string(seconds));
      return SendError(res, 429, "登录失败次数过多，请 " + std::to_string(seconds) + " 秒后再试");
    }
  }
  Result<std::optional<WebAdminRow>> row = FindWebAdminRow(core_.Db(), name);
  if (!row.IsOk()) return SendError(res, 500, row.GetStatus().Message());
  std::string hash;
  if (row.Value()) hash = row.Value()->passwordHash;
  bool right = false;
  {
    verifying_.acquire();
    if (hash.empty()) {
      // An unknown name costs as much as a wrong password.
      std::string dummy;
      {
        MutexLock lock(mutex_);
        dummy = dummyHash_;
      }
      if (dummy.empty()) dummy = HashWebPassword(RandomToken()).ValueOr({});
      VerifyWebPassword(dummy, password);
      MutexLock lock(mutex_);
      dummyHash_ = dummy;
    } else {
      right = VerifyWebPassword(hash, password);
    }
    verifying_.release();
  }
  {
    MutexLock lock(mutex_);
    auto now = SteadyClock::now();
    if (!right) {
      byName_.Failed(nameKey, now);
      byAddress_.Failed(addressKey, now);
    } else {
      byName_.Succeeded(nameKey);
      byAddress_.Succeeded(addressKey);
    }
  }
  if (!right) {
    // The name is whatever was typed: control characters stay out of the log.
    std::string shown = name;
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    core_.Log().AppendEvent("网页控制台：" + shown + " 登录失败（" + req.remote_addr + "）");
    return SendError(res, 401, "管理员名称或密码错误");
  }
  const std::string& admin = row.Value()->name;
  std::string token = sessions_.Open(admin, hash, SteadyClock::now());
  std::optional<WebSession> session = sessions_.Use(token, SteadyClock::now(), true);
  SessionPolicy policy = sessions_.Policy();
  res.set_header("Set-Cookie", SessionCookie(token, s.https, static_cast<int>(policy.lifetime.count())));
  core_.Log().AppendEvent("网页控制台：管理员 " + admin + " 登录（" + req.remote_addr + "）");
  JsonValue out;
  out.Set("ok", true);
  out.Set("name", admin);
  out.Set("csrf", session ? session->csrfToken : std::string());
  out.Set("idleTimeoutSeconds", static_cast<std::int64_t>(policy.idleTimeout.count()));
  SendJson(res, 200, out);
}

void WebApi::Logout(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, true)) return;
  if (auto token = CookieValue(req.get_header_value("Cookie"), kSessionCookie)) sessions_.Close(*token);
  res.set_header("Set-Cookie", SessionCookie("", Current().https, 0));
  JsonValue out;
  out.Set("ok", true);
  SendJson(res, 200, out);
}

void WebApi::Session(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, false);
  if (!session) return;
  JsonValue out;
  out.Set("ok", true);
  out.Set("name", session->admin);
  out.Set("csrf", session->csrfToken);
  out.Set("idleTimeoutSeconds", static_cast<std::int64_t>(sessions_.Policy().idleTimeout.count()));
  SendJson(res, 200, out);
}

// --- Reading --------------------------------------------------------------

bool WebApi::ProtocolListening() const {
  return core_.Lifecycle().TcpServerExists() && core_.Lifecycle().ListeningPort() != 0;
}

StoredFigures WebApi::Stored() {
  MutexLock lock(storedMutex_);
  auto now = SteadyClock::now();
  if (storedValid_ && now - storedAt_ < kStoredFiguresAge) return stored_;
  StoredFigures f;
  if (core_.Db().IsOpen()) {
    Result<StoredOfflineFigures> counted = CountStoredOffline(core_.Db());
    if (counted.IsOk()) {
      f.messages = counted.Value().messages;
      f.messageBytes = counted.Value().messageBytes;
      f.files = counted.Value().files;
    }
  }
  f.fileBytes = static_cast<std::int64_t>(FolderBytes(core_.OfflineFilesDir()));
  stored_ = f;
  storedAt_ = now;
  storedValid_ = true;
  return f;
}

void WebApi::Dashboard(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  auto dir = core_.Dir().Get();
  std::size_t online = 0;
  {
    MutexLock lock(core_.Online().OnlineLock);
    online = core_.Online().OnlineUsers.Size();
  }
  StoredFigures stored = Stored();
  JsonValue out;
  out.Set("running", ProtocolListening());
  out.Set("ServerPort", static_cast<std::int64_t>(core_.Settings().ServerPort()));
  out.Set("listeningPort", static_cast<std::int64_t>(core_.Lifecycle().ListeningPort()));
  out.Set("online", static_cast<std::int64_t>(online));
  out.Set("users", static_cast<std::int64_t>(dir->Users().size()));
  out.Set("orgs", static_cast<std::int64_t>(dir->Orgs().size()));
  out.Set("CompanyName", dir->CompanyName());
  out.Set("offlineMessages", stored.messages);
  out.Set("offlineMessageBytes", stored.messageBytes);
  out.Set("offlineFiles", stored.files);
  out.Set("offlineFileBytes", stored.fileBytes);
  struct statvfs fsInfo {};
  if (::statvfs(core_.Home().c_str(), &fsInfo) == 0) {
    out.Set("freeBytes", static_cast<std::int64_t>(fsInfo.f_bavail * fsInfo.f_frsize));
    out.Set("totalBytes", static_cast<std::int64_t>(fsInfo.f_blocks * fsInfo.f_frsize));
  }
  if (std::optional<ProcessFigures> p = ReadProcessFigures()) {
    auto start = static_cast<std::int64_t>(p->startTimeSeconds);
    out.Set("startTime", start);
    out.Set("uptimeSeconds", std::max<std::int64_t>(0, EpochSeconds() - start));
  }
  out.Set("version", CORVAN_VERSION);
  out.Set("now", EpochSeconds());
  SendJson(res, 200, out);
}

void WebApi::TakeSample() {
  std::size_t online = 0;
  {
    MutexLock lock(core_.Online().OnlineLock);
    online = core_.Online().OnlineUsers.Size();
  }
  std::uint64_t logins = Counters().logins.load(std::memory_order_relaxed);
  std::uint64_t since = 0;
  {
    MutexLock lock(mutex_);
    since = logins - loginsAtLastSample_;
    loginsAtLastSample_ = logins;
  }
  samples_.Add({EpochSeconds(), static_cast<std::int64_t>(online), static_cast<std::int64_t>(since)});
}

void WebApi::Charts(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  std::int64_t hours = IntParam(req, "hours", 24, 1, 7 * 24);
  JsonValue online{JsonValue::Array{}};
  JsonValue logins{JsonValue::Array{}};
  for (const Sample& s : samples_.Since(EpochSeconds() - hours * 3600)) {
    online.Push(JsonValue(JsonValue::Array{s.time * 1000, s.online}));
    logins.Push(JsonValue(JsonValue::Array{s.time * 1000, s.logins}));
  }
  JsonValue out;
  out.Set("online", std::move(online));
  out.Set("logins", std::move(logins));
  SendJson(res, 200, out);
}

void WebApi::Online(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  auto users = ListOnlineUsers(core_.Online());
  auto dir = core_.Dir().Get();
  JsonValue list{JsonValue::Array{}};
  for (const auto& u : users) {
    JsonValue o;
    o.Set("UserName", u.UserName);
    const TUserInfo* account = dir->FindUser(u.UserName);
    o.Set("NickName", account != nullptr ? account->nickname : u.NickName);
    o.Set("IP", u.IP);
    o.Set("Status", u.Status);
    o.Set("LastSeen", FormatTimestamp(u.LastSeen));
    list.Push(std::move(o));
  }
  JsonValue out;
  out.Set("users", std::move(list));
  SendJson(res, 200, out);
}

void WebApi::Log(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  auto since = static_cast<std::uint64_t>(IntParam(req, "since", 0, 0, INT64_MAX));
  std::string query = req.has_param("q") ? req.get_param_value("q") : std::string();
  auto [lines, seq] = LogLinesAfter(core_, since);
  JsonValue list{JsonValue::Array{}};
  for (auto& l : lines)
    if (Matches(l, query)) list.Push(std::move(l));
  JsonValue out;
  out.Set("seq", seq);
  out.Set("lines", std::move(list));
  SendJson(res, 200, out);
}

void WebApi::LogStream(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, false);
  if (!session) return;
  if (streams_.fetch_add(1) >= kMaxStreams) {
    streams_.fetch_sub(1);
    return SendError(res, 429, "实时日志连接过多");
  }
  std::uint64_t since = 0;
  if (auto last = ParseInt64(req.get_header_value("Last-Event-ID")); last && *last >= 0)
    since = static_cast<std::uint64_t>(*last);
  else if (req.has_param("since")) since = static_cast<std::uint64_t>(IntParam(req, "since", 0, 0, INT64_MAX));
  else since = core_.Log().Sequence();
  std::string token = CookieValue(req.get_header_value("Cookie"), kSessionCookie).value_or("");
  struct StreamState {
    std::uint64_t since;
    SteadyClock::time_point opened = SteadyClock::now();
    SteadyClock::time_point lastWrite = SteadyClock::now();
    SteadyClock::time_point lastCheck = SteadyClock::now();
    bool openSent = false;
  };
  auto state = std::make_shared<StreamState>(StreamState{since});
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      // Exactly this type: the library compresses other text types, which
      // would hold the events back until the stream ends.
      "text/event-stream",
      [this, state, token, admin = session->admin, hash = session->passwordHash](std::size_t, httplib::DataSink& sink) {
        // The reply's headers leave only with its first bytes, and the
        // browser reports the stream open only once they arrive: a comment
        // goes at once, so that it opens even when no line is waiting.
        if (!state->openSent) {
          state->openSent = true;
          static constexpr std::string_view kOpened = ": open\n\n";
          return sink.write(kOpened.data(), kOpened.size());
        }
        // One call waits up to a second for new lines, then returns so that
        // the server can end the stream when it stops.
        for (int i = 0; i < 10 && streaming_.load(); ++i) {
          auto now = SteadyClock::now();
          if (now - state->opened > kStreamLifetime) return false;
          if (now - state->lastCheck > std::chrono::seconds(5)) {
            // The session may have ended meanwhile (logout, a new password,
            // the idle timeout: the stream is no activity of its own).
            state->lastCheck = now;
            Result<std::optional<WebAdminRow>> row = FindWebAdminRow(core_.Db(), admin);
            if (!sessions_.Use(token, now, false) || !row.IsOk() || !row.Value() || row.Value()->passwordHash != hash)
              return false;
          }
          auto [lines, seq] = LogLinesAfter(core_, state->since);
          if (!lines.empty()) {
            std::string event;
            std::uint64_t first = seq - lines.size() + 1;
            for (std::size_t k = 0; k < lines.size(); ++k) {
              event += "id: " + std::to_string(first + k) + "\n";
              // A line holds no line break; one that did would be split
              // into data lines and joined again by the browser.
              std::string_view rest = lines[k];
              while (true) {
                std::size_t nl = rest.find('\n');
                event += "data: " + std::string(rest.substr(0, nl)) + "\n";
                if (nl == std::string_view::npos) break;
                rest = rest.substr(nl + 1);
              }
              event += "\n";
            }
            state->since = seq;
            state->lastWrite = now;
            return sink.write(event.data(), event.size());
          }
          if (now - state->lastWrite > std::chrono::seconds(15)) {
            state->lastWrite = now;
            static constexpr std::string_view kKeepAlive = ": keep-alive\n\n";
            return sink.write(kKeepAlive.data(), kKeepAlive.size());
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return streaming_.load();
      },
      [this](bool) { streams_.fetch_sub(1); });
}

void WebApi::Orgs(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  AdminReply reply = RunAdminCommand(core_, {"org", "tree"}, AdminContext{});
  JsonValue out = ReplyToJson(reply);
  out.Set("CompanyName", core_.Dir().Get()->CompanyName());
  SendJson(res, 200, out);
}

void WebApi::Users(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  std::string query = req.has_param("q") ? std::string(Trim(req.get_param_value("q"))) : std::string();
  std::string org = req.has_param("org") ? req.get_param_value("org") : std::string();
  std::int64_t size = IntParam(req, "size", 50, 1, 500);
  std::int64_t page = IntParam(req, "page", 1, 1, 1000000);
  auto dir = core_.Dir().Get();
  OrgTree tree(*dir);
  std::vector<AdminUserPtr> users = org.empty() ? dir->Users() : UsersUnder(*dir, org);
  std::int64_t total = 0;
  JsonValue list{JsonValue::Array{}};
  const std::int64_t from = (page - 1) * size;
  for (const auto& u : users) {
    if (!query.empty() && !Matches(u->username, query) && !Matches(u->nickname, query)) continue;
    if (total >= from && total < from + size) {
      JsonValue o;
      o.Set("username", u->username);
      o.Set("nickname", u->nickname);
      o.Set("organizeNo", u->organizeNo);
      o.Set("organizename", u->organizename);
      o.Set("path", tree.PathOf(u->organizeNo));
      o.Set("USERID", u->USERID);
      o.Set("email", u->email);
      o.Set("mobilephone", u->mobilephone);
      list.Push(std::move(o));
    }
    ++total;
  }
  JsonValue out;
  out.Set("total", total);
  out.Set("page", page);
  out.Set("size", size);
  out.Set("users", std::move(list));
  SendJson(res, 200, out);
}

void WebApi::User(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  AdminReply reply = RunAdminCommand(core_, {"user", "show", "--", req.matches[1].str()}, AdminContext{});
  DropPasswords(reply.data);
  SendJson(res, reply.ok ? 200 : 404, ReplyToJson(reply));
}

// --- Changing -------------------------------------------------------------

void WebApi::Command(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, true);
  if (!session) return;
  std::optional<JsonValue> body = JsonBody(req, res);
  if (!body) return;
  Result<ParsedCommand> command = ParseNamedCommand(req.matches[1].str(), *body, true);
  if (!command.IsOk()) {
    AdminReply refused;
    refused.message = command.GetStatus().Message();
    refused.caption = "信息";
    refused.exitCode = kExitUsage;
    return SendJson(res, 400, ReplyToJson(refused));
  }
  AdminContext context;
  context.actor = Actor::Web(session->admin, req.remote_addr);
  AdminReply reply = RunParsedCommand(core_, command.Value(), context);
  DropPasswords(reply.data);
  SendJson(res, 200, ReplyToJson(reply));
}

void WebApi::Audit(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, false);
  if (!session) return;
  JsonValue args{JsonValue::Object{}};
  for (const char* name : {"since", "actor", "op"})
    if (req.has_param(name) && !req.get_param_value(name).empty()) args.Set(name, req.get_param_value(name));
  AdminReply reply = RunForAdmin(core_, "audit", args, *session, req);
  SendJson(res, reply.ok ? 200 : 400, ReplyToJson(reply));
}

// The body is the CSV file itself; "name" (query) is the file's name.
void WebApi::ImportUsers(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, true);
  if (!session) return;
  if (req.body.size() > kMaxWebBodyBytes)
    return SendError(res, 413, "文件超过 " + std::to_string(kMaxWebBodyBytes / (1024 * 1024)) + " MiB");
  TransferFolder folder;
  if (folder.Path().empty()) return SendError(res, 500, "无法创建临时文件夹");
  const fs::path file = folder.Path() / UploadName(req.has_param("name") ? req.get_param_value("name") : "");
  if (Status written = WritePrivateFile(file, req.body); !written.IsOk()) return SendError(res, 500, written.Message());
  JsonValue args;
  args.Set("file", file.string());
  AdminReply reply = RunForAdmin(core_, "user import", args, *session, req);
  SendJson(res, 200, ReplyToJson(reply));
}

// The accounts as the CSV file "user export" writes, as a download.
void WebApi::ExportUsers(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, true);
  if (!session) return;
  TransferFolder folder;
  if (folder.Path().empty()) return SendError(res, 500, "无法创建临时文件夹");
  const fs::path file = folder.Path() / "users.csv";
  JsonValue args;
  args.Set("file", file.string());
  AdminReply reply = RunForAdmin(core_, "user export", args, *session, req);
  if (!reply.ok) return SendJson(res, 500, ReplyToJson(reply));
  Result<std::string> bytes = ReadSmallFile(file, kMaxCsvBytes * 4);
  if (!bytes.IsOk()) return SendError(res, 500, bytes.GetStatus().Message());
  res.set_header("Cache-Control", "no-store");
  res.set_header("Content-Disposition", "attachment; filename=\"users.csv\"");
  res.set_content(bytes.Value(), "text/csv; charset=utf-8");
}

// --- Monitoring -------------------------------------------------------------

void WebApi::Health(const HttpRequest&, Response& res) {
  bool up = ProtocolListening();
  JsonValue out;
  out.Set("status", up ? "ok" : "down");
  out.Set("listening", up);
  out.Set("port", static_cast<std::int64_t>(core_.Lifecycle().ListeningPort()));
  out.Set("database", core_.Db().IsOpen());
  SendJson(res, up ? 200 : 503, out);
}

void WebApi::Metrics(const HttpRequest& req, Response& res) {
  Settings s = Current();
  std::string auth = req.get_header_value("Authorization");
  bool tokenRight = !s.metricsToken.empty() && SecretsEqual(auth, "Bearer " + s.metricsToken);
  if (!IsHostItself(req.remote_addr) && !tokenRight) {
    res.set_header("WWW-Authenticate", "Bearer");
    res.status = 401;
    res.set_content("the figures need the bearer token from the web console's settings\n", "text/plain");
    return;
  }
  MetricsFigures m;
  m.listening = ProtocolListening();
  {
    MutexLock lock(core_.Online().OnlineLock);
    m.onlineUsers = static_cast<std::int64_t>(core_.Online().OnlineUsers.Size());
  }
  auto dir = core_.Dir().Get();
  m.accounts = static_cast<std::int64_t>(dir->Users().size());
  m.departments = static_cast<std::int64_t>(dir->Orgs().size());
  ServerCounters& c = Counters();
  m.logins = c.logins.load(std::memory_order_relaxed);
  const RequestTable& table = core_.Requests();
  for (std::size_t i = 0; i < table.size() && i + 1 < ServerCounters::kMaxTypes; ++i) {
    std::uint64_t n = c.Type(i).requests.load(std::memory_order_relaxed);
    m.requestsByType.emplace_back(std::string(table[i].type), n);
    if (table[i].type == "Loginin") m.failedLogins = c.Type(i).failures.load(std::memory_order_relaxed);
  }
  m.unknownRequests = c.unknownRequests.load(std::memory_order_relaxed);
  m.noticesSent = c.noticesSent.load(std::memory_order_relaxed);
  const std::pair<const char*, CountedQueue> queues[] = {{"requests", CountedQueue::kRequests},
                                                         {"jobs", CountedQueue::kJobs},
                                                         {"online_lane", CountedQueue::kOnlineLane},
                                                         {"account_lane", CountedQueue::kAccountLane}};
  for (const auto& [name, q] : queues)
    m.queueDepths.emplace_back(name, std::max<std::int64_t>(0, c.Queue(q).load(std::memory_order_relaxed)));
  StoredFigures stored = Stored();
  m.storedMessages = stored.messages;
  m.storedMessageBytes = stored.messageBytes;
  m.storedFiles = stored.files;
  m.storedFileBytes = stored.fileBytes;
  m.syncRuns = c.syncRuns.load(std::memory_order_relaxed);
  m.syncFailures = c.syncFailures.load(std::memory_order_relaxed);
  m.webSessions = static_cast<std::int64_t>(sessions_.Count());
  m.process = ReadProcessFigures();
  res.set_header("Cache-Control", "no-store");
  res.set_content(RenderMetrics(m), "text/plain; version=0.0.4; charset=utf-8");
}

// --- The front end ----------------------------------------------------------

void WebApi::Static(const HttpRequest& req, Response& res) {
  std::optional<fs::path> file = assets_.empty() ? std::nullopt : StaticFileFor(assets_, req.path);
  std::error_code ec;
  if (!file || !fs::is_regular_file(*file, ec) || fs::file_size(*file, ec) > kMaxStaticBytes) {
    res.status = 404;
    res.set_content(assets_.empty() ? "网页控制台的页面文件未安装\n" : "未找到\n", "text/plain; charset=utf-8");
    return;
  }
  auto read = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  res.set_header("Cache-Control", CacheControlFor(req.path));
  res.set_header("Vary", "Accept-Encoding");
  // The front end's build leaves a gzip copy beside each asset: it goes out
  // as it is. It is given as a body of known length through a provider,
  // which cpp-httplib sends untouched; a plain body it would compress again.
  std::optional<fs::path> gzip = GzipCopyFor(*file, req.get_header_value("Accept-Encoding"));
  if (gzip && fs::file_size(*gzip, ec) <= kMaxStaticBytes && !ec) {
    auto bytes = std::make_shared<const std::string>(read(*gzip));
    res.set_header("Content-Encoding", "gzip");
    res.set_content_provider(bytes->size(), ContentTypeFor(*file),
                             [bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               return sink.write(bytes->data() + offset, std::min(length, bytes->size() - offset));
                             });
    return;
  }
  res.set_content(read(*file), ContentTypeFor(*file));
}

}  // namespace corvan
