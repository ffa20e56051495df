// The console program: the server core with its window.
#pragma once

#include <filesystem>

namespace corvan {

// Runs the console on the data folder `home` until the window is closed;
// stops the server before returning. Returns the program's exit status.
int RunConsole(int argc, char** argv, const std::filesystem::path& home);

}  // namespace corvan
