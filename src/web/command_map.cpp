#include "web/command_map.h"

#include <map>

namespace corvan {

namespace {

enum class Kind {
  kWord,    // a positional word
  kWords,   // an array of positional words
  kOption,  // "--OPTION VALUE"
  kFlag,    // "--OPTION" when true
};

struct Argument {
  std::string_view name;  // the JSON member
  Kind kind;
  std::string_view option;  // the command line's option (kOption, kFlag)
  bool required;
};

struct Command {
  std::vector<std::string_view> words;  // the command's own words
  std::vector<Argument> args;           // in the order of the positional words
};

// The account fields an editor sets, by the names the account's columns
// carry (pwd is write-only: the browser never reads it back).
constexpr std::string_view kAccountFields[] = {
    "pwd",         "nickname",    "organizeNo", "USERID",   "n_family",    "n_given",  "email",
    "org_orgname", "org_orgunit", "title",      "work_tel", "mobilephone", "work_adr", "work_fax",
    "adr_country", "adr_street",  "url",        "bday",     "tel",         "sex",      "self_desc"};

std::vector<Argument> WithAccountFields(std::vector<Argument> args) {
  for (std::string_view f : kAccountFields) args.push_back({f, Kind::kOption, f, false});
  return args;
}

// Every command answers a question of the console's ("yes": answered yes).
//
//   status          -
//   start, stop     -
//   user-add        username; pwd, nickname, organizeNo and the other account fields
//   user-set        username; newName; any account field (pwd only to change it)
//   user-del        username
//   user-move       usernames (array), organizeNo
//   org-add         parent, name; order
//   org-rename      organizeNo, name; order
//   org-del         organizeNo
//   announce        text (absent: the current announcement is sent again)
//   config-get      key
//   config-set      key, value
//   clean-offline   -
//   directory-sync  dryRun, removeMissing (booleans)
const std::map<std::string_view, Command>& Commands() {
  static const std::map<std::string_view, Command> commands = {
      {"status", {{"status"}, {}}},
      {"start", {{"start"}, {}}},
      {"stop", {{"stop"}, {}}},
      {"user-add", {{"user", "add"}, WithAccountFields({{"username", Kind::kWord, "", true}})}},
      {"user-set",
       {{"user", "set"},
        WithAccountFields({{"username", Kind::kWord, "", true}, {"newName", Kind::kOption, "name", false}})}},
      {"user-del", {{"user", "del"}, {{"username", Kind::kWord, "", true}}}},
      {"user-move", {{"move"}, {{"usernames", Kind::kWords, "", true}, {"organizeNo", Kind::kWord, "", true}}}},
      {"org-add",
       {{"org", "add"},
        {{"parent", Kind::kWord, "", true},
         {"name", Kind::kWord, "", true},
         {"order", Kind::kOption, "order", false}}}},
      {"org-rename",
       {{"org", "rename"},
        {{"organizeNo", Kind::kWord, "", true},
         {"name", Kind::kWord, "", true},
         {"order", Kind::kOption, "order", false}}}},
      {"org-del", {{"org", "del"}, {{"organizeNo", Kind::kWord, "", true}}}},
      {"announce", {{"announce"}, {{"text", Kind::kWord, "", false}}}},
      {"config-get", {{"config", "get"}, {{"key", Kind::kWord, "", false}}}},
      {"config-set", {{"config", "set"}, {{"key", Kind::kWord, "", true}, {"value", Kind::kWord, "", true}}}},
      {"clean-offline", {{"clean-offline"}, {}}},
      {"directory-sync",
       {{"directory-sync"},
        {{"dryRun", Kind::kFlag, "dry-run", false}, {"removeMissing", Kind::kFlag, "remove-missing", false}}}},
  };
  return commands;
}

Status Invalid(const std::string& why) { return Status(StatusCode::kInvalidInput, why); }

// A scalar argument as text: strings as they are, integers in decimal.
std::optional<std::string> Text(const JsonValue& v) {
  if (v.IsString()) return v.AsString();
  if (v.IsInt()) return std::to_string(v.AsInt());
  return std::nullopt;
}

}  // namespace

Result<std::vector<std::string>> WebCommandLine(std::string_view name, const JsonValue& args) {
  auto it = Commands().find(name);
  if (it == Commands().end()) return Invalid("未知的命令：" + std::string(name));
  if (!args.IsNull() && !args.IsObject()) return Invalid("参数应为 JSON 对象");
  const Command& command = it->second;
  for (const auto& [key, value] : args.AsObject()) {
    bool known = key == "yes";
    for (const Argument& a : command.args) known = known || a.name == key;
    if (!known) return Invalid("未知的参数：" + key);
  }
  std::vector<std::string> argv(command.words.begin(), command.words.end());
  std::vector<std::string> words;
  for (const Argument& a : command.args) {
    const JsonValue& v = args[a.name];
    if (v.IsNull()) {
      if (a.required) return Invalid("缺少参数：" + std::string(a.name));
      continue;
    }
    std::string label(a.name);
    switch (a.kind) {
      case Kind::kWord:
      case Kind::kOption: {
        std::optional<std::string> text = Text(v);
        if (!text) return Invalid("参数应为文字：" + label);
        if (a.kind == Kind::kWord) words.push_back(*text);
        else argv.insert(argv.end(), {"--" + std::string(a.option), *text});
        break;
      }
      case Kind::kWords:
        if (!v.IsArray() || v.AsArray().empty()) return Invalid("参数应为非空的文字列表：" + label);
        for (const JsonValue& item : v.AsArray()) {
          if (!item.IsString()) return Invalid("参数应为文字列表：" + label);
          words.push_back(item.AsString());
        }
        break;
      case Kind::kFlag:
        if (!v.IsBool()) return Invalid("参数应为 true 或 false：" + label);
        if (v.AsBool()) argv.push_back("--" + std::string(a.option));
        break;
    }
  }
  if (const JsonValue& yes = args["yes"]; !yes.IsNull()) {
    if (!yes.IsBool()) return Invalid("参数应为 true 或 false：yes");
    if (yes.AsBool()) argv.push_back("--yes");
  }
  // The positional words go after "--", so that a name beginning with "--"
  // stays a name.
  if (!words.empty()) {
    argv.push_back("--");
    argv.insert(argv.end(), words.begin(), words.end());
  }
  return argv;
}

std::vector<std::string> WebCommandNames() {
  std::vector<std::string> names;
  for (const auto& [name, command] : Commands()) names.emplace_back(name);
  return names;
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

}  // namespace corvan
