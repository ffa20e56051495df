#include "storage/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <system_error>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvan {

namespace fs = std::filesystem;

namespace {

Status IoFailure(const fs::path& path, int code) {
  return Status(StatusCode::kIoFailed, path.string() + ": " + std::generic_category().message(code));
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

Status WritePrivateFile(const fs::path& target, std::string_view bytes) {
  fs::path tmp;
  int fd = OpenTemporary(target, tmp);
  if (fd < 0) return IoFailure(target, errno);
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
    return IoFailure(target, failure);
  }
  return Status::Ok();
}

Result<fs::path> MakePrivateTemporary(const fs::path& target) {
  fs::path tmp;
  int fd = OpenTemporary(target, tmp);
  if (fd < 0) return IoFailure(target, errno);
  ::close(fd);
  return tmp;
}

Status CreatePrivateFileIfMissing(const fs::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return Status::Ok();
  }
  if (errno == EEXIST) return Status::Ok();  // there already: opened as it is
  return IoFailure(file, errno);
}

Status MakePrivateFolder(const fs::path& dir, bool refuseLink) {
  if (::mkdir(dir.c_str(), 0700) == 0) return Status::Ok();
  if (errno != EEXIST) return IoFailure(dir, errno);
  struct stat st {};
  int rc = refuseLink ? ::lstat(dir.c_str(), &st) : ::stat(dir.c_str(), &st);
  if (rc != 0) return IoFailure(dir, errno);
  if (S_ISLNK(st.st_mode)) return IoFailure(dir, ELOOP);
  if (!S_ISDIR(st.st_mode)) return IoFailure(dir, ENOTDIR);
  return Status::Ok();
}

}  // namespace corvan
