#include "storage/private_files.h"

#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvan {

namespace fs = std::filesystem;

namespace {

void SetError(std::string* error, const fs::path& path, int code) {
  if (error) *error = path.string() + ": " + std::generic_category().message(code);
}

// Creates a temporary file beside `target`, open for writing; -1 on
// failure (errno set).
int OpenTemporary(const fs::path& target, fs::path& made) {
  std::string pattern = target.string() + ".part-XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) made = pattern;
  return fd;
}

}  // namespace

bool WritePrivateFile(const fs::path& target, std::string_view bytes, std::string* error) {
  fs::path tmp;
  int fd = OpenTemporary(target, tmp);
  if (fd < 0) {
    SetError(error, target, errno);
    return false;
  }
  int failure = 0;
  while (!bytes.empty() && failure == 0) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno != EINTR) failure = errno;
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(tmp.c_str());
    SetError(error, target, failure);
    return false;
  }
  return true;
}

std::optional<fs::path> MakePrivateTemporary(const fs::path& target, std::string* error) {
  fs::path tmp;
  int fd = OpenTemporary(target, tmp);
  if (fd < 0) {
    SetError(error, target, errno);
    return std::nullopt;
  }
  ::close(fd);
  return tmp;
}

bool CreatePrivateFileIfMissing(const fs::path& file, std::string* error) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  if (errno == EEXIST) return true;  // there already: opened as it is
  SetError(error, file, errno);
  return false;
}

bool MakePrivateFolder(const fs::path& dir, bool refuseLink, std::string* error) {
  if (::mkdir(dir.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    SetError(error, dir, errno);
    return false;
  }
  struct stat st {};
  int rc = refuseLink ? ::lstat(dir.c_str(), &st) : ::stat(dir.c_str(), &st);
  if (rc != 0) {
    SetError(error, dir, errno);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    SetError(error, dir, ELOOP);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetError(error, dir, ENOTDIR);
    return false;
  }
  return true;
}

}  // namespace corvan
