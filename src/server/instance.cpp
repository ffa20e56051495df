#include "server/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace corvan {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

std::filesystem::path DataFolderPath() {
  const char* home = std::getenv("CORVAN_HOME");
  if (home != nullptr && *home != '\0') return std::filesystem::absolute(home);
  std::filesystem::path folder = ExecutablePath().parent_path();
#if defined(CORVAN_INSTALL_BINDIR) && defined(CORVAN_SERVICE_HOME)
  // Installed programs live in a system folder that holds no data: they use
  // the service's folder, so that the administrator needs no variable.
  std::error_code ec;
  if (!folder.empty() && std::filesystem::equivalent(folder, CORVAN_INSTALL_BINDIR, ec))
    return std::filesystem::path(CORVAN_SERVICE_HOME);
#endif
  return folder;
}

std::filesystem::path DataFolder() {
  std::filesystem::path dir = DataFolderPath();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::optional<UniqueFd> AcquireInstanceLock(const std::filesystem::path& dataFolder, bool create) {
  auto path = dataFolder / "Mutex_Server_ONLY_ONE.lock";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
  if (!fd.Valid()) return std::nullopt;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return fd;
}

bool DisplayAvailable() {
  const char* headless = std::getenv("CORVAN_HEADLESS");
  if (headless != nullptr && std::string(headless) == "1") return false;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace corvan
