#include "admin/web_commands.h"

#include <unistd.h>

#include <map>
#include <system_error>

#include "admin/admin_commands.h"
#include "admin/command_handlers.h"
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

}  // namespace

namespace handlers {

AdminReply WebEnable(CommandCall& call) {
  std::optional<std::uint16_t> port;
  if (auto text = call.Text("port")) {
    auto n = ParseInt64(Trim(*text));
    if (!n || *n < 1 || *n > 65535) return Reply(false, "--port 应为 1 到 65535", kExitUsage);
    port = static_cast<std::uint16_t>(*n);
  }
  std::optional<std::string> bind;
  if (auto text = call.Text("bind")) {
    if (!IsIpAddress(Trim(*text))) return Reply(false, "--bind 应为 IP 地址", kExitUsage);
    bind = std::string(Trim(*text));
  }
  return FromState(EnableWebConsole(call.core, call.context, port, bind), "网页控制台已启用");
}

AdminReply WebDisable(CommandCall& call) {
  return FromState(DisableWebConsole(call.core, call.context), "网页控制台已停用");
}

AdminReply WebStatus(CommandCall& call) { return FromState(GetWebConsoleState(call.core, call.context)); }

AdminReply WebAdminList(CommandCall& call) {
  Result<std::vector<WebAdminRow>> rows = ListWebAdmins(call.core.Db());
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

AdminReply WebAdminDel(CommandCall& call) {
  const std::string name = call.Text("name").value_or("");
  return FromStatus(DeleteWebAdmin(call.core.Db(), name), "管理员已删除：" + name);
}

AdminReply WebAdminAdd(CommandCall& call) {
  const std::string name = call.Text("name").value_or("");
  if (!call.context.input) return Reply(false, "密码须从终端或标准输入读入", kExitUsage);
  return FromStatus(AddWebAdmin(call.core.Db(), name, *call.context.input), "管理员已添加：" + name);
}

AdminReply WebAdminPasswd(CommandCall& call) {
  const std::string name = call.Text("name").value_or("");
  if (!call.context.input) return Reply(false, "密码须从终端或标准输入读入", kExitUsage);
  return FromStatus(SetWebAdminPassword(call.core.Db(), name, *call.context.input), "密码已修改：" + name);
}

}  // namespace handlers

}  // namespace corvan
