#include "admin/admin_commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "accounts/directory_admin.h"
#include "admin/maintenance.h"
#include "admin/settings_ops.h"
#include "admin/user_csv.h"
#include "admin/web_commands.h"
#include "base/text.h"
#include "offline/offline.h"
#include "presence/announcements.h"
#include "presence/presence.h"
#include "server/server_core.h"
#include "storage/config.h"
#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

// The command line split into words and options.
struct Args {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  std::set<std::string> flags;
  std::string error;

  bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
  std::optional<std::string> Option(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
  }
};

const std::set<std::string>& FlagNames() {
  static const std::set<std::string> names = {"yes", "force", "dry-run", "remove-missing"};
  return names;
}

// Option aliases for the account fields.
std::string CanonicalOption(const std::string& name) {
  static const std::map<std::string, std::string> aliases = {
      {"nick", "nickname"}, {"org", "organizeNo"}, {"order", "USERID"}, {"password", "pwd"}, {"desc", "self_desc"}};
  auto it = aliases.find(name);
  return it == aliases.end() ? name : it->second;
}

bool ValueOption(const std::string& name) {
  if (name == "name" || name == "since" || name == "USERID" || name == "port" || name == "bind") return true;
  for (const auto& c : UserCsvColumns())
    if (c == name) return true;
  return false;
}

Args Split(const std::vector<std::string>& argv) {
  Args a;
  bool onlyWords = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& w = argv[i];
    if (!onlyWords && w == "--") {
      onlyWords = true;
      continue;
    }
    if (onlyWords || w.size() < 3 || w.compare(0, 2, "--") != 0) {
      a.words.push_back(w);
      continue;
    }
    std::string name = w.substr(2);
    std::optional<std::string> value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (FlagNames().count(name) && !value) {
      a.flags.insert(name);
      continue;
    }
    name = CanonicalOption(name);
    if (!ValueOption(name)) {
      a.error = "未知的选项：--" + name;
      return a;
    }
    if (!value) {
      if (i + 1 >= argv.size()) {
        a.error = "选项 --" + name + " 需要一个值";
        return a;
      }
      value = argv[++i];
    }
    a.options[name] = *value;
  }
  return a;
}

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

JsonValue UserJson(const TUserInfo& u, const OrgTree& tree, bool withPassword) {
  JsonValue o;
  o.Set("username", u.username);
  if (withPassword) o.Set("pwd", u.pwd);
  o.Set("nickname", u.nickname);
  o.Set("organizeNo", u.organizeNo);
  o.Set("organizename", u.organizename);
  o.Set("path", tree.PathOf(u.organizeNo));
  o.Set("USERID", u.USERID);
  static const std::vector<std::pair<const char*, std::string TUserInfo::*>> rest = {
      {"n_family", &TUserInfo::n_family},
      {"n_given", &TUserInfo::n_given},
      {"email", &TUserInfo::email},
      {"org_orgname", &TUserInfo::org_orgname},
      {"org_orgunit", &TUserInfo::org_orgunit},
      {"title", &TUserInfo::title},
      {"work_tel", &TUserInfo::work_tel},
      {"mobilephone", &TUserInfo::mobilephone},
      {"work_adr", &TUserInfo::work_adr},
      {"work_fax", &TUserInfo::work_fax},
      {"adr_country", &TUserInfo::adr_country},
      {"adr_street", &TUserInfo::adr_street},
      {"url", &TUserInfo::url},
      {"bday", &TUserInfo::bday},
      {"tel", &TUserInfo::tel},
      {"sex", &TUserInfo::sex},
      {"self_desc", &TUserInfo::self_desc}};
  for (const auto& [name, field] : rest) o.Set(name, u.*field);
  return o;
}

// The editor's form filled from an account, as "修改用户" fills it.
UserForm FormFromUser(const TUserInfo& u, const OrgTree& tree) {
  UserForm f;
  f.username = u.username;
  f.pwd = u.pwd;
  f.nickname = u.nickname;
  f.n_family = u.n_family;
  f.n_given = u.n_given;
  f.email = u.email;
  f.orgNo = u.organizeNo;
  int node = tree.Find(u.organizeNo);
  f.orgShown = node > OrgTree::kRoot ? tree.Path(node) : "";
  f.org_orgname = u.org_orgname;
  f.org_orgunit = u.org_orgunit;
  f.title = u.title;
  f.work_tel = u.work_tel;
  f.mobilephone = u.mobilephone;
  f.work_adr = u.work_adr;
  f.work_fax = u.work_fax;
  f.userId = std::to_string(u.USERID);
  f.adr_country = u.adr_country;
  f.adr_street = u.adr_street;
  f.url = u.url;
  f.bday = u.bday;
  f.tel = u.tel;
  f.sex = u.sex;
  f.self_desc = u.self_desc;
  return f;
}

// Applies the field options to a form; the department choice follows the
// tree as the editor's list does.
void ApplyOptions(UserForm& f, const Args& a, const OrgTree& tree) {
  static const std::map<std::string, std::string UserForm::*> fields = {{"pwd", &UserForm::pwd},
                                                                        {"nickname", &UserForm::nickname},
                                                                        {"n_family", &UserForm::n_family},
                                                                        {"n_given", &UserForm::n_given},
                                                                        {"email", &UserForm::email},
                                                                        {"organizeNo", &UserForm::orgNo},
                                                                        {"org_orgname", &UserForm::org_orgname},
                                                                        {"org_orgunit", &UserForm::org_orgunit},
                                                                        {"title", &UserForm::title},
                                                                        {"work_tel", &UserForm::work_tel},
                                                                        {"mobilephone", &UserForm::mobilephone},
                                                                        {"work_adr", &UserForm::work_adr},
                                                                        {"work_fax", &UserForm::work_fax},
                                                                        {"USERID", &UserForm::userId},
                                                                        {"adr_country", &UserForm::adr_country},
                                                                        {"adr_street", &UserForm::adr_street},
                                                                        {"url", &UserForm::url},
                                                                        {"bday", &UserForm::bday},
                                                                        {"tel", &UserForm::tel},
                                                                        {"sex", &UserForm::sex},
                                                                        {"self_desc", &UserForm::self_desc}};
  for (const auto& [name, value] : a.options) {
    auto it = fields.find(name);
    if (it != fields.end()) f.*(it->second) = value;
  }
  if (auto name = a.Option("name")) f.username = *name;
  int node = tree.Find(std::string(Trim(f.orgNo)));
  // A code the list does not offer leaves the choice empty: "*号项必须填写".
  f.orgShown = node > OrgTree::kRoot ? tree.Path(node) : "";
}

// A department code that names no department: the editor's list could not
// offer it, but on a command line it is a mistyped code, not a missing field.
std::optional<std::string> UnknownOrg(const UserForm& f, const OrgTree& tree) {
  std::string code(Trim(f.orgNo));
  if (code.empty() || tree.Find(code) >= 0) return std::nullopt;
  return "部门不存在：" + code;
}

// A field too long for the editor's box.
std::optional<std::string> TooLong(const UserForm& f) {
  static const std::vector<std::pair<const char*, std::string UserForm::*>> fields = {
      {"username", &UserForm::username},
      {"pwd", &UserForm::pwd},
      {"nickname", &UserForm::nickname},
      {"n_family", &UserForm::n_family},
      {"n_given", &UserForm::n_given},
      {"email", &UserForm::email},
      {"org_orgname", &UserForm::org_orgname},
      {"org_orgunit", &UserForm::org_orgunit},
      {"title", &UserForm::title},
      {"work_tel", &UserForm::work_tel},
      {"mobilephone", &UserForm::mobilephone},
      {"work_adr", &UserForm::work_adr},
      {"work_fax", &UserForm::work_fax},
      {"USERID", &UserForm::userId},
      {"adr_country", &UserForm::adr_country},
      {"adr_street", &UserForm::adr_street},
      {"url", &UserForm::url},
      {"bday", &UserForm::bday},
      {"tel", &UserForm::tel},
      {"sex", &UserForm::sex},
      {"self_desc", &UserForm::self_desc}};
  for (const auto& [name, field] : fields) {
    std::size_t chars = 0;
    for (unsigned char c : f.*field)
      if ((c & 0xC0) != 0x80) ++chars;
    if (auto max = UserFieldMaxLength(name); max && chars > *max) return std::string("字段过长：") + name;
  }
  return std::nullopt;
}

// The whole file, up to `limit` bytes; a failure names the path and the
// system's reason.
Result<std::string> ReadSmallFile(const fs::path& path, std::size_t limit) {
  auto failed = [&](const std::string& why) { return Status(StatusCode::kIoFailed, path.string() + ": " + why); };
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec) return failed(ec.message());
  if (size > limit) return failed("文件超过 " + std::to_string(limit) + " 字节");
  std::ifstream in(path, std::ios::binary);
  if (!in) return failed(std::generic_category().message(errno));
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// --- Commands -------------------------------------------------------------

AdminReply StatusCmd(ServerCore& core, const AdminContext& ctx) {
  ServerSettings s = core.Settings().Current();
  auto dir = core.Dir().Get();
  bool running = ctx.inServer && core.TcpServerExists();
  std::size_t online = 0;
  if (ctx.inServer) {
    MutexLock lock(core.Online().OnlineLock);
    online = core.Online().OnlineUsers.Size();
  }
  AdminReply r = Ok();
  r.data.Set("process", ctx.inServer);
  r.data.Set("running", running);
  r.data.Set("listeningPort", static_cast<std::int64_t>(ctx.inServer ? core.ListeningPort() : 0));
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
  r.lines.push_back("端口：" + std::to_string(s.ServerPort) + (running && core.ListeningPort() ? "（监听中）" : ""));
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
AdminReply Online(ServerCore& core) {
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
AdminReply Log(ServerCore& core, const Args& a) {
  std::uint64_t since = 0;
  if (auto s = a.Option("since")) {
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

AdminReply Start(ServerCore& core) {
  bool wasRunning = core.TcpServerExists();
  auto lines = LinesDuring(core, [&] { core.StartServer(); });
  bool listening = core.ListeningPort() != 0;
  AdminReply r = (!wasRunning && listening) ? Ok() : Refused(lines.empty() ? "" : lines.back());
  r.lines = lines;
  if (!r.ok) r.lines.clear();
  return r;
}

AdminReply Stop(ServerCore& core) {
  auto lines = LinesDuring(core, [&] { core.StopServer(); });
  AdminReply r = Ok();
  r.lines = lines;
  return r;
}

AdminReply UserList(ServerCore& core, const Args& a) {
  auto dir = core.Dir().Get();
  OrgTree tree(*dir);
  std::vector<AdminUserPtr> users = a.words.size() > 2 ? UsersUnder(*dir, a.words[2]) : dir->Users();
  AdminReply r = Ok();
  JsonValue list{JsonValue::Array{}};
  for (const auto& u : users) {
    r.lines.push_back(u->username + "\t" + u->nickname + "\t" + u->organizeNo + "\t" + tree.PathOf(u->organizeNo));
    list.Push(UserJson(*u, tree, false));
  }
  r.data.Set("users", std::move(list));
  return r;
}

AdminReply UserShow(ServerCore& core, const Args& a) {
  if (a.words.size() != 3) return Usage("用法：user show 用户名");
  auto dir = core.Dir().Get();
  const TUserInfo* u = dir->FindUser(AsciiUpper(Trim(a.words[2])));
  if (!u) return Refused("用户不存在：" + a.words[2]);
  OrgTree tree(*dir);
  AdminReply r = Ok();
  r.data = UserJson(*u, tree, false);
  for (const auto& [k, v] : r.data.AsObject())
    r.lines.push_back(k + ": " + (v.IsInt() ? std::to_string(v.AsInt()) : v.AsString()));
  const bool locked = core.Modules().AccountLocked && core.Modules().AccountLocked(core, u->username);
  r.data.Set("locked", locked);
  r.lines.push_back(std::string("状态: ") + (locked ? std::string(kLockedAccountState) : "正常"));
  return r;
}

AdminReply UserAdd(ServerCore& core, const Args& a, const AdminContext& ctx) {
  if (a.words.size() != 3) return Usage("用法：user add 用户名 --pwd 密码 --nick 昵称 --org 部门编号 [--字段 值]...");
  auto dir = core.Dir().Get();
  if (dir->Orgs().empty()) return Refused(std::string(kNeedOrgFirstMessage));
  OrgTree tree(*dir);
  UserForm form;
  form.userId = "100";
  form.username = a.words[2];
  ApplyOptions(form, a, tree);
  if (a.options.count("name")) return Usage("--name 只用于 user set");
  if (auto unknown = UnknownOrg(form, tree)) return Refused(*unknown);
  Status check = CheckUserForm(dir->Users(), form);
  if (!check.IsOk()) return FromAdmin(check);
  if (auto tooLong = TooLong(form)) return Refused(*tooLong);
  TUserInfo saved;
  Status res = SaveNewUser(core.Dir(), core.Db(), form, &saved);
  if (!res.IsOk()) return FromAdmin(res);
  if (ctx.inServer) StartNewUserRegNotice(core, saved.username, saved.nickname, saved.organizeNo);
  AdminReply r = Ok();
  r.lines.push_back(saved.username);
  r.data.Set("username", saved.username);
  return r;
}

AdminReply UserSet(ServerCore& core, const Args& a, const AdminContext& ctx) {
  if (a.words.size() != 3) return Usage("用法：user set 用户名 [--name 新用户名] [--字段 值]...");
  std::string orig = AsciiUpper(Trim(a.words[2]));
  auto dir = core.Dir().Get();
  const TUserInfo* u = dir->FindUser(orig);
  if (!u) return Refused("用户不存在：" + a.words[2]);
  OrgTree tree(*dir);
  UserForm form = FormFromUser(*u, tree);
  ApplyOptions(form, a, tree);
  if (a.options.count("organizeNo"))
    if (auto unknown = UnknownOrg(form, tree)) return Refused(*unknown);
  if (auto tooLong = TooLong(form)) return Refused(*tooLong);
  TUserInfo saved;
  Status res = SaveUser(core.Dir(), core.Db(), form, orig, &saved);
  if (!res.IsOk()) return FromAdmin(res);
  if (ctx.inServer) StartUpdateOnlineInfo(core, orig, saved.username, saved.nickname);
  AdminReply r = Ok();
  r.lines.push_back(saved.username);
  r.data.Set("username", saved.username);
  return r;
}

AdminReply UserDel(ServerCore& core, const Args& a) {
  if (a.words.size() != 3) return Usage("用法：user del 用户名");
  std::string name = AsciiUpper(Trim(a.words[2]));
  if (!core.Dir().Get()->UserExists(name)) return Refused("用户不存在：" + a.words[2]);
  if (!a.Has("yes")) return Ask(std::string(kDeleteUserQuestion));
  return FromAdmin(DeleteUser(core.Dir(), core.Db(), name));
}

AdminReply UserImport(ServerCore& core, const Args& a, const AdminContext& ctx) {
  if (a.words.size() != 3) return Usage("用法：user import 文件");
  Result<std::string> text = ReadSmallFile(a.words[2], kMaxCsvBytes);
  if (!text.IsOk()) return Refused("无法读取文件：" + text.GetStatus().Message());
  auto dir = core.Dir().Get();
  CsvImportPlan plan = PlanUserImport(text.Value(), *dir);
  if (!plan.errors.empty()) {
    AdminReply r = Refused("导入失败，没有写入任何用户");
    JsonValue errors{JsonValue::Array{}};
    for (const auto& e : plan.errors) {
      r.lines.push_back(e.line ? "第" + std::to_string(e.line) + "行：" + e.message : e.message);
      JsonValue o;
      o.Set("line", static_cast<std::int64_t>(e.line));
      o.Set("message", e.message);
      errors.Push(std::move(o));
    }
    r.data.Set("errors", std::move(errors));
    return r;
  }
  std::size_t done = 0;
  for (std::size_t i = 0; i < plan.forms.size(); ++i) {
    TUserInfo saved;
    Status res = SaveNewUser(core.Dir(), core.Db(), plan.forms[i], &saved);
    if (!res.IsOk()) {
      AdminReply r = Refused("第" + std::to_string(plan.lines[i]) + "行：" + res.Message());
      r.lines.push_back("已导入 " + std::to_string(done) + " 个用户");
      r.data.Set("imported", static_cast<std::int64_t>(done));
      return r;
    }
    ++done;
    if (ctx.inServer) StartNewUserRegNotice(core, saved.username, saved.nickname, saved.organizeNo);
  }
  AdminReply r = Ok("已导入 " + std::to_string(done) + " 个用户");
  r.data.Set("imported", static_cast<std::int64_t>(done));
  return r;
}

AdminReply UserExport(ServerCore& core, const Args& a) {
  if (a.words.size() != 3) return Usage("用法：user export 文件");
  fs::path target = a.words[2];
  std::error_code ec;
  if (fs::exists(target, ec) && !a.Has("yes")) return Ask(std::string(kBackupExists));
  auto users = core.Dir().Get()->Users();
  std::string csv = UsersToCsv(users);
  // Passwords in plain text: a private file (0600), written through a fresh
  // temporary file so that nothing planted beside the target is followed.
  if (Status written = WritePrivateFile(target, csv); !written.IsOk())
    return Refused("无法写入文件：" + written.Message());
  AdminReply r = Ok("已导出 " + std::to_string(users.size()) + " 个用户");
  r.data.Set("exported", static_cast<std::int64_t>(users.size()));
  return r;
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

AdminReply OrgTreeCmd(ServerCore& core) {
  OrgTree tree(*core.Dir().Get());
  AdminReply r = Ok();
  JsonValue root;
  TreeLines(tree, OrgTree::kRoot, 0, r, root);
  r.data.Set("tree", std::move(root));
  return r;
}

AdminReply OrgAdd(ServerCore& core, const Args& a) {
  if (a.words.size() != 4) return Usage("用法：org add 上级部门编号 名称 [--order 序号]");
  const std::string& parent = a.words[2];
  std::string order = a.Option("USERID").value_or("100");
  OrgTree tree(*core.Dir().Get());
  if (tree.Find(parent) < 0) return Refused("部门不存在：" + parent);
  Result<std::int64_t> check = CheckOrgForm(a.words[3], order);
  if (!check.IsOk()) return FromAdmin(check.GetStatus());
  if (!a.Has("yes"))
    if (auto q = NewOrgSameNameQuestion(tree, parent, Trim(a.words[3]))) return Ask(*q);
  Result<std::string> res = NewOrg(core.Dir(), core.Db(), parent, a.words[3], order);
  if (!res.IsOk()) {
    return res.GetStatus().Message().empty() ? Refused("没有可用的部门编号") : FromAdmin(res.GetStatus());
  }
  const std::string& code = res.Value();
  AdminReply r = Ok();
  r.lines.push_back(code);
  r.data.Set("organizeNo", code);
  return r;
}

AdminReply OrgRename(ServerCore& core, const Args& a) {
  if (a.words.size() != 4) return Usage("用法：org rename 部门编号 名称 [--order 序号]");
  const std::string& code = a.words[2];
  OrgTree tree(*core.Dir().Get());
  int node = tree.Find(code);
  if (node < 0) return Refused("部门不存在：" + code);
  std::string order = a.Option("USERID").value_or(std::to_string(tree.At(node).record->orgID));
  Result<std::int64_t> check = CheckOrgForm(a.words[3], order);
  if (!check.IsOk()) return FromAdmin(check.GetStatus());
  if (!a.Has("yes"))
    if (auto q = RenameOrgSameNameQuestion(tree, code, Trim(a.words[3]))) return Ask(*q);
  return FromAdmin(RenameOrg(core.Dir(), core.Db(), code, a.words[3], order));
}

AdminReply OrgDel(ServerCore& core, const Args& a) {
  if (a.words.size() != 3) return Usage("用法：org del 部门编号");
  const std::string& code = a.words[2];
  if (code == kRootOrgNo) return Refused("不能删除根组织");
  if (OrgTree(*core.Dir().Get()).Find(code) < 0) return Refused("部门不存在：" + code);
  if (!a.Has("yes")) return Ask(std::string(kDeleteOrgQuestion));
  return FromAdmin(DeleteOrg(core.Dir(), core.Db(), code));
}

AdminReply Move(ServerCore& core, const Args& a) {
  if (a.words.size() < 3) return Usage("用法：move 用户名... 部门编号");
  std::string code = a.words.back();
  auto dir = core.Dir().Get();
  OrgTree tree(*dir);
  int node = tree.Find(code);
  if (node < 0) return Refused("部门不存在：" + code);
  std::vector<std::string> names;
  for (std::size_t i = 1; i + 1 < a.words.size(); ++i) {
    std::string name = AsciiUpper(Trim(a.words[i]));
    if (!dir->UserExists(name)) return Refused("用户不存在：" + a.words[i]);
    names.push_back(name);
  }
  if (!a.Has("yes")) return Ask(MoveUsersQuestion(names.size(), tree.At(node).record->organizename));
  return FromAdmin(MoveUsers(core.Dir(), core.Db(), names, code));
}

AdminReply Announce(ServerCore& core, const Args& a) {
  std::optional<std::string> text;
  if (a.words.size() > 2) return Usage("用法：announce [公告]（含空格的公告请加引号）");
  if (a.words.size() == 2) text = a.words[1];
  PublishResult res = PublishAnnouncement(core, text);
  AdminReply r = res.ok ? Ok(res.message) : Refused(res.message);
  r.data.Set("changed", res.changed);
  r.data.Set("Information", core.Settings().Information());
  return r;
}

AdminReply FromMaintenance(const MaintenanceResult& m) {
  if (m.needsConfirmation) return Ask(m.status.Message());
  return m.status.IsOk() ? Ok(m.status.Message()) : Refused(m.Shown());
}

AdminReply Backup(ServerCore& core, const Args& a) {
  if (a.words.size() != 2) return Usage("用法：backup 文件");
  MaintenanceResult m = BackupDatabase(core, a.words[1], a.Has("yes") || a.Has("force"));
  AdminReply r = FromMaintenance(m);
  r.data.Set("file", BackupTargetName(a.words[1]).string());
  return r;
}

AdminReply Restore(ServerCore& core, const Args& a) {
  if (a.words.size() != 2) return Usage("用法：restore 文件");
  MaintenanceResult m = RestoreDatabase(core, a.words[1], a.Has("yes"));
  // The console ends silently on a file that is not there; here the restore
  // fails and says why.
  if (!m.status.IsOk() && !m.needsConfirmation && m.status.Message().empty())
    return Refused(std::string(kRestoreFailed) + "：" + m.reason);
  return FromMaintenance(m);
}

// Departments and accounts from the organisation's directory.
AdminReply DirectorySyncCmd(ServerCore& core, const Args& a) {
  if (!core.Modules().DirectorySync) return Refused("此程序不支持目录同步");
  DirectorySyncRequest request;
  request.dryRun = a.Has("dry-run");
  request.removeMissing = a.Has("remove-missing");
  request.force = a.Has("force");
  DirectorySyncOutcome out = core.Modules().DirectorySync(core, request, {});
  AdminReply r = Reply(out.ok, std::move(out.message), out.ok ? kExitOk : kExitRefused);
  r.lines = std::move(out.lines);
  return r;
}

AdminReply CleanOffline(ServerCore& core) {
  CleanOfflineFilesResult res = CleanOfflineFiles(core);
  AdminReply r = res.completed ? Ok() : Refused("离线文件清理未完成");
  r.lines.push_back("删除 " + std::to_string(res.removed) + " 个，保留 " + std::to_string(res.kept) + " 个，跳过 " +
                    std::to_string(res.spared) + " 个正在使用的文件夹");
  r.data.Set("removed", res.removed);
  r.data.Set("kept", res.kept);
  r.data.Set("spared", res.spared);
  return r;
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

AdminReply FromSave(const SettingsSaveResult& s) {
  std::string message;
  for (const auto& m : s.Messages()) message += (message.empty() ? "" : "\n") + m;
  return s.status.IsOk() ? Ok(message) : Refused(message);
}

AdminReply ConfigGet(ServerCore& core, const Args& a) {
  JsonValue values = ConfigValues(core);
  AdminReply r = Ok();
  if (a.words.size() == 3) {
    const JsonValue& v = values[a.words[2]];
    if (v.IsNull()) return Usage("未知的设置项：" + a.words[2]);
    r.lines.push_back(v.AsString());
    r.data.Set(a.words[2], v);
    return r;
  }
  if (a.words.size() != 2) return Usage("用法：config get [设置项]");
  for (const auto& [k, v] : values.AsObject()) r.lines.push_back(k + "=" + v.AsString());
  r.data = values;
  return r;
}

AdminReply ConfigSet(ServerCore& core, const Args& a) {
  if (a.words.size() != 4) return Usage("用法：config set 设置项 值");
  const std::string& key = a.words[2];
  const std::string& value = a.words[3];
  SettingsForm form = CurrentSettingsForm(core);
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
  return FromSave(SaveAll(core, form));
}

AdminReply Autostart(ServerCore& core, const Args& a) {
  std::optional<bool> on = a.words.size() == 2 ? ParseSwitch(a.words[1]) : std::nullopt;
  if (!on) return Usage("用法：autostart on|off");
  SettingsForm form = CurrentSettingsForm(core);
  form.autoStart = *on;
  return FromSave(SaveAll(core, form));
}

AdminReply HelpReply() {
  AdminReply r = Ok();
  r.lines.push_back(AdminUsage());
  return r;
}

std::string CommandName(const std::vector<std::string>& words) {
  if (words.empty()) return "";
  if ((words[0] == "user" || words[0] == "org" || words[0] == "config") && words.size() > 1)
    return words[0] + " " + words[1];
  return words[0];
}

}  // namespace

namespace {

// Every command with the number of words it takes (its own words included);
// kAnyWords for a list without end.
constexpr std::size_t kAnyWords = static_cast<std::size_t>(-1);
struct CommandShape {
  std::size_t minWords;
  std::size_t maxWords;
};
const std::map<std::string, CommandShape>& CommandShapes() {
  static const std::map<std::string, CommandShape> shapes = {
      {"status", {1, 1}},         {"online", {1, 1}},     {"log", {1, 1}},         {"start", {1, 1}},
      {"stop", {1, 1}},           {"user list", {2, 3}},  {"user show", {3, 3}},   {"user add", {3, 3}},
      {"user set", {3, 3}},       {"user del", {3, 3}},   {"user import", {3, 3}}, {"user export", {3, 3}},
      {"org tree", {2, 2}},       {"org add", {4, 4}},    {"org rename", {4, 4}},  {"org del", {3, 3}},
      {"move", {3, kAnyWords}},   {"announce", {1, 2}},   {"backup", {2, 2}},      {"restore", {2, 2}},
      {"clean-offline", {1, 1}},  {"config get", {2, 3}}, {"config set", {4, 4}},  {"autostart", {2, 2}},
      {"directory-sync", {1, 1}}, {"help", {1, 1}}};
  return shapes;
}

}  // namespace

std::optional<std::string> AdminUsageError(const std::vector<std::string>& argv) {
  Args a = Split(argv);
  if (!a.error.empty()) return a.error;
  if (a.words.empty()) return "没有给出命令";
  if (IsWebCommand(a.words)) return WebUsageError(a.words, a.options);
  const std::string name = CommandName(a.words);
  auto it = CommandShapes().find(name);
  if (it == CommandShapes().end()) return "未知的命令：" + name;
  const CommandShape& shape = it->second;
  if (a.words.size() < shape.minWords) return name + "：缺少参数";
  if (a.words.size() > shape.maxWords) return name + "：参数过多";
  return std::nullopt;
}

bool WritesWithoutServer(const std::vector<std::string>& argv) {
  const Args a = Split(argv);
  const std::string name = CommandName(a.words);
  return name == "user import" || name == "restore" || name == "directory-sync" || name == "config set" ||
         WebCommandWrites(a.words);
}

bool IsConfigCommand(const std::vector<std::string>& argv) {
  const std::string name = CommandName(Split(argv).words);
  return name == "config get" || name == "config set";
}

bool CreatesDatabase(const std::vector<std::string>& argv) { return CommandName(Split(argv).words) == "restore"; }

bool RunsWithoutServer(const std::vector<std::string>& argv) {
  static const std::set<std::string> offline = {
      "status", "user list", "user show",   "user export", "org tree",       "config get", "config set",
      "backup", "restore",   "user import", "help",        "directory-sync", "web"};
  return offline.count(CommandName(Split(argv).words)) != 0;
}

AdminReply CommandReply(bool ok, std::string message, int exitCode) {
  AdminReply r;
  r.ok = ok;
  r.message = std::move(message);
  r.caption = r.message.empty() ? "" : "信息";
  r.exitCode = ok ? kExitOk : exitCode;
  return r;
}

AdminReply RunAdminCommand(ServerCore& core, const std::vector<std::string>& argv, const AdminContext& ctx) {
  Args a = Split(argv);
  const std::string name = CommandName(a.words);
  if (name.empty() || name == "help") return HelpReply();
  if (auto error = AdminUsageError(argv)) return Usage(*error);
  if (!ctx.inServer && !RunsWithoutServer(argv)) return Reply(false, std::string(kServerNotRunning), kExitNotRunning);
  // The web console's own commands touch only its settings file and its
  // administrators; enabling or disabling waits for the console's threads,
  // which may be waiting below.
  if (IsWebCommand(a.words)) return RunWebCommand(core, a.words, a.options, ctx);
  // The tool's socket and the web console may ask at the same time; their
  // commands run one after the other.
  static Mutex oneAtATime;
  MutexLock lock(oneAtATime);
  try {
    if (name == "status") return StatusCmd(core, ctx);
    if (name == "online") return Online(core);
    if (name == "log") return Log(core, a);
    if (name == "start") return Start(core);
    if (name == "stop") return Stop(core);
    if (name == "user list") return UserList(core, a);
    if (name == "user show") return UserShow(core, a);
    if (name == "user add") return UserAdd(core, a, ctx);
    if (name == "user set") return UserSet(core, a, ctx);
    if (name == "user del") return UserDel(core, a);
    if (name == "user import") return UserImport(core, a, ctx);
    if (name == "user export") return UserExport(core, a);
    if (name == "org tree") return OrgTreeCmd(core);
    if (name == "org add") return OrgAdd(core, a);
    if (name == "org rename") return OrgRename(core, a);
    if (name == "org del") return OrgDel(core, a);
    if (name == "move") return Move(core, a);
    if (name == "announce") return Announce(core, a);
    if (name == "backup") return Backup(core, a);
    if (name == "restore") return Restore(core, a);
    if (name == "clean-offline") return CleanOffline(core);
    if (name == "config get") return ConfigGet(core, a);
    if (name == "config set") return ConfigSet(core, a);
    if (name == "autostart") return Autostart(core, a);
    if (name == "directory-sync") return DirectorySyncCmd(core, a);
  } catch (const std::exception& e) {
    // A failure no operation turned into a message of its own: the
    // administrator must see it.
    return Refused(e.what());
  }
  return Usage("未知的命令：" + name);
}

std::string AdminUsage() {
  return "命令：\n"
         "  status | online | log [-f] | start | stop\n"
         "  user list [部门编号] | user show 用户名 | user del 用户名\n"
         "  user add 用户名 --pwd 密码 --nick 昵称 --org 部门编号 [--字段 值]...\n"
         "  user set 用户名 [--name 新用户名] [--字段 值]...\n"
         "  user import 文件 | user export 文件\n"
         "  org tree | org add 上级部门编号 名称 [--order 序号] | org rename 部门编号 名称 [--order 序号]\n"
         "  org del 部门编号\n"
         "  move 用户名... 部门编号 | announce [公告] | backup 文件 | restore 文件 | clean-offline\n"
         "  config get [设置项] | config set 设置项 值 | autostart on|off\n"
         "  directory-sync [--dry-run] [--remove-missing [--force]]\n"
         "  web enable [--port 9480] [--bind 地址] | web disable | web status\n"
         "  web admin add|passwd|del 名称（密码从终端或标准输入读取） | web admin list\n"
         "  字段：pwd nickname organizeNo USERID(显示顺序) n_family n_given email org_orgname org_orgunit title\n"
         "        work_tel mobilephone work_adr work_fax adr_country adr_street url bday tel sex self_desc\n"
         "  设置项：ServerPort StartMin AllowReg OfflineInfoDay AutoStart Information(只读)\n"
         "  --yes 对命令要提出的问题回答“是”";
}

}  // namespace corvan

namespace corvan {

AdminReply RunAdminCommandOnFolder(const std::filesystem::path& home, const std::filesystem::path& executable,
                                   const std::vector<std::string>& argv, CoreModules modules,
                                   std::optional<std::string> input) {
  if (Split(argv).words.empty()) return HelpReply();
  if (auto error = AdminUsageError(argv)) return Usage(*error);
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
  // The settings are a file of their own: changed while no server runs
  // (a port that is taken), with no database needed.
  if (IsConfigCommand(argv)) return RunAdminCommand(core, argv, AdminContext{false});
  if (!core.OpenDatabase().IsOk()) {
    // The restore can mend a database that does not open; the others cannot
    // work without one.
    if (CommandName(Split(argv).words) != "restore") return Refused(std::string(kDatabaseConnectFailed));
  } else if (!core.LoadDirectory()) {
    return Refused(std::string(kDatabaseConnectFailed));
  }
  return RunAdminCommand(core, argv, AdminContext{false, std::move(input)});
}

}  // namespace corvan
