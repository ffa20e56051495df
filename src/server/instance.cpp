#include "server/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <system_error>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/private_files.h"

namespace corvan {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

std::filesystem::path DataFolderPath() {
  const char* home = std::getenv("CORVAN_HOME");
  std::error_code ec;
  if (home != nullptr && *home != '\0') {
    std::filesystem::path dir = std::filesystem::absolute(home, ec);
    return ec ? std::filesystem::path(home) : dir;
  }
  std::filesystem::path folder = ExecutablePath().parent_path();
#if defined(CORVAN_INSTALL_BINDIR) && defined(CORVAN_SERVICE_HOME)
  // Installed programs live in a system folder that holds no data: they use
  // the service's folder, so that the administrator needs no variable.
  if (!folder.empty() && std::filesystem::equivalent(folder, CORVAN_INSTALL_BINDIR, ec))
    return std::filesystem::path(CORVAN_SERVICE_HOME);
#endif
  return folder;
}

Result<std::filesystem::path> DataFolder() {
  std::filesystem::path dir = DataFolderPath();
  // The folders above it get the usual modes; the data folder itself holds
  // passwords and is made private.
  std::error_code ec;
  std::filesystem::path folder = dir.has_filename() ? dir : dir.parent_path();  // "/var/lib/corvan/"
  if (folder.parent_path() != folder) std::filesystem::create_directories(folder.parent_path(), ec);
  if (Status made = MakePrivateFolder(folder, false); !made.IsOk()) return made;
  return dir;
}

Result<UniqueFd> AcquireInstanceLock(const std::filesystem::path& dataFolder, bool create) {
  auto path = dataFolder / "Mutex_Server_ONLY_ONE.lock";
  // O_NOFOLLOW: a link planted under the lock's name is refused, never
  // created or opened through.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
  if (!fd.Valid()) {
    if (errno == ENOENT && !create) return Status(StatusCode::kNotFound, "");
    return Status(StatusCode::kIoFailed, path.string() + ": " + std::generic_category().message(errno));
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return Status(StatusCode::kRefused, "");
    return Status(StatusCode::kIoFailed, path.string() + ": " + std::generic_category().message(errno));
  }
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
