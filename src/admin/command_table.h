// The table of administrative commands: one row per command with its
// arguments (positional words and options, named by the keys of the JSON
// object they become), whether it needs the running server, the question it
// asks before acting, its help text and its handler. From the table come
// corvanctl's parser (argv -> named arguments), the help and usage texts,
// the admin socket's dispatch (named arguments, or an argv from an older
// tool) and the web console's POST /api/commands/NAME.
//
// Parsing is pure and thread-safe; handlers follow the thread rules of
// admin_commands.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/admin_codec.h"
#include "admin/operations.h"
#include "base/status.h"

namespace corvan {

struct AdminContext;

enum class ArgKind {
  kWord,    // a positional word; a string (or an integer) in JSON
  kWords,   // one or more positional words; an array of strings
  kOption,  // "--OPTION VALUE" or "--OPTION=VALUE"; a string (or an integer)
  kFlag,    // "--OPTION"; a boolean
};

struct ArgSpec {
  std::string_view name;  // the JSON key
  ArgKind kind = ArgKind::kWord;
  std::string_view option = {};  // the command line's option without "--" (kOption, kFlag)
  bool required = false;
  std::vector<std::string_view> aliases = {};  // other spellings of the option
  bool web = true;                             // offered by the web console
};

// A command with its named arguments, ready to run.
struct CommandCall {
  ServerCore& core;
  OpsContext ops;
  const AdminContext& context;
  const JsonValue& args;

  // The text of a word or option; nothing when absent.
  std::optional<std::string> Text(std::string_view name) const;
  std::vector<std::string> Words(std::string_view name) const;
  bool Flag(std::string_view name) const { return args[name].AsBool(); }
  // "--yes": the command's question answered yes.
  bool Yes() const { return Flag("yes"); }
};

using CommandHandler = AdminReply (*)(CommandCall& call);

struct CommandRow {
  std::string_view name;     // "user add"
  std::string_view webName;  // "user-add"; empty when the web console does not offer it
  std::vector<ArgSpec> args;
  bool needsServer = true;           // refused ("服务器未运行") on a folder no server runs on
  bool writesWithoutServer = false;  // changes the data folder when run on the files
  bool createsDatabase = false;      // may run on a folder that holds no database
  bool settingsOnly = false;         // works on Configure.xml alone
  std::string_view question = {};    // the question asked before acting, answered by --yes
  std::string_view usage = {};       // the arguments as the help shows them
  std::string_view help = {};        // one line on what it does
  CommandHandler handler = nullptr;
  // The tool reads a password from the terminal or standard input and sends
  // it as the request's input; it never travels on the command line.
  bool readsPassword = false;
  // Runs beside the other commands instead of after them: enabling or
  // disabling the web console waits for its threads, which may be running
  // one of those commands.
  bool besideOthers = false;
};

const std::vector<CommandRow>& CommandTable();
const CommandRow* FindCommand(std::string_view name);
const CommandRow* FindWebCommand(std::string_view webName);

struct ParsedCommand {
  const CommandRow* row = nullptr;
  JsonValue args;  // an object: JSON key -> value, "yes" among them
};

// A command line split into words and options ("--NAME VALUE",
// "--NAME=VALUE", "--FLAG"; after "--" only words). Every option must be one
// some command of the table takes (or among `extraOptions`, which take a
// value); `error` is the first usage error, after which nothing more is
// read.
struct SplitLine {
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::optional<std::string>>> options;  // as typed; no value for a flag
  std::string error;
};
SplitLine SplitCommandLine(const std::vector<std::string>& argv,
                           const std::vector<std::string_view>& extraOptions = {});

// The command line after the tool's own options. Refused (kInvalidInput)
// with the usage error: no command, an unknown command, an unknown option
// or one without its value, a word count the command does not take.
Result<ParsedCommand> ParseCommandLine(const std::vector<std::string>& argv);

// The command `name` with the named arguments `args` (an object or null),
// as the admin socket and the web console receive them. Refused with the
// argument at fault: an unknown command or argument, a missing required
// one, a value of the wrong kind. With `web`, only what the web console
// offers (its command names) is taken.
Result<ParsedCommand> ParseNamedCommand(std::string_view name, const JsonValue& args, bool web);

// The command line of a parsed command, as the tool would type it: the
// command's words, the options in the table's order, "--yes", then "--" and
// the positional words (so that a name beginning with "--" stays a name).
// Parsing it gives the same command back.
std::vector<std::string> CommandLine(const ParsedCommand& command);

// "user add 用户名 --pwd 密码 ..." for the row.
std::string CommandUsage(const CommandRow& row);
// The help of every command, generated from the table.
std::string CommandHelp();

}  // namespace corvan
