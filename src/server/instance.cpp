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

std::filesystem::path DataFolder() {
  std::filesystem::path dir;
  const char* home = std::getenv("CORVAN_HOME");
  if (home != nullptr && *home != '\0') {
    dir = std::filesystem::absolute(home);
  } else {
    dir = ExecutablePath().parent_path();
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::optional<UniqueFd> AcquireInstanceLock(const std::filesystem::path& dataFolder) {
  auto path = dataFolder / "Mutex_Server_ONLY_ONE.lock";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
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
