#include "admin/admin_commands.h"

#include <unistd.h>

#include <map>
#include <optional>

#include "admin/command_handlers.h"
#include "admin/command_table.h"
#include "admin/web_commands.h"
#include "base/quiet_failure.h"
#include "base/text.h"
#include "presence/presence.h"
#include "server/server_core.h"
#include "storage/config.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

AdminReply Reply(bool ok, std::string message, int exitCode) { return CommandReply(ok, std::move(message), exitCode); }
AdminReply Ok(std::string message = {}) { return Reply(true, std::move(message), kExitOk); }
AdminReply Refused(std::string message) { return Reply(false, std::move(message), kExitRefused); }
AdminReply Usage(std::string message) { return Reply(false, std::move(message), kExitUsage); }
AdminReply Ask(std::string question) {
  AdminReply r = Reply(false, std::move(question), kExitConfirm);
  r.data.Set("confirm", true);
  return r;
}
AdminReply FromAdmin(const Status& r) { return r.IsOk() ? Ok(r.Message()) : Refused(r.Message()); }

// An account for people and scripts, without its password.
JsonValue UserJson(const TUserInfo& u, const OrgTree& tree) {
  JsonValue o;
  for (const AccountField& f : kAccountFields)
    if (f.name != "pwd") o.Set(std::string(f.name), u.*f.member);
  o.Set("organizename", u.organizename);
  o.Set("path", tree.PathOf(u.organizeNo));
  o.Set("USERID", u.USERID);
  return o;
}

// Applies the named field arguments to a form; the department choice
// follows the tree as the editor's list does.
void ApplyFields(UserForm& f, const CommandCall& call, const OrgTree& tree) {
  for (const AccountField& field : kAccountFields)
    if (field.member != &AccountTexts::username)
      if (auto value = call.Text(field.name)) f.*field.member = *value;
  if (auto order = call.Text("USERID")) f.userId = *order;
  if (auto name = call.Text("newName")) f.username = *name;
  int node = tree.Find(std::string(Trim(f.organizeNo)));
  // A code the list does not offer leaves the choice empty: "*号项必须填写".
  f.orgShown = node > OrgTree::kRoot ? tree.Path(node) : "";
}

// The settings the settings window shows, by key.
JsonValue ConfigValues(ServerCore& core) {
  SettingsForm form = CurrentSettingsForm(core);
  JsonValue v;
  v.Set("ServerPort", form.serverPort);
  v.Set("StartMin", form.startMin ? "True" : "False");
  v.Set("AllowReg", form.allowReg ? "True" : "False");
  v.Set("OfflineInfoDay", form.offlineInfoDay);
  v.Set("AutoStart", form.autoStart ? "True" : "False");
  v.Set("Information", core.Settings().Information());
  return v;
}

std::optional<bool> ParseSwitch(std::string_view text) {
  std::string t = AsciiUpper(Trim(text));
  if (t == "TRUE" || t == "ON" || t == "YES" || t == "1") return true;
  if (t == "FALSE" || t == "OFF" || t == "NO" || t == "0") return false;
  return std::nullopt;
}

// The log lines written while `action` ran.
template <typename F>
std::vector<std::string> LinesDuring(ServerCore& core, F action) {
  std::uint64_t before = core.Log().Sequence();
  action();
  std::uint64_t after = core.Log().Sequence();
  auto lines = core.Log().Lines();
  std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(after - before, lines.size()));
  return std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(n), lines.end());
}

void TreeLines(const OrgTree& tree, int node, int depth, AdminReply& r, JsonValue& out) {
  const auto& n = tree.At(node);
  r.lines.push_back(std::string(static_cast<std::size_t>(depth) * 2, ' ') + n.record->organizeNo + " " +
                    n.record->organizename + " (" + std::to_string(n.record->orgID) + ")");
  out.Set("organizeNo", n.record->organizeNo);
  out.Set("organizename", n.record->organizename);
  out.Set("orgID", n.record->orgID);
  JsonValue children{JsonValue::Array{}};
  for (int c : n.children) {
    JsonValue child;
    TreeLines(tree, c, depth + 1, r, child);
    children.Push(std::move(child));
  }
  out.Set("children", std::move(children));
}

AdminReply FromSave(const SettingsSaveResult& s) {
  std::string message;
  for (const auto& m : s.Messages()) message += (message.empty() ? "" : "\n") + m;
  return s.status.IsOk() ? Ok(message) : Refused(message);
}

AdminReply FromMaintenance(const MaintenanceResult& m) {
  if (m.needsConfirmation) return Ask(m.status.Message());
  return m.status.IsOk() ? Ok(m.status.Message()) : Refused(m.Shown());
}

}  // namespace

namespace handlers {

AdminReply Status(CommandCall& call) {
  ServerCore& core = call.core;
  const AdminContext& ctx = call.context;
  ServerSettings s = core.Settings().Current();
  auto dir = core.Dir().Get();
  bool running = ctx.inServer && core.Lifecycle().TcpServerExists();
  std::size_t online = 0;
  if (ctx.inServer) {
    MutexLock lock(core.Online().OnlineLock);
    online = core.Online().OnlineUsers.Size();
  }
  AdminReply r = Ok();
  r.data.Set("process", ctx.inServer);
  r.data.Set("running", running);
  r.data.Set("listeningPort", static_cast<std::int64_t>(ctx.inServer ? core.Lifecycle().ListeningPort() : 0));
  r.data.Set("ServerPort", static_cast<std::int64_t>(s.ServerPort));
  r.data.Set("online", static_cast<std::int64_t>(online));
  r.data.Set("users", static_cast<std::int64_t>(dir->Users().size()));
  r.data.Set("orgs", static_cast<std::int64_t>(dir->Orgs().size()));
  r.data.Set("CompanyName", dir->CompanyName());
  r.data.Set("AllowReg", s.AllowReg);
  r.data.Set("OfflineInfoDay", static_cast<std::int64_t>(
                                   ParseInt32(CurrentSettingsForm(core).offlineInfoDay).value_or(s.OfflineInfoDay)));
  r.data.Set("AutoStart", AutoStartEnabled());
  r.data.Set("home", core.Home().string());
  r.data.Set("database", core.Db().IsOpen());
  std::string state = !ctx.inServer ? "服务器未运行" : running ? "服务器正在运行" : "服务器已停止";
  r.lines.push_back("状态：" + state);
  r.lines.push_back("数据目录：" + core.Home().string());
  r.lines.push_back("端口：" + std::to_string(s.ServerPort) +
                    (running && core.Lifecycle().ListeningPort() ? "（监听中）" : ""));
  r.lines.push_back("在线用户：" + std::to_string(online));
  r.lines.push_back("组织：" + dir->CompanyName() + "，部门 " + std::to_string(dir->Orgs().size()) + " 个，用户 " +
                    std::to_string(dir->Users().size()) + " 个");
  r.lines.push_back(std::string("允许注册：") + (s.AllowReg ? "允许" : "不允许"));
  // The number as stored, as the settings window shows it; one outside 1 to
  // 30 is said to be so (a server start purges with 3 days instead).
  const std::string days = CurrentSettingsForm(core).offlineInfoDay;
  r.lines.push_back("离线信息保存天数：" + days +
                    (ParseOfflineDays(days) ? "" : "（" + std::string(kOfflineDayRange) + "，清理按3天）"));
  r.lines.push_back(std::string("开机启动：") + (AutoStartEnabled() ? "是" : "否"));
  if (!core.Db().IsOpen()) r.lines.push_back(std::string(kDatabaseConnectFailed));
  return r;
}

// The console's "在线用户" listing, shown here instead of in the status log.
AdminReply Online(CommandCall& call) {
  ServerCore& core = call.core;
  auto users = ListOnlineUsers(core.Online());
  AdminReply r = Ok();
  r.lines.push_back("共" + std::to_string(users.size()) + "人在线！");
  JsonValue list{JsonValue::Array{}};
  for (const auto& u : users) {
    std::string seen = FormatTimestamp(u.LastSeen);
    r.lines.push_back(u.UserName + " " + u.IP + " " + seen);
    JsonValue o;
    o.Set("UserName", u.UserName);
    o.Set("NickName", u.NickName);
    o.Set("IP", u.IP);
    o.Set("Status", u.Status);
    o.Set("LastSeen", seen);
    list.Push(std::move(o));
  }
  r.data.Set("users", std::move(list));
  return r;
}

// The lines of the status log after sequence number `since` (all held
// lines for 0); `seq` tells the caller where to continue.
AdminReply Log(CommandCall& call) {
  ServerCore& core = call.core;
  std::uint64_t since = 0;
  if (auto s = call.Text("since")) {
    auto v = ParseInt64(*s);
    if (!v || *v < 0) return Usage("--since 需要一个数字");
    since = static_cast<std::uint64_t>(*v);
  }
  // Lines() and Sequence() are read one after the other; a line appended in
  // between is counted in `seq` but read again on the next call at worst.
  std::uint64_t seq = core.Log().Sequence();
  auto lines = core.Log().Lines();
  std::uint64_t first = seq >= lines.size() ? seq - lines.size() + 1 : 1;  // sequence number of lines[0]
  AdminReply r = Ok();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (first + i > since) r.lines.push_back(lines[i]);
  r.data.Set("seq", seq);
  return r;
}

AdminReply Start(CommandCall& call) {
  ServerCore& core = call.core;
  bool wasRunning = core.Lifecycle().TcpServerExists();
  auto lines = LinesDuring(core, [&] { StartServer(call.ops, call.context.actor); });
  bool listening = core.Lifecycle().ListeningPort() != 0;
  AdminReply r = (!wasRunning && listening) ? Ok() : Refused(lines.empty() ? "" : lines.back());
  r.lines = lines;
  if (!r.ok) r.lines.clear();
  return r;
}

AdminReply Stop(CommandCall& call) {
  auto lines = LinesDuring(call.core, [&] { StopServer(call.ops, call.context.actor); });
  AdminReply r = Ok();
  r.lines = lines;
  return r;
}

AdminReply UserList(CommandCall& call) {
  auto dir = call.ops.dir.Get();
  corvan::OrgTree tree(*dir);
  auto org = call.Text("organizeNo");
  std::vector<AdminUserPtr> users = org ? UsersUnder(*dir, *org) : dir->Users();
  AdminReply r = Ok();
  JsonValue list{JsonValue::Array{}};
  for (const auto& u : users) {
    r.lines.push_back(u->username + "\t" + u->nickname + "\t" + u->organizeNo + "\t" + tree.PathOf(u->organizeNo));
    list.Push(UserJson(*u, tree));
  }
  r.data.Set("users", std::move(list));
  return r;
}

AdminReply UserShow(CommandCall& call) {
  const std::string given = call.Text("username").value_or("");
  auto dir = call.ops.dir.Get();
  const TUserInfo* u = dir->FindUser(AsciiUpper(Trim(given)));
  if (!u) return Refused(std::string(kUnknownUserPrefix) + given);
  corvan::OrgTree tree(*dir);
  AdminReply r = Ok();
  r.data = UserJson(*u, tree);
  for (const auto& [k, v] : r.data.AsObject())
    r.lines.push_back(k + ": " + (v.IsInt() ? std::to_string(v.AsInt()) : v.AsString()));
  const CoreModules& modules = call.core.Modules();
  const bool locked = modules.AccountLocked && modules.AccountLocked(call.core, u->username);
  r.data.Set("locked", locked);
  r.lines.push_back(std::string("状态: ") + (locked ? std::string(kLockedAccountState) : "正常"));
  return r;
}

AdminReply UserAdd(CommandCall& call) {
  UserForm form;
  form.userId = "100";
  form.username = call.Text("username").value_or("");
  ApplyFields(form, call, corvan::OrgTree(*call.ops.dir.Get()));
  Result<TUserInfo> saved = AddAccount(call.ops, call.context.actor, form);
  if (!saved.IsOk()) return FromAdmin(saved.GetStatus());
  AdminReply r = Ok();
  r.lines.push_back(saved.Value().username);
  r.data.Set("username", saved.Value().username);
  return r;
}

AdminReply UserSet(CommandCall& call) {
  const std::string given = call.Text("username").value_or("");
  Result<UserForm> form = AccountForm(call.ops, given);
  if (!form.IsOk()) return FromAdmin(form.GetStatus());
  ApplyFields(form.Value(), call, corvan::OrgTree(*call.ops.dir.Get()));
  Result<TUserInfo> saved = ChangeAccount(call.ops, call.context.actor, given, form.Value());
  if (!saved.IsOk()) return FromAdmin(saved.GetStatus());
  AdminReply r = Ok();
  r.lines.push_back(saved.Value().username);
  r.data.Set("username", saved.Value().username);
  return r;
}

AdminReply UserDel(CommandCall& call) {
  const std::string given = call.Text("username").value_or("");
  if (!call.ops.dir.Get()->UserExists(AsciiUpper(Trim(given)))) return Refused(std::string(kUnknownUserPrefix) + given);
  if (!call.Yes()) return Ask(std::string(kDeleteUserQuestion));
  return FromAdmin(DeleteAccount(call.ops, call.context.actor, given));
}

AdminReply UserImport(CommandCall& call) {
  ImportReport refused;
  Result<ImportReport> report = ImportAccounts(call.ops, call.context.actor, call.Text("file").value_or(""), &refused);
  if (!report.IsOk()) {
    AdminReply r = Refused(report.GetStatus().Message());
    if (!refused.errors.empty()) {
      JsonValue errors{JsonValue::Array{}};
      for (const auto& e : refused.errors) {
        r.lines.push_back(e.line ? "第" + std::to_string(e.line) + "行：" + e.message : e.message);
        JsonValue o;
        o.Set("line", static_cast<std::int64_t>(e.line));
        o.Set("message", e.message);
        errors.Push(std::move(o));
      }
      r.data.Set("errors", std::move(errors));
    } else if (report.GetStatus().Message().rfind("第", 0) == 0) {
      r.lines.push_back("已导入 0 个用户");
      r.data.Set("imported", static_cast<std::int64_t>(0));
    }
    return r;
  }
  AdminReply r = Ok(report.Value().message);
  r.data.Set("imported", static_cast<std::int64_t>(report.Value().imported));
  return r;
}

AdminReply UserExport(CommandCall& call) {
  fs::path target = call.Text("file").value_or("");
  std::error_code ec;
  if (fs::exists(target, ec) && !call.Yes()) return Ask(std::string(kBackupExists));
  Result<std::size_t> exported = ExportAccounts(call.ops, call.context.actor, target);
  if (!exported.IsOk()) return FromAdmin(exported.GetStatus());
  AdminReply r = Ok("已导出 " + std::to_string(exported.Value()) + " 个用户");
  r.data.Set("exported", static_cast<std::int64_t>(exported.Value()));
  return r;
}

AdminReply OrgTree(CommandCall& call) {
  corvan::OrgTree tree(*call.ops.dir.Get());
  AdminReply r = Ok();
  JsonValue root;
  TreeLines(tree, corvan::OrgTree::kRoot, 0, r, root);
  r.data.Set("tree", std::move(root));
  return r;
}

AdminReply OrgAdd(CommandCall& call) {
  const std::string parent = call.Text("parent").value_or("");
  const std::string name = call.Text("name").value_or("");
  const std::string order = call.Text("order").value_or("100");
  corvan::OrgTree tree(*call.ops.dir.Get());
  if (tree.Find(parent) < 0) return Refused(std::string(kUnknownOrgPrefix) + parent);
  if (Result<std::int64_t> check = CheckOrgForm(name, order); !check.IsOk()) return FromAdmin(check.GetStatus());
  if (!call.Yes())
    if (auto q = NewOrgSameNameQuestion(tree, parent, Trim(name))) return Ask(*q);
  Result<std::string> res = AddDepartment(call.ops, call.context.actor, parent, name, order);
  if (!res.IsOk())
    return res.GetStatus().Message().empty() ? Refused("没有可用的部门编号") : FromAdmin(res.GetStatus());
  AdminReply r = Ok();
  r.lines.push_back(res.Value());
  r.data.Set("organizeNo", res.Value());
  return r;
}

AdminReply OrgRename(CommandCall& call) {
  const std::string code = call.Text("organizeNo").value_or("");
  const std::string name = call.Text("name").value_or("");
  corvan::OrgTree tree(*call.ops.dir.Get());
  int node = tree.Find(code);
  if (node < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  std::string order = call.Text("order").value_or(std::to_string(tree.At(node).record->orgID));
  if (Result<std::int64_t> check = CheckOrgForm(name, order); !check.IsOk()) return FromAdmin(check.GetStatus());
  if (!call.Yes())
    if (auto q = RenameOrgSameNameQuestion(tree, code, Trim(name))) return Ask(*q);
  return FromAdmin(RenameDepartment(call.ops, call.context.actor, code, name, order));
}

AdminReply OrgDel(CommandCall& call) {
  const std::string code = call.Text("organizeNo").value_or("");
  if (code == kRootOrgNo) return Refused("不能删除根组织");
  if (corvan::OrgTree(*call.ops.dir.Get()).Find(code) < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  if (!call.Yes()) return Ask(std::string(kDeleteOrgQuestion));
  return FromAdmin(DeleteDepartment(call.ops, call.context.actor, code));
}

AdminReply OrgMove(CommandCall& call) {
  Result<std::string> res = MoveDepartment(call.ops, call.context.actor, call.Text("organizeNo").value_or(""),
                                           call.Text("parent").value_or(""));
  if (!res.IsOk()) return FromAdmin(res.GetStatus());
  AdminReply r = Ok();
  r.lines.push_back(res.Value());
  r.data.Set("organizeNo", res.Value());
  return r;
}

AdminReply Move(CommandCall& call) {
  const std::string code = call.Text("organizeNo").value_or("");
  const std::vector<std::string> given = call.Words("usernames");
  auto dir = call.ops.dir.Get();
  corvan::OrgTree tree(*dir);
  int node = tree.Find(code);
  if (node < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  for (const std::string& name : given)
    if (!dir->UserExists(AsciiUpper(Trim(name)))) return Refused(std::string(kUnknownUserPrefix) + name);
  if (!call.Yes()) return Ask(MoveUsersQuestion(given.size(), tree.At(node).record->organizename));
  return FromAdmin(MoveAccounts(call.ops, call.context.actor, given, code));
}

AdminReply Announce(CommandCall& call) {
  PublishResult res = corvan::Announce(call.ops, call.context.actor, call.Text("text"));
  AdminReply r = res.ok ? Ok(res.message) : Refused(res.message);
  r.data.Set("changed", res.changed);
  r.data.Set("Information", call.core.Settings().Information());
  return r;
}

AdminReply Backup(CommandCall& call) {
  const std::string file = call.Text("file").value_or("");
  AdminReply r = FromMaintenance(corvan::Backup(call.ops, call.context.actor, file, call.Yes() || call.Flag("force")));
  r.data.Set("file", BackupTargetName(file).string());
  return r;
}

AdminReply Restore(CommandCall& call) {
  MaintenanceResult m = corvan::Restore(call.ops, call.context.actor, call.Text("file").value_or(""), call.Yes());
  // The console ends silently on a file that is not there; here the restore
  // fails and says why.
  if (!m.status.IsOk() && !m.needsConfirmation && m.status.Message().empty())
    return Refused(std::string(kRestoreFailed) + "：" + m.reason);
  return FromMaintenance(m);
}

// Departments and accounts from the organisation's directory.
AdminReply DirectorySync(CommandCall& call) {
  DirectorySyncRequest request;
  request.dryRun = call.Flag("dryRun");
  request.removeMissing = call.Flag("removeMissing");
  request.force = call.Flag("force");
  Result<DirectorySyncOutcome> out = SyncDirectory(call.ops, call.context.actor, request, call.context.progress);
  if (!out.IsOk()) return Refused(out.GetStatus().Message());
  AdminReply r = Reply(out.Value().ok, std::move(out.Value().message), out.Value().ok ? kExitOk : kExitRefused);
  r.lines = std::move(out.Value().lines);
  return r;
}

AdminReply CleanOffline(CommandCall& call) {
  CleanOfflineFilesResult res = corvan::CleanOffline(call.ops, call.context.actor);
  AdminReply r = res.completed ? Ok() : Refused("离线文件清理未完成");
  r.lines.push_back("删除 " + std::to_string(res.removed) + " 个，保留 " + std::to_string(res.kept) + " 个，跳过 " +
                    std::to_string(res.spared) + " 个正在使用的文件夹");
  r.data.Set("removed", res.removed);
  r.data.Set("kept", res.kept);
  r.data.Set("spared", res.spared);
  return r;
}

AdminReply ConfigGet(CommandCall& call) {
  JsonValue values = ConfigValues(call.core);
  AdminReply r = Ok();
  if (auto key = call.Text("key")) {
    const JsonValue& v = values[*key];
    if (v.IsNull()) return Usage("未知的设置项：" + *key);
    r.lines.push_back(v.AsString());
    r.data.Set(*key, v);
    return r;
  }
  for (const auto& [k, v] : values.AsObject()) r.lines.push_back(k + "=" + v.AsString());
  r.data = values;
  return r;
}

AdminReply ConfigSet(CommandCall& call) {
  const std::string key = call.Text("key").value_or("");
  const std::string value = call.Text("value").value_or("");
  SettingsForm form = CurrentSettingsForm(call.core);
  if (key == "ServerPort") {
    form.serverPort = value;
  } else if (key == "OfflineInfoDay") {
    form.offlineInfoDay = value;
  } else if (key == "StartMin" || key == "AllowReg" || key == "AutoStart") {
    auto on = ParseSwitch(value);
    if (!on) return Usage(key + " 的值应为 True 或 False");
    (key == "StartMin" ? form.startMin : key == "AllowReg" ? form.allowReg : form.autoStart) = *on;
  } else if (key == "Information") {
    return Usage("公告请用 announce 公告 设置");
  } else {
    return Usage("未知的设置项：" + key);
  }
  return FromSave(SaveSettings(call.ops, call.context.actor, form));
}

AdminReply Autostart(CommandCall& call) {
  std::optional<bool> on = ParseSwitch(call.Text("state").value_or(""));
  if (!on) return Usage("用法：autostart on|off");
  SettingsForm form = CurrentSettingsForm(call.core);
  form.autoStart = *on;
  return FromSave(SaveSettings(call.ops, call.context.actor, form));
}

// The audit rows, oldest first: time, actor kind and name, origin,
// operation, target, detail and result.
AdminReply Audit(CommandCall& call) {
  AuditQuery query{call.Text("since").value_or(""), call.Text("actor").value_or(""), call.Text("op").value_or("")};
  Result<std::vector<AuditRow>> rows = ReadAuditLog(call.ops, query);
  if (!rows.IsOk()) {
    return rows.GetStatus().Code() == StatusCode::kInvalidInput ? Usage(rows.GetStatus().Message())
                                                                : Refused(rows.GetStatus().Message());
  }
  AdminReply r = Ok();
  JsonValue list{JsonValue::Array{}};
  for (const AuditRow& row : rows.Value()) {
    r.lines.push_back(row.time + "\t" + row.actorKind + "\t" + row.actor + "\t" + row.origin + "\t" + row.operation +
                      "\t" + row.target + "\t" + row.detail + "\t" + row.result);
    JsonValue o;
    o.Set("time", row.time);
    o.Set("actorKind", row.actorKind);
    o.Set("actor", row.actor);
    o.Set("origin", row.origin);
    o.Set("operation", row.operation);
    o.Set("target", row.target);
    o.Set("detail", row.detail);
    o.Set("result", row.result);
    list.Push(std::move(o));
  }
  r.data.Set("rows", std::move(list));
  return r;
}

AdminReply Help(CommandCall&) {
  AdminReply r = Ok();
  r.lines.push_back(AdminUsage());
  return r;
}

}  // namespace handlers

std::optional<std::string> AdminUsageError(const std::vector<std::string>& argv) {
  Result<ParsedCommand> parsed = ParseCommandLine(argv);
  if (!parsed.IsOk()) return parsed.GetStatus().Message();
  return std::nullopt;
}

namespace {

const CommandRow* RowOf(const std::vector<std::string>& argv) {
  Result<ParsedCommand> parsed = ParseCommandLine(argv);
  return parsed.IsOk() ? parsed.Value().row : nullptr;
}

}  // namespace

bool WritesWithoutServer(const std::vector<std::string>& argv) {
  const CommandRow* row = RowOf(argv);
  return row && row->writesWithoutServer;
}

bool IsConfigCommand(const std::vector<std::string>& argv) {
  const CommandRow* row = RowOf(argv);
  return row && row->settingsOnly;
}

bool CreatesDatabase(const std::vector<std::string>& argv) {
  const CommandRow* row = RowOf(argv);
  return row && row->createsDatabase;
}

bool RunsWithoutServer(const std::vector<std::string>& argv) {
  const CommandRow* row = RowOf(argv);
  return row && !row->needsServer;
}

std::optional<std::string> CommandUsageOf(const std::vector<std::string>& argv) {
  std::vector<std::string> words;
  for (const std::string& w : argv)
    if (w.rfind("--", 0) != 0) words.push_back(w);
  for (std::size_t n : {3, 2, 1}) {
    if (words.size() < n) continue;
    std::string name = words[0];
    for (std::size_t i = 1; i < n; ++i) name += " " + words[i];
    if (const CommandRow* row = FindCommand(name)) return "用法：corvanctl " + CommandUsage(*row);
  }
  return std::nullopt;
}

AdminReply CommandReply(bool ok, std::string message, int exitCode) {
  AdminReply r;
  r.ok = ok;
  r.message = std::move(message);
  r.caption = r.message.empty() ? "" : "信息";
  r.exitCode = ok ? kExitOk : exitCode;
  return r;
}

namespace {

AdminReply RunHandler(const CommandRow& row, CommandCall& call) {
  try {
    return row.handler(call);
  } catch (const std::exception& e) {
    // A failure no operation turned into a message of its own: the
    // administrator must see it.
    return Refused(e.what());
  }
}

}  // namespace

AdminReply RunParsedCommand(ServerCore& core, const ParsedCommand& command, const AdminContext& ctx) {
  if (!ctx.inServer && command.row->needsServer) return Reply(false, std::string(kServerNotRunning), kExitNotRunning);
  CommandCall call{core, MakeOpsContext(core, ctx.inServer), ctx, command.args};
  if (command.row->besideOthers) return RunHandler(*command.row, call);
  // The tool's socket and the web console may ask at the same time; their
  // commands run one after the other.
  static Mutex oneAtATime;
  MutexLock lock(oneAtATime);
  return RunHandler(*command.row, call);
}

AdminReply RunAdminCommand(ServerCore& core, const std::vector<std::string>& argv, const AdminContext& ctx) {
  bool anyWord = false;
  for (const std::string& w : argv) anyWord = anyWord || w.rfind("--", 0) != 0 || w == "--";
  if (!anyWord) return Help();
  Result<ParsedCommand> parsed = ParseCommandLine(argv);
  if (!parsed.IsOk()) {
    if (parsed.GetStatus().Message() == "没有给出命令") return Help();
    return Usage(parsed.GetStatus().Message());
  }
  return RunParsedCommand(core, parsed.Value(), ctx);
}

AdminReply RunNamedCommand(ServerCore& core, std::string_view name, const JsonValue& args, const AdminContext& ctx,
                           bool web) {
  Result<ParsedCommand> parsed = ParseNamedCommand(name, args, web);
  if (!parsed.IsOk()) return Usage(parsed.GetStatus().Message());
  return RunParsedCommand(core, parsed.Value(), ctx);
}

std::string AdminUsage() { return CommandHelp(); }

AdminReply Help() {
  AdminReply r = Ok();
  r.lines.push_back(AdminUsage());
  return r;
}

}  // namespace corvan

namespace corvan {

AdminReply RunAdminCommandOnFolder(const std::filesystem::path& home, const std::filesystem::path& executable,
                                   const std::vector<std::string>& argv, CoreModules modules,
                                   std::optional<std::string> input) {
  if (auto error = AdminUsageError(argv)) {
    if (*error == "没有给出命令") return Help();
    return Usage(*error);
  }
  if (!RunsWithoutServer(argv)) {
    AdminReply r;
    r.message = std::string(kServerNotRunning);
    r.caption = "信息";
    r.exitCode = kExitNotRunning;
    return r;
  }
  CoreOptions options;
  options.home = home;
  options.executable = executable;
  options.modules = std::move(modules);
  options.ioThreads = 1;
  options.requestThreads = 1;
  options.jobThreads = 1;
  ServerCore core(options);
  if (Result<std::string> bytes = ReadSmallFile(core.ConfigPath(), kMaxConfigBytes); bytes.IsOk())
    core.Settings().Set(ParseConfiguration(bytes.Value()).settings);
  // The tool runs with the caller's rights on the folder: the caller is the
  // actor.
  AdminContext context{false, std::nullopt, Actor::Corvanctl(::getuid())};
  // The settings are a file of their own: changed while no server runs
  // (a port that is taken), with no database needed.
  if (IsConfigCommand(argv)) {
    // A change is recorded in the audit log of the folder's database when
    // there is one (never created here).
    std::error_code ec;
    if (WritesWithoutServer(argv) && fs::is_regular_file(core.DatabasePath(), ec) &&
        !core.Lifecycle().OpenDatabase().IsOk())
      NoteQuietFailure("config set", "database for the audit log");
    return RunAdminCommand(core, argv, context);
  }
  if (!core.Lifecycle().OpenDatabase().IsOk()) {
    // The restore can mend a database that does not open; the others cannot
    // work without one.
    if (!CreatesDatabase(argv)) return Refused(std::string(kDatabaseConnectFailed));
  } else if (!core.Lifecycle().LoadDirectory()) {
    return Refused(std::string(kDatabaseConnectFailed));
  }
  context.input = std::move(input);
  return RunAdminCommand(core, argv, context);
}

}  // namespace corvan
