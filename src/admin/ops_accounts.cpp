// The account and department operations.
#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "admin/operations.h"
#include "admin/user_csv.h"
#include "base/text.h"
#include "presence/presence.h"
#include "server/status_log.h"
#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

Status Refused(std::string message) { return Status(StatusCode::kInvalidInput, std::move(message)); }

// The names of the fields that differ (never their values: one is the
// password).
std::string ChangedFields(const TUserInfo& before, const TUserInfo& after) {
  std::string names;
  for (const AccountField& f : kAccountFields)
    if (before.*f.member != after.*f.member) names += (names.empty() ? "" : ",") + std::string(f.name);
  if (before.USERID != after.USERID) names += (names.empty() ? "" : ",") + std::string("USERID");
  return names.empty() ? "" : "changed: " + names;
}

std::string UnknownOrg(const UserForm& f, const OrgTree& tree) {
  std::string code(Trim(f.organizeNo));
  if (code.empty() || tree.Find(code) >= 0) return {};
  return std::string(kUnknownOrgPrefix) + code;
}

// A field too long for the editor's box.
std::string TooLong(const UserForm& f) {
  std::string name = FirstTooLongField(f);
  return name.empty() ? name : "字段过长：" + name;
}

}  // namespace

void Audit(OpsContext& ctx, const Actor& who, std::string_view operation, std::string target, std::string detail,
           const Status& result) {
  AuditRow row;
  row.actorKind = std::string(ActorKindName(who.kind));
  row.actor = who.name;
  row.origin = who.origin;
  row.operation = std::string(operation);
  row.target = std::move(target);
  row.detail = std::move(detail);
  row.result = AuditResult(result.IsOk(), result.Message());
  if (Status written = AppendAudit(ctx.db, std::move(row)); !written.IsOk())
    ctx.log.AppendEvent("审计日志写入失败：" + written.Message());
}

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

Result<TUserInfo> AddAccount(OpsContext& ctx, const Actor& who, const UserForm& form) {
  auto dir = ctx.dir.Get();
  if (dir->Orgs().empty()) return Refused(std::string(kNeedOrgFirstMessage));
  OrgTree tree(*dir);
  if (std::string unknown = UnknownOrg(form, tree); !unknown.empty()) return Refused(unknown);
  if (Status check = CheckUserForm(dir->Users(), form); !check.IsOk()) return check;
  if (std::string tooLong = TooLong(form); !tooLong.empty()) return Refused(tooLong);
  TUserInfo saved;
  Status res = SaveNewUser(ctx.dir, ctx.db, form, &saved);
  const std::string name = res.IsOk() ? saved.username : AsciiUpper(Trim(form.username));
  Audit(ctx, who, "user add", name, "organizeNo=" + std::string(Trim(form.organizeNo)), res);
  if (!res.IsOk()) return res;
  if (ctx.inServer) StartNewUserRegNotice(ctx.notices, saved.username, saved.nickname, saved.organizeNo);
  return saved;
}

Result<UserForm> AccountForm(OpsContext& ctx, const std::string& name) {
  auto dir = ctx.dir.Get();
  const TUserInfo* u = dir->FindUser(AsciiUpper(Trim(name)));
  if (!u) return Refused(std::string(kUnknownUserPrefix) + name);
  OrgTree tree(*dir);
  UserForm f;
  static_cast<AccountTexts&>(f) = *u;
  f.userId = std::to_string(u->USERID);
  int node = tree.Find(u->organizeNo);
  f.orgShown = node > OrgTree::kRoot ? tree.Path(node) : "";
  return f;
}

Result<TUserInfo> ChangeAccount(OpsContext& ctx, const Actor& who, const std::string& origName, const UserForm& form) {
  const std::string orig = AsciiUpper(Trim(origName));
  auto dir = ctx.dir.Get();
  const TUserInfo* before = dir->FindUser(orig);
  OrgTree tree(*dir);
  if (!before || before->organizeNo != std::string(Trim(form.organizeNo)))
    if (std::string unknown = UnknownOrg(form, tree); !unknown.empty()) return Refused(unknown);
  if (std::string tooLong = TooLong(form); !tooLong.empty()) return Refused(tooLong);
  TUserInfo saved;
  Status res = SaveUser(ctx.dir, ctx.db, form, orig, &saved);
  Audit(ctx, who, "user set", orig, res.IsOk() && before ? ChangedFields(*before, saved) : std::string(), res);
  if (!res.IsOk()) return res;
  if (ctx.inServer) StartUpdateOnlineInfo(ctx.notices, orig, saved.username, saved.nickname);
  return saved;
}

Status DeleteAccount(OpsContext& ctx, const Actor& who, const std::string& username) {
  const std::string name = AsciiUpper(Trim(username));
  if (!ctx.dir.Get()->UserExists(name)) return Refused(std::string(kUnknownUserPrefix) + username);
  Status res = DeleteUser(ctx.dir, ctx.db, name);
  Audit(ctx, who, "user del", name, "", res);
  return res;
}

Status MoveAccounts(OpsContext& ctx, const Actor& who, const std::vector<std::string>& usernames,
                    const std::string& code) {
  auto dir = ctx.dir.Get();
  if (OrgTree(*dir).Find(code) < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  std::vector<std::string> names;
  std::string listed;
  for (const std::string& given : usernames) {
    std::string name = AsciiUpper(Trim(given));
    if (!dir->UserExists(name)) return Refused(std::string(kUnknownUserPrefix) + given);
    listed += (listed.empty() ? "" : ",") + name;
    names.push_back(std::move(name));
  }
  Status res = MoveUsers(ctx.dir, ctx.db, names, code);
  Audit(ctx, who, "move", code, "accounts: " + listed, res);
  return res;
}

Result<ImportReport> ImportAccounts(OpsContext& ctx, const Actor& who, const fs::path& source,
                                    ImportReport* refusedReport) {
  ImportReport report;
  auto refuse = [&](Status why) -> Result<ImportReport> {
    Audit(ctx, who, "user import", source.string(), "", why);
    if (refusedReport) *refusedReport = report;
    return why;
  };
  Result<std::string> text = ReadSmallFile(source, kMaxCsvBytes);
  if (!text.IsOk()) return refuse(Refused("无法读取文件：" + text.GetStatus().Message()));
  CsvImportPlan plan = PlanUserImport(text.Value(), *ctx.dir.Get());
  if (!plan.errors.empty()) {
    for (const auto& e : plan.errors) report.errors.push_back({e.line, e.message});
    return refuse(Refused("导入失败，没有写入任何用户"));
  }
  // One directory update and one transaction for the whole file: the
  // directory is published once, however many rows there are.
  std::size_t failed = plan.forms.size();
  std::vector<TUserInfo> saved;
  Status res = SaveNewUsers(ctx.dir, ctx.db, plan.forms, &failed, &saved);
  if (!res.IsOk()) {
    if (failed < plan.lines.size())
      return refuse(Refused("第" + std::to_string(plan.lines[failed]) + "行：" + res.Message()));
    return refuse(res);
  }
  report.imported = saved.size();
  report.message = "已导入 " + std::to_string(saved.size()) + " 个用户";
  Audit(ctx, who, "user import", source.string(), std::to_string(saved.size()) + " accounts", Status::Ok());
  if (ctx.inServer)
    for (const TUserInfo& u : saved) StartNewUserRegNotice(ctx.notices, u.username, u.nickname, u.organizeNo);
  return report;
}

Result<std::size_t> ExportAccounts(OpsContext& ctx, const Actor& who, const fs::path& target) {
  auto users = ctx.dir.Get()->Users();
  // Passwords in plain text: a private file (0600), written through a fresh
  // temporary file so that nothing planted beside the target is followed.
  Status written = WritePrivateFile(target, UsersToCsv(users));
  if (!written.IsOk()) written = Refused("无法写入文件：" + written.Message());
  Audit(ctx, who, "user export", target.string(), std::to_string(users.size()) + " accounts", written);
  if (!written.IsOk()) return written;
  return users.size();
}

Result<std::string> AddDepartment(OpsContext& ctx, const Actor& who, const std::string& parent, const std::string& name,
                                  const std::string& orderText) {
  if (OrgTree(*ctx.dir.Get()).Find(parent) < 0) return Refused(std::string(kUnknownOrgPrefix) + parent);
  if (Result<std::int64_t> check = CheckOrgForm(name, orderText); !check.IsOk()) return check.GetStatus();
  Result<std::string> res = NewOrg(ctx.dir, ctx.db, parent, name, orderText);
  Audit(ctx, who, "org add", res.IsOk() ? res.Value() : parent,
        "parent=" + parent + ", name=" + std::string(Trim(name)), res.IsOk() ? Status::Ok() : res.GetStatus());
  return res;
}

Status RenameDepartment(OpsContext& ctx, const Actor& who, const std::string& code, const std::string& name,
                        const std::optional<std::string>& orderText) {
  OrgTree tree(*ctx.dir.Get());
  int node = tree.Find(code);
  if (node < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  const std::string order = orderText.value_or(std::to_string(tree.At(node).record->orgID));
  if (Result<std::int64_t> check = CheckOrgForm(name, order); !check.IsOk()) return check.GetStatus();
  Status res = RenameOrg(ctx.dir, ctx.db, code, name, order);
  Audit(ctx, who, "org rename", code, "name=" + std::string(Trim(name)) + ", order=" + order, res);
  return res;
}

Status DeleteDepartment(OpsContext& ctx, const Actor& who, const std::string& code) {
  if (code == kRootOrgNo) return Refused("不能删除根组织");
  if (OrgTree(*ctx.dir.Get()).Find(code) < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  Status res = DeleteOrg(ctx.dir, ctx.db, code);
  Audit(ctx, who, "org del", code, "", res);
  return res;
}

Result<std::string> MoveDepartment(OpsContext& ctx, const Actor& who, const std::string& code,
                                   const std::string& parent) {
  OrgTree tree(*ctx.dir.Get());
  if (code == kRootOrgNo) return Refused(std::string(kMoveRootMessage));
  if (tree.Find(code) < 0) return Refused(std::string(kUnknownOrgPrefix) + code);
  if (tree.Find(parent) < 0) return Refused(std::string(kUnknownOrgPrefix) + parent);
  Result<std::string> res = MoveOrg(ctx.dir, ctx.db, code, parent);
  Audit(ctx, who, "org move", code, "parent=" + parent + (res.IsOk() ? ", organizeNo=" + res.Value() : ""),
        res.IsOk() ? Status::Ok() : res.GetStatus());
  return res;
}

}  // namespace corvan
