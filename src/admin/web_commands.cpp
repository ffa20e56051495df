#include "admin/web_commands.h"

#include <unistd.h>

#include <map>
#include <system_error>

#include "admin/admin_commands.h"
#include "admin/web_admins.h"
#include "admin/web_certificate.h"
#include "base/text.h"
#include "base/thread_annotations.h"
#include "server/server_core.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

// The consoles attached, by core. The lock is held while a console is used,
// so that it cannot detach (and go away) in the middle of a call.
struct Attached {
  Mutex mutex;
  std::map<const ServerCore*, WebConsoleControl*> consoles CORVAN_GUARDED_BY(mutex);
};
Attached& AttachedConsoles() {
  static Attached attached;
  return attached;
}

std::optional<WebListenerState> UseConsole(const ServerCore& core, bool reload) {
  Attached& a = AttachedConsoles();
  MutexLock lock(a.mutex);
  auto it = a.consoles.find(&core);
  if (it == a.consoles.end() || it->second == nullptr) return std::nullopt;
  return reload ? it->second->Reload() : it->second->State();
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

Result<WebSettings> CurrentSettings(const fs::path& home) {
  Result<std::optional<WebSettings>> loaded = LoadWebSettings(home);
  if (!loaded.IsOk()) return loaded.GetStatus();
  return loaded.Value().value_or(WebSettings{});
}

Result<WebConsoleState> StateOf(ServerCore& core, const AdminContext& ctx, bool reload) {
  Result<std::optional<WebSettings>> loaded = LoadWebSettings(core.Home());
  if (!loaded.IsOk()) return loaded.GetStatus();
  WebConsoleState state;
  state.configured = loaded.Value().has_value();
  state.settings = loaded.Value().value_or(WebSettings{});
  state.url = WebConsoleUrl(state.settings, HostName());
  Result<std::string> fingerprint = CertificateFingerprint(WebCertificatePath(core.Home(), state.settings));
  if (fingerprint.IsOk()) state.fingerprint = fingerprint.Value();
  if (ctx.inServer) {
    std::optional<WebListenerState> listener = UseConsole(core, reload);
    state.inServer = listener.has_value();
    state.listener = listener.value_or(WebListenerState{});
  }
  return state;
}

}  // namespace

void AttachWebConsole(const ServerCore& core, WebConsoleControl* control) {
  Attached& a = AttachedConsoles();
  MutexLock lock(a.mutex);
  if (control == nullptr) a.consoles.erase(&core);
  else a.consoles[&core] = control;
}

Result<WebConsoleState> EnableWebConsole(ServerCore& core, const AdminContext& ctx, std::optional<std::uint16_t> port,
                                         std::optional<std::string> bind) {
  Result<WebSettings> current = CurrentSettings(core.Home());
  if (!current.IsOk()) return current.GetStatus();
  WebSettings s = current.Value();
  s.enabled = true;
  if (port) s.port = *port;
  if (bind) s.bind = *bind;
  // The file's own rules (plain HTTP only on loopback) hold for the result.
  if (Result<WebSettings> checked = ParseWebSettings(FormatWebSettings(s)); !checked.IsOk()) return checked.GetStatus();
  if (s.certFile.empty()) {
    std::error_code ec;
    fs::path cert = WebCertificatePath(core.Home(), s);
    fs::path key = WebKeyPath(core.Home(), s);
    if (!fs::exists(cert, ec) || !fs::exists(key, ec)) {
      std::vector<std::string> addresses = {"127.0.0.1", "::1"};
      if (s.bind != "0.0.0.0" && s.bind != "::" && !IsLoopbackAddress(s.bind)) addresses.push_back(s.bind);
      if (Status made = MakeSelfSignedCertificate(cert, key, {HostName(), "localhost"}, addresses); !made.IsOk())
        return made;
    }
  }
  if (Status saved = SaveWebSettings(core.Home(), s); !saved.IsOk()) return saved;
  return StateOf(core, ctx, true);
}

Result<WebConsoleState> DisableWebConsole(ServerCore& core, const AdminContext& ctx) {
  Result<WebSettings> current = CurrentSettings(core.Home());
  if (!current.IsOk()) return current.GetStatus();
  WebSettings s = current.Value();
  s.enabled = false;
  if (Status saved = SaveWebSettings(core.Home(), s); !saved.IsOk()) return saved;
  return StateOf(core, ctx, true);
}

Result<WebConsoleState> GetWebConsoleState(ServerCore& core, const AdminContext& ctx) {
  return StateOf(core, ctx, false);
}

// --- The command lines --------------------------------------------------------

namespace {

AdminReply Reply(bool ok, std::string message, int exitCode) { return CommandReply(ok, std::move(message), exitCode); }
AdminReply FromStatus(const Status& s, std::string okMessage = {}) {
  if (s.IsOk()) return Reply(true, std::move(okMessage), kExitOk);
  return Reply(false, s.Message(), s.Code() == StatusCode::kInvalidInput ? kExitUsage : kExitRefused);
}

AdminReply StateReply(const WebConsoleState& st, std::string message = {}) {
  AdminReply r = Reply(true, std::move(message), kExitOk);
  std::string state = !st.settings.enabled    ? "未启用"
                      : !st.inServer          ? "已启用（服务器未运行）"
                      : st.listener.listening ? "已启用，正在监听"
                                              : "已启用，启动失败：" + st.listener.failure;
  r.lines.push_back("网页控制台：" + state);
  r.lines.push_back("地址：" + st.url);
  r.lines.push_back("证书 SHA-256 指纹：" + (st.fingerprint.empty() ? std::string("（无证书）") : st.fingerprint));
  r.data.Set("enabled", st.settings.enabled);
  r.data.Set("configured", st.configured);
  r.data.Set("port", static_cast<std::int64_t>(st.settings.port));
  r.data.Set("bind", st.settings.bind);
  r.data.Set("url", st.url);
  r.data.Set("fingerprint", st.fingerprint);
  r.data.Set("process", st.inServer);
  r.data.Set("listening", st.listener.listening);
  r.data.Set("failure", st.listener.failure);
  if (st.inServer && st.settings.enabled && !st.listener.listening) {
    r.ok = false;
    r.exitCode = kExitRefused;
    r.message = "网页控制台启动失败：" + st.listener.failure;
  }
  return r;
}

AdminReply FromState(const Result<WebConsoleState>& st, std::string message = {}) {
  return st.IsOk() ? StateReply(st.Value(), std::move(message)) : FromStatus(st.GetStatus());
}

std::string Subcommand(const std::vector<std::string>& words) {
  if (words.size() < 2) return "";
  if (words[1] == "admin" && words.size() > 2) return "admin " + words[2];
  return words[1];
}

}  // namespace

bool IsWebCommand(const std::vector<std::string>& words) { return !words.empty() && words[0] == "web"; }

bool WebCommandWrites(const std::vector<std::string>& words) {
  std::string sub = Subcommand(words);
  return IsWebCommand(words) && sub != "status" && sub != "admin list";
}

std::optional<std::string> WebUsageError(const std::vector<std::string>& words,
                                         const std::map<std::string, std::string>& options) {
  static const std::map<std::string, std::size_t> shapes = {{"enable", 2},    {"disable", 2},      {"status", 2},
                                                            {"admin add", 4}, {"admin passwd", 4}, {"admin del", 4},
                                                            {"admin list", 3}};
  std::string sub = Subcommand(words);
  auto it = shapes.find(sub);
  if (it == shapes.end()) return "unknown command: web " + sub;
  if (words.size() != it->second)
    return "web " + sub + (words.size() < it->second ? ": missing argument" : ": too many arguments");
  for (const auto& [name, value] : options)
    if (sub != "enable" || (name != "port" && name != "bind")) return "unknown option --" + name;
  return std::nullopt;
}

AdminReply RunWebCommand(ServerCore& core, const std::vector<std::string>& words,
                         const std::map<std::string, std::string>& options, const AdminContext& ctx) {
  if (auto error = WebUsageError(words, options)) return Reply(false, *error, kExitUsage);
  const std::string sub = Subcommand(words);
  if (sub == "enable") {
    std::optional<std::uint16_t> port;
    if (auto it = options.find("port"); it != options.end()) {
      auto n = ParseInt64(Trim(it->second));
      if (!n || *n < 1 || *n > 65535) return Reply(false, "--port 应为 1 到 65535", kExitUsage);
      port = static_cast<std::uint16_t>(*n);
    }
    std::optional<std::string> bind;
    if (auto it = options.find("bind"); it != options.end()) {
      if (!IsIpAddress(Trim(it->second))) return Reply(false, "--bind 应为 IP 地址", kExitUsage);
      bind = std::string(Trim(it->second));
    }
    return FromState(EnableWebConsole(core, ctx, port, bind), "网页控制台已启用");
  }
  if (sub == "disable") return FromState(DisableWebConsole(core, ctx), "网页控制台已停用");
  if (sub == "status") return FromState(GetWebConsoleState(core, ctx));
  if (sub == "admin list") {
    Result<std::vector<WebAdminRow>> rows = ListWebAdmins(core.Db());
    if (!rows.IsOk()) return FromStatus(rows.GetStatus());
    AdminReply r = Reply(true, {}, kExitOk);
    JsonValue list{JsonValue::Array{}};
    for (const auto& row : rows.Value()) {
      r.lines.push_back(row.name + " " + row.created);
      JsonValue o;
      o.Set("name", row.name);
      o.Set("created", row.created);
      list.Push(std::move(o));
    }
    r.data.Set("admins", std::move(list));
    return r;
  }
  const std::string& name = words[3];
  if (sub == "admin del") return FromStatus(DeleteWebAdmin(core.Db(), name), "管理员已删除：" + name);
  if (!ctx.input) return Reply(false, "密码须从终端或标准输入读入", kExitUsage);
  if (sub == "admin add") return FromStatus(AddWebAdmin(core.Db(), name, *ctx.input), "管理员已添加：" + name);
  return FromStatus(SetWebAdminPassword(core.Db(), name, *ctx.input), "密码已修改：" + name);
}

}  // namespace corvan
