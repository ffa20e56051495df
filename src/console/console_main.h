// The console program: the server core with its window.
#pragma once

#include <filesystem>

class QCoreApplication;

namespace corvan {

// Installs Qt's own Simplified Chinese translation (standard buttons, file
// dialogs, edit menus) from Qt's translations folder on `app`, whatever the
// system's language; false when it is not there (Qt's texts stay English).
bool InstallQtTranslation(QCoreApplication& app);

// Runs the console on the data folder `home` until "退出", SIGTERM or SIGINT;
// stops the server before returning. Returns the program's exit status.
int RunConsole(int argc, char** argv, const std::filesystem::path& home);

}  // namespace corvan
