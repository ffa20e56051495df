// Helpers of the fault tests: upload frames, what is left on disk, and the
// process's own resource use.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "offline/transfer_format.h"
#include "server/server_core.h"
#include "storage/database.h"
#include "support/offline_support.h"

namespace corvan::test {

inline std::string UploadHeader(std::string_view to, std::string_view name, std::string_view kind,
                                std::string_view size) {
  return EncodeTransferHeader(
      TransferHeader{"li", "Li Nick", std::string(to), std::string(name), std::string(kind), std::string(size)});
}

// A folder "Docs" holding a.txt, and Sub holding b.txt.
inline std::string DocsStream() {
  return *EncodeEnterFolder("Docs") + *EncodeFileRecord("a.txt", 5) + "hello" + *EncodeEnterFolder("Sub") +
         *EncodeFileRecord("b.txt", 3) + "xyz" + EncodeLeaveFolder() + EncodeLeaveFolder();
}

// Every regular file and folder below `dir` (empty when it does not exist).
inline std::vector<std::filesystem::path> Tree(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(it->path());
  }
  return out;
}

// Whether every upload folder below OfflineFiles is gone (recipient folders
// may stay: the cleanup removes those).
inline bool NoUploadFolders(ServerCore& core) {
  for (const auto& recipient : SubFolders(core.OfflineFilesDir())) {
    if (!SubFolders(recipient).empty()) return false;
    std::error_code ec;
    if (!std::filesystem::is_empty(recipient, ec)) return false;
  }
  return true;
}

// The FilePath of every OfflineFiles row.
inline std::vector<std::string> StoredPaths(Database& db) {
  DatabaseLock lock(db);
  Statement st(db, "select FilePath from OfflineFiles order by rowid");
  std::vector<std::string> out;
  while (st.Step()) out.push_back(st.ColumnText(0));
  return out;
}

// A plain TCP connection to 127.0.0.1:port, for tests that need the socket
// itself (resets, raw floods). Invalid on failure.
inline sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Connects an existing TCP socket to 127.0.0.1:port; true on success.
inline bool ConnectTo(int fd, std::uint16_t port) {
  sockaddr_in addr = LoopbackAddress(port);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

inline UniqueFd ConnectRaw(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Valid() && !ConnectTo(fd.Get(), port)) fd.Reset();
  return fd;
}

inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Resident set size of this process in bytes (0 when unknown).
inline std::uint64_t ResidentBytes() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      std::uint64_t kb = 0;
      in >> kb;
      return kb * 1024;
    }
    std::getline(in, key);
  }
  return 0;
}

// Number of file descriptors this process holds.
inline int OpenDescriptors() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

}  // namespace corvan::test
