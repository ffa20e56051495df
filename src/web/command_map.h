// The web console's administrative commands: one generic call,
// POST /api/commands/NAME with a JSON object of named arguments, answered
// with the reply object corvanctl --json prints. The table in
// command_map.cpp maps each command and its named arguments onto the
// administration command line (admin/admin_commands.h); the names are the
// ones the front end sends, listed there per command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/admin_codec.h"
#include "base/status.h"

namespace corvan {

// The command line for command `name` with the JSON object `args`; refused
// (kInvalidInput, naming the argument) for an unknown command, an unknown
// argument, a missing required one, or a value of the wrong kind.
Result<std::vector<std::string>> WebCommandLine(std::string_view name, const JsonValue& args);

// The names of the commands the call serves.
std::vector<std::string> WebCommandNames();

// Removes every member named "pwd" from a reply's data, at any depth: the
// browser never receives an account's password.
void DropPasswords(JsonValue& data);

}  // namespace corvan
