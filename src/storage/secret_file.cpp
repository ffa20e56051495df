#include "storage/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/unique_fd.h"

namespace corvan {

Result<std::optional<std::string>> ReadSecretFile(const std::filesystem::path& path, std::size_t maxBytes,
                                                  std::string_view what) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == ENOENT) return std::optional<std::string>();
    if (errno == ELOOP)
      return Status(StatusCode::kRefused, std::string(what) + " " + path.string() + " 是符号链接，已拒绝");
    return Status(StatusCode::kIoFailed,
                  "无法读取" + std::string(what) + " " + path.string() + "：" + std::generic_category().message(errno));
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Status(StatusCode::kRefused, std::string(what) + " " + path.string() + " 不是普通文件");
  if ((st.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0)
    return Status(StatusCode::kRefused,
                  std::string(what) + " " + path.string() + " 含密钥，不得让同组或其他用户读写（请执行 chmod 600）");
  if (static_cast<std::size_t>(st.st_size) > maxBytes)
    return Status(StatusCode::kRefused, std::string(what) + " " + path.string() + " 过大");
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return Status(StatusCode::kIoFailed, "无法读取" + std::string(what) + " " + path.string() + "：" +
                                               std::generic_category().message(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return std::optional<std::string>(std::move(text));
}

}  // namespace corvan
