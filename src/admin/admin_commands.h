// The administration commands: the console's operations behind a command
// line, run by the administration endpoint inside the server and by the
// command-line tool on the database file when no server runs.
//
// The commands, their arguments and what they need are rows of the command
// table (admin/command_table.h); the web console's own "web ..." commands
// are in admin/web_commands.h.
//
// A command that the console would confirm with a yes/no box answers with
// the question (exit status kExitConfirm) unless "--yes" is given. File
// names are taken as they stand; the tool makes them absolute first.
//
// Thread rules: on a thread that is not an io thread of the core (start and
// stop wait for those). RunAdminCommand runs one command at a time in the
// process, whichever front end calls it (the web console's own commands
// aside).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "admin/admin_codec.h"
#include "admin/operations.h"
#include "server/modules.h"

namespace corvan {

class ServerCore;
struct ParsedCommand;

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotRunning = 3;
inline constexpr int kExitConfirm = 4;
// The data folder does not exist, or holds no database for a command that
// reads one.
inline constexpr int kExitNoData = 5;

inline constexpr std::string_view kServerNotRunning = "服务器未运行";

struct AdminContext {
  // True inside the running server; false when the tool works on the files
  // of a data folder no server runs on.
  bool inServer = true;
  // What the tool read from the terminal or standard input for the command
  // (a password), never taken from the command line.
  std::optional<std::string> input = std::nullopt;
  // Who asks, as the audit log records it.
  Actor actor = {};
  // Told the (done, total) steps of a long command (the directory sync) as
  // it goes; may be empty.
  std::function<void(int done, int total)> progress = {};
};

// Whether the command (its words before any argument) may run without a
// server: the read-only ones, backup, restore, user import and config set.
bool RunsWithoutServer(const std::vector<std::string>& argv);

// Whether the command changes the data folder when run on the files: user
// import, restore, directory-sync and config set (the only ones that take
// the instance lock for writing).
bool WritesWithoutServer(const std::vector<std::string>& argv);

// Whether the command works on the settings file alone (config get, config
// set): run on the files, it needs no database.
bool IsConfigCommand(const std::vector<std::string>& argv);

// Whether the command's job is to create the database: restore, which may
// run on a data folder that holds none.
bool CreatesDatabase(const std::vector<std::string>& argv);

// The usage error of a command line, checked before anything runs: an
// unknown option, an unknown command, or a word count the command does not
// take. Nothing when the line is well formed.
std::optional<std::string> AdminUsageError(const std::vector<std::string>& argv);

AdminReply RunAdminCommand(ServerCore& core, const std::vector<std::string>& argv, const AdminContext& context);

// The command `name` with its named arguments (command_table.h), as the
// admin socket receives it from the tool, or with `web` as the web console's
// POST /api/commands/NAME sends it (the web console's names). A refused
// argument is a usage error.
AdminReply RunNamedCommand(ServerCore& core, std::string_view name, const JsonValue& args, const AdminContext& context,
                           bool web);

// A command already parsed (command_table.h).
AdminReply RunParsedCommand(ServerCore& core, const ParsedCommand& command, const AdminContext& context);

// "用法：corvanctl " and the usage of the command the line names; nothing
// when it names none.
std::optional<std::string> CommandUsageOf(const std::vector<std::string>& argv);

// A reply with its message; the exit status `exitCode` unless `ok`.
AdminReply CommandReply(bool ok, std::string message, int exitCode);

// The usage text of the commands above, generated from the command table.
std::string AdminUsage();
// A reply holding the usage text.
AdminReply Help();

}  // namespace corvan

namespace corvan {

// Runs a command on the data folder `home` when no server runs on it: a core
// is made on the folder (never started), with the settings of its
// Configure.xml (nothing is read or written as a first run when the file is
// missing) and, unless the command works on the settings alone, its
// database opened and loaded. The caller holds the folder's instance lock
// for the whole call, so that no server starts meanwhile. `executable` is
// the server program (for the autostart entry).
AdminReply RunAdminCommandOnFolder(const std::filesystem::path& home, const std::filesystem::path& executable,
                                   const std::vector<std::string>& argv, CoreModules modules = {},
                                   std::optional<std::string> input = std::nullopt);

}  // namespace corvan
