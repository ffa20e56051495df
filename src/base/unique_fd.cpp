#include "base/unique_fd.h"

#include <unistd.h>

namespace corvan {

void UniqueFd::Reset(int fd) {
  // Resetting to the descriptor already held keeps it open.
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace corvan
