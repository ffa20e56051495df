#include "admin/command_table.h"

#include <algorithm>
#include <limits>
#include <map>

#include "admin/command_handlers.h"
#include "storage/account_fields.h"

namespace corvan {

namespace {

// The account fields an editor sets, by the names of the account's columns
// in the file's order, with the short spellings the command line takes.
std::vector<ArgSpec> WithAccountFields(std::vector<ArgSpec> args) {
  static const std::map<std::string_view, std::string_view> shortSpellings = {
      {"pwd", "password"}, {"nickname", "nick"}, {"organizeNo", "org"}, {"USERID", "order"}, {"self_desc", "desc"}};
  for (std::string_view name : AccountColumnsInFileOrder()) {
    if (name == "username") continue;
    ArgSpec arg{name, ArgKind::kOption, name};
    if (auto it = shortSpellings.find(name); it != shortSpellings.end()) arg.aliases = {it->second};
    args.push_back(std::move(arg));
  }
  return args;
}

ArgSpec Word(std::string_view name, bool required = true) { return {name, ArgKind::kWord, {}, required}; }

}  // namespace

const std::vector<CommandRow>& CommandTable() {
  static const std::vector<CommandRow> table = {
      {"status", "status", {}, false, false, false, false, {}, "", "服务器与数据的状态", &handlers::Status},
      {"online", "", {}, true, false, false, false, {}, "", "在线用户", &handlers::Online},
      {"log",
       "",
       {{"since", ArgKind::kOption, "since"}},
       true,
       false,
       false,
       false,
       {},
       "[-f]",
       "状态日志（-f 持续显示新的行）",
       &handlers::Log},
      {"start", "start", {}, true, false, false, false, {}, "", "启动服务", &handlers::Start},
      {"stop", "stop", {}, true, false, false, false, {}, "", "停止服务", &handlers::Stop},
      {"user list",
       "",
       {Word("organizeNo", false)},
       false,
       false,
       false,
       false,
       {},
       "[部门编号]",
       "列出用户",
       &handlers::UserList},
      {"user show",
       "",
       {Word("username")},
       false,
       false,
       false,
       false,
       {},
       "用户名",
       "显示一个用户",
       &handlers::UserShow},
      {"user add",
       "user-add",
       WithAccountFields({Word("username")}),
       true,
       false,
       false,
       false,
       {},
       "用户名 --pwd 密码 --nick 昵称 --org 部门编号 [--字段 值]...",
       "新增用户",
       &handlers::UserAdd},
      {"user set",
       "user-set",
       WithAccountFields({Word("username"), {"newName", ArgKind::kOption, "name"}}),
       true,
       false,
       false,
       false,
       {},
       "用户名 [--name 新用户名] [--字段 值]...",
       "修改用户",
       &handlers::UserSet},
      {"user del",
       "user-del",
       {Word("username")},
       true,
       false,
       false,
       false,
       kDeleteUserQuestion,
       "用户名",
       "删除用户",
       &handlers::UserDel},
      {"user import",
       "",
       {Word("file")},
       false,
       true,
       false,
       false,
       {},
       "文件",
       "从 CSV 文件导入用户",
       &handlers::UserImport},
      {"user export",
       "",
       {Word("file")},
       false,
       false,
       false,
       false,
       kBackupExists,
       "文件",
       "导出用户到 CSV 文件",
       &handlers::UserExport},
      {"org tree", "", {}, false, false, false, false, {}, "", "部门树", &handlers::OrgTree},
      {"org add",
       "org-add",
       {Word("parent"), Word("name"), {"order", ArgKind::kOption, "order"}},
       true,
       false,
       false,
       false,
       kSameNameNewQuestion,
       "上级部门编号 名称 [--order 序号]",
       "新建部门",
       &handlers::OrgAdd},
      {"org rename",
       "org-rename",
       {Word("organizeNo"), Word("name"), {"order", ArgKind::kOption, "order"}},
       true,
       false,
       false,
       false,
       kSameNameRenameQuestion,
       "部门编号 名称 [--order 序号]",
       "修改部门",
       &handlers::OrgRename},
      {"org del",
       "org-del",
       {Word("organizeNo")},
       true,
       false,
       false,
       false,
       kDeleteOrgQuestion,
       "部门编号",
       "删除部门及其下的用户",
       &handlers::OrgDel},
      {"org move",
       "org-move",
       {Word("organizeNo"), Word("parent")},
       true,
       false,
       false,
       false,
       {},
       "部门编号 新上级部门编号",
       "把部门连同其下的部门和用户移到另一个部门下",
       &handlers::OrgMove},
      {"move",
       "user-move",
       {{"usernames", ArgKind::kWords, {}, true}, Word("organizeNo")},
       true,
       false,
       false,
       false,
       "是否要将这N个用户加入到部门下？",
       "用户名... 部门编号",
       "把用户移到部门下",
       &handlers::Move},
      {"announce",
       "announce",
       {Word("text", false)},
       true,
       false,
       false,
       false,
       {},
       "[公告]",
       "发布公告（不给公告时重发当前公告）",
       &handlers::Announce},
      {"backup",
       "",
       {Word("file"), {"force", ArgKind::kFlag, "force"}},
       false,
       false,
       false,
       false,
       kBackupExists,
       "文件",
       "备份数据库",
       &handlers::Backup},
      {"restore",
       "",
       {Word("file")},
       false,
       true,
       true,
       false,
       kRestoreConfirm,
       "文件",
       "恢复数据库",
       &handlers::Restore},
      {"clean-offline",
       "clean-offline",
       {},
       true,
       false,
       false,
       false,
       {},
       "",
       "清理离线文件",
       &handlers::CleanOffline},
      {"config get",
       "config-get",
       {Word("key", false)},
       false,
       false,
       false,
       true,
       {},
       "[设置项]",
       "显示设置",
       &handlers::ConfigGet},
      {"config set",
       "config-set",
       {Word("key"), Word("value")},
       false,
       true,
       false,
       true,
       {},
       "设置项 值",
       "修改设置",
       &handlers::ConfigSet},
      {"autostart", "", {Word("state")}, true, false, false, false, {}, "on|off", "开机启动", &handlers::Autostart},
      {"directory-sync",
       "directory-sync",
       {{"dryRun", ArgKind::kFlag, "dry-run"},
        {"removeMissing", ArgKind::kFlag, "remove-missing"},
        {"force", ArgKind::kFlag, "force", false, {}, false}},
       false,
       true,
       false,
       false,
       {},
       "[--dry-run] [--remove-missing [--force]]",
       "从目录同步部门和用户",
       &handlers::DirectorySync},
      {"audit",
       "",
       {{"since", ArgKind::kOption, "since"}, {"actor", ArgKind::kOption, "actor"}, {"op", ArgKind::kOption, "op"}},
       false,
       false,
       false,
       false,
       {},
       "[--since 日期] [--actor console|corvanctl|sync|web] [--op 命令]",
       "审计日志：谁在何时做了哪些管理操作",
       &handlers::Audit},
      {"web enable",
       "",
       {{"port", ArgKind::kOption, "port"}, {"bind", ArgKind::kOption, "bind"}},
       false,
       true,
       false,
       false,
       {},
       "[--port 9480] [--bind 地址]",
       "启用网页控制台（首次启用时生成自签名证书）",
       &handlers::WebEnable,
       false,
       true},
      {"web disable", "", {}, false, true, false, false, {}, "", "停用网页控制台", &handlers::WebDisable, false, true},
      {"web status",
       "",
       {},
       false,
       false,
       false,
       false,
       {},
       "",
       "网页控制台的状态、地址和证书指纹",
       &handlers::WebStatus},
      {"web admin add",
       "",
       {Word("name")},
       false,
       true,
       false,
       false,
       {},
       "名称",
       "添加网页控制台管理员（密码从终端或标准输入读取）",
       &handlers::WebAdminAdd,
       true},
      {"web admin passwd",
       "",
       {Word("name")},
       false,
       true,
       false,
       false,
       {},
       "名称",
       "修改网页控制台管理员的密码（密码从终端或标准输入读取）",
       &handlers::WebAdminPasswd,
       true},
      {"web admin del",
       "",
       {Word("name")},
       false,
       true,
       false,
       false,
       {},
       "名称",
       "删除网页控制台管理员",
       &handlers::WebAdminDel},
      {"web admin list", "", {}, false, false, false, false, {}, "", "列出网页控制台管理员", &handlers::WebAdminList},
      {"help", "", {}, false, false, false, false, {}, "", "本帮助", &handlers::Help},
  };
  return table;
}

const CommandRow* FindCommand(std::string_view name) {
  for (const CommandRow& row : CommandTable())
    if (row.name == name) return &row;
  return nullptr;
}

const CommandRow* FindWebCommand(std::string_view webName) {
  if (webName.empty()) return nullptr;
  for (const CommandRow& row : CommandTable())
    if (row.webName == webName) return &row;
  return nullptr;
}

namespace {

constexpr std::string_view kYes = "yes";

Status Usage(std::string why) { return Status(StatusCode::kInvalidInput, std::move(why)); }

// The argument of option `name` (or one of its aliases) in `row`.
const ArgSpec* FindOption(const CommandRow& row, std::string_view name) {
  for (const ArgSpec& a : row.args) {
    if (a.kind != ArgKind::kOption && a.kind != ArgKind::kFlag) continue;
    if (a.option == name || std::find(a.aliases.begin(), a.aliases.end(), name) != a.aliases.end()) return &a;
  }
  return nullptr;
}

// How an option is spelled in the whole table: a flag, an option with a
// value (its name, aliases resolved), or unknown.
struct OptionShape {
  bool known = false;
  bool flag = false;
  std::string_view canonical;
};
OptionShape ShapeOf(std::string_view name) {
  if (name == kYes) return {true, true, kYes};
  OptionShape alias;
  for (const CommandRow& row : CommandTable()) {
    const ArgSpec* a = FindOption(row, name);
    if (!a) continue;
    OptionShape s{true, a->kind == ArgKind::kFlag, a->option};
    if (a->option == name) return s;
    alias = s;
  }
  return alias;
}

// The command a line's words name: the longest name of the table they begin
// with; otherwise two words for the groups (user, org, config, web), one for
// the rest, to name in the refusal.
std::string CommandName(const std::vector<std::string>& words) {
  std::string name;
  std::string longest;
  for (std::size_t n = 0; n < words.size() && n < 3; ++n) {
    name += (n == 0 ? "" : " ") + words[n];
    if (FindCommand(name)) longest = name;
  }
  if (!longest.empty() || words.empty()) return longest;
  static const std::vector<std::string_view> groups = {"user", "org", "config", "web"};
  if (words.size() > 1 && std::find(groups.begin(), groups.end(), words[0]) != groups.end())
    return words[0] + " " + words[1];
  return words[0];
}

std::size_t WordCount(std::string_view name) {
  return static_cast<std::size_t>(std::count(name.begin(), name.end(), ' ')) + 1;
}

std::optional<std::string> ScalarText(const JsonValue& v) {
  if (v.IsString()) return v.AsString();
  if (v.IsInt()) return std::to_string(v.AsInt());
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CommandCall::Text(std::string_view name) const {
  const JsonValue& v = args[name];
  if (v.IsNull()) return std::nullopt;
  return ScalarText(v);
}

std::vector<std::string> CommandCall::Words(std::string_view name) const {
  std::vector<std::string> words;
  for (const JsonValue& w : args[name].AsArray()) words.push_back(w.AsString());
  return words;
}

SplitLine SplitCommandLine(const std::vector<std::string>& argv, const std::vector<std::string_view>& extraOptions) {
  SplitLine line;
  bool onlyWords = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& w = argv[i];
    if (!onlyWords && w == "--") {
      onlyWords = true;
      continue;
    }
    if (onlyWords || w.size() < 3 || w.compare(0, 2, "--") != 0) {
      line.words.push_back(w);
      continue;
    }
    std::string name = w.substr(2);
    std::optional<std::string> value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    OptionShape shape = ShapeOf(name);
    if (!shape.known && std::find(extraOptions.begin(), extraOptions.end(), name) != extraOptions.end())
      shape = {true, false, {}};
    if (!shape.known || (shape.flag && value)) {
      line.error = "未知的选项：--" + name;
      return line;
    }
    if (!shape.flag && !value) {
      if (i + 1 >= argv.size()) {
        line.error = "选项 --" + std::string(shape.canonical.empty() ? name : shape.canonical) + " 需要一个值";
        return line;
      }
      value = argv[++i];
    }
    line.options.emplace_back(std::move(name), std::move(value));
  }
  return line;
}

Result<ParsedCommand> ParseCommandLine(const std::vector<std::string>& argv) {
  SplitLine line = SplitCommandLine(argv);
  if (!line.error.empty()) return Usage(line.error);
  const std::vector<std::string>& words = line.words;
  if (words.empty()) return Usage("没有给出命令");
  const std::string name = CommandName(words);
  const CommandRow* row = FindCommand(name);
  if (!row) return Usage("未知的命令：" + name);

  Result<ParsedCommand> out(ParsedCommand{row, JsonValue(JsonValue::Object{})});
  ParsedCommand& parsed = out.Value();
  for (const auto& [option, value] : line.options) {
    if (option == kYes) {
      parsed.args.Set(std::string(kYes), true);
      continue;
    }
    const ArgSpec* arg = FindOption(*row, option);
    if (!arg) return Usage("未知的选项：--" + option);
    if (arg->kind == ArgKind::kFlag) parsed.args.Set(std::string(arg->name), true);
    else parsed.args.Set(std::string(arg->name), *value);
  }

  std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(WordCount(name)), words.end());
  std::size_t least = 0;
  std::size_t most = 0;
  for (const ArgSpec& a : row->args) {
    if (a.kind == ArgKind::kWords) {
      ++least;
      most = std::numeric_limits<std::size_t>::max();
    } else if (a.kind == ArgKind::kWord) {
      least += a.required ? 1 : 0;
      if (most != std::numeric_limits<std::size_t>::max()) ++most;
    }
  }
  if (rest.size() < least) return Usage(name + "：缺少参数");
  if (rest.size() > most) return Usage(name + "：参数过多");
  // Words fill the positional arguments in order; a list takes all the
  // words the arguments after it leave.
  std::size_t next = 0;
  for (std::size_t k = 0; k < row->args.size(); ++k) {
    const ArgSpec& a = row->args[k];
    if (a.kind == ArgKind::kWord) {
      if (next < rest.size()) parsed.args.Set(std::string(a.name), rest[next++]);
    } else if (a.kind == ArgKind::kWords) {
      std::size_t after = 0;
      for (std::size_t j = k + 1; j < row->args.size(); ++j) after += row->args[j].kind == ArgKind::kWord ? 1 : 0;
      JsonValue list{JsonValue::Array{}};
      while (next + after < rest.size()) list.Push(rest[next++]);
      parsed.args.Set(std::string(a.name), std::move(list));
    }
  }
  return out;
}

Result<ParsedCommand> ParseNamedCommand(std::string_view name, const JsonValue& args, bool web) {
  const CommandRow* row = web ? FindWebCommand(name) : FindCommand(name);
  if (!row) return Usage("未知的命令：" + std::string(name));
  if (!args.IsNull() && !args.IsObject()) return Usage("参数应为 JSON 对象");
  auto offered = [&](const ArgSpec& a) { return a.web || !web; };
  for (const auto& [key, value] : args.AsObject()) {
    bool known = key == kYes;
    for (const ArgSpec& a : row->args) known = known || (a.name == key && offered(a));
    if (!known) return Usage("未知的参数：" + key);
  }
  Result<ParsedCommand> out(ParsedCommand{row, JsonValue(JsonValue::Object{})});
  ParsedCommand& parsed = out.Value();
  for (const ArgSpec& a : row->args) {
    if (!offered(a)) continue;
    const JsonValue& v = args[a.name];
    const std::string label(a.name);
    if (v.IsNull()) {
      if (a.required) return Usage("缺少参数：" + label);
      continue;
    }
    switch (a.kind) {
      case ArgKind::kWord:
      case ArgKind::kOption: {
        std::optional<std::string> text = ScalarText(v);
        if (!text) return Usage("参数应为文字：" + label);
        parsed.args.Set(label, *text);
        break;
      }
      case ArgKind::kWords:
        if (!v.IsArray() || v.AsArray().empty()) return Usage("参数应为非空的文字列表：" + label);
        for (const JsonValue& item : v.AsArray())
          if (!item.IsString()) return Usage("参数应为文字列表：" + label);
        parsed.args.Set(label, v);
        break;
      case ArgKind::kFlag:
        if (!v.IsBool()) return Usage("参数应为 true 或 false：" + label);
        parsed.args.Set(label, v);
        break;
    }
  }
  if (const JsonValue& yes = args[kYes]; !yes.IsNull()) {
    if (!yes.IsBool()) return Usage("参数应为 true 或 false：yes");
    parsed.args.Set(std::string(kYes), yes);
  }
  return out;
}

std::vector<std::string> CommandLine(const ParsedCommand& command) {
  std::vector<std::string> argv;
  const std::string name(command.row->name);
  for (std::size_t start = 0; start <= name.size();) {
    std::size_t space = name.find(' ', start);
    if (space == std::string::npos) space = name.size();
    argv.push_back(name.substr(start, space - start));
    start = space + 1;
  }
  std::vector<std::string> words;
  for (const ArgSpec& a : command.row->args) {
    const JsonValue& v = command.args[a.name];
    if (v.IsNull()) continue;
    switch (a.kind) {
      case ArgKind::kWord: words.push_back(ScalarText(v).value_or("")); break;
      case ArgKind::kWords:
        for (const JsonValue& w : v.AsArray()) words.push_back(w.AsString());
        break;
      case ArgKind::kOption: argv.insert(argv.end(), {"--" + std::string(a.option), ScalarText(v).value_or("")}); break;
      case ArgKind::kFlag:
        if (v.AsBool()) argv.push_back("--" + std::string(a.option));
        break;
    }
  }
  if (command.args[kYes].AsBool()) argv.push_back("--yes");
  if (!words.empty()) {
    argv.push_back("--");
    argv.insert(argv.end(), words.begin(), words.end());
  }
  return argv;
}

std::string CommandUsage(const CommandRow& row) {
  std::string usage(row.name);
  if (!row.usage.empty()) usage += " " + std::string(row.usage);
  return usage;
}

std::string CommandHelp() {
  std::string help = "命令：\n";
  for (const CommandRow& row : CommandTable()) {
    help += "  " + CommandUsage(row) + "\n      " + std::string(row.help);
    if (!row.question.empty()) help += "（先问：" + std::string(row.question) + "）";
    help += "\n";
  }
  // The fields, on two lines.
  help += "  字段：";
  std::size_t shown = 0;
  for (std::string_view name : AccountColumnsInFileOrder()) {
    if (name == "username") continue;
    help += shown == 0 ? "" : shown == 10 ? "\n        " : " ";
    help += std::string(name) + (name == "USERID" ? "(显示顺序)" : "");
    ++shown;
  }
  help +=
      "\n"
      "  设置项：ServerPort StartMin AllowReg OfflineInfoDay AutoStart Information(只读)\n"
      "  --yes 对命令要提出的问题回答“是”";
  return help;
}

}  // namespace corvan
