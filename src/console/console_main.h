// The console program: the server core with its window.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "server/dispatch.h"
#include "server/modules.h"

class QCoreApplication;

namespace corvan {

// Installs Qt's own Simplified Chinese translation (standard buttons, file
// dialogs, edit menus) from Qt's translations folder on `app`, whatever the
// system's language; false when it is not there (Qt's texts stay English).
bool InstallQtTranslation(QCoreApplication& app);

// Runs the console on the data folder `home` until "退出", SIGTERM or SIGINT;
// stops the server before returning. `modules` and `requests` wire the
// feature modules into the core. Returns the program's exit status.
int RunConsole(int argc, char** argv, const std::filesystem::path& home, CoreModules modules, RequestTable requests);

class Prompter;

// The option the desktop entry starts the program with. A second console on
// a data folder ends silently; started from the desktop entry, while the
// system service holds the folder (or the folder is the service's and this
// user may not use it), it says so instead.
inline constexpr std::string_view kDesktopEntryOption = "--desktop-entry";

// Whether the command line holds kDesktopEntryOption.
bool StartedFromDesktopEntry(int argc, char** argv);

// The message for that case: who holds the folder and how to manage the
// service from a terminal. `usable` tells whether this user may use the
// folder at all.
std::string ServiceHoldsFolderNotice(const std::filesystem::path& home, bool usable);

// Shows ServiceHoldsFolderNotice for `home` through `prompter`.
void TellServiceHoldsFolder(Prompter& prompter, const std::filesystem::path& home);

// TellServiceHoldsFolder with the real message box; the program's exit
// status (0: nothing failed, the console just does not run).
int RunServiceHoldsFolderNotice(int argc, char** argv, const std::filesystem::path& home);

}  // namespace corvan
