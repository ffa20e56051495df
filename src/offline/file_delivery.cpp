// Offline file delivery: `TSearchOfflineFilesThread` finds a user's stored
// items at login and starts one `TSendOfflineFilesThread` per item, each on
// its own connection to the client's file port.
#include "offline/file_delivery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <thread>
#include <vector>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "offline/active_folders.h"
#include "offline/delivery_claims.h"
#include "offline/offline.h"
#include "offline/offline_store.h"
#include "offline/transfer_format.h"
#include "server/executors.h"
#include "server/removal_service.h"
#include "server/udp.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Content is read and sent in pieces of this size: large writes, flat memory.
constexpr std::size_t kPieceBytes = 1 << 20;
// The longest answer line read from a client.
constexpr std::size_t kMaxAnswerBytes = 256;

class TransferConnection {
 public:
  bool Connect(const std::string& ip, std::uint16_t port, DeliveryTimeouts timeouts) {
    timeouts_ = timeouts;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) return false;
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.Valid()) return false;
    if (::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (errno != EINPROGRESS) return false;
      pollfd p{fd_.Get(), POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(timeouts.answer.count())) != 1) return false;
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
    }
    // Blocking from here on, every write bounded by the send time-out.
    int flags = ::fcntl(fd_.Get(), F_GETFL);
    ::fcntl(fd_.Get(), F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeouts.write.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeouts.write.count() % 1000) * 1000);
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return true;
  }

  // Writes all of `bytes`; `more` tells the kernel that more follows soon,
  // so small records travel together with what comes after them.
  bool Write(std::string_view bytes, bool more = false) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Reads one line ended by LF (a CR before it is dropped), within the
  // answer time-out. Nothing on time-out, close or an over-long line.
  std::optional<std::string> ReadLine() {
    const auto deadline = SteadyClock::now() + timeouts_.answer;
    std::string line;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd_.Get(), POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r != 1) return std::nullopt;
      char c;
      ssize_t n = ::recv(fd_.Get(), &c, 1, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1) return std::nullopt;
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (line.size() >= kMaxAnswerBytes) return std::nullopt;
      line += c;
    }
  }

  // Waits, within the write time-out, until the client's side has
  // acknowledged every byte written (the kernel's send queue is empty): only
  // then has the transfer completed. False when the queue does not drain or
  // the connection broke.
  bool WaitAcknowledged() {
    // Turning Nagle off sends anything still held back by MSG_MORE now.
    int on = 1;
    ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const auto deadline = SteadyClock::now() + timeouts_.write;
    for (;;) {
      int queued = 0;
      if (::ioctl(fd_.Get(), SIOCOUTQ, &queued) != 0) return false;
      if (queued == 0) break;
      if (SteadyClock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }

  // Sends `size` bytes of the file at `path` from its start.
  bool SendFileContent(int fileFd, std::uint64_t size, std::string& buffer) {
    std::uint64_t offset = 0;
    while (offset < size) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, size - offset));
      ssize_t n = ::pread(fileFd, buffer.data(), want, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // the file shrank or cannot be read
      if (!Write(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) return false;
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  UniqueFd fd_;
  DeliveryTimeouts timeouts_;
};

std::string HeaderLine(const DeliveryItem& item, std::string kind, std::string size) {
  TransferHeader h;
  h.fromUser = item.fromUser;
  h.fromNick = item.fromNick;
  h.toUser = item.toUser;
  h.name = item.path.filename().string();
  h.kind = std::move(kind);
  h.size = std::move(size);
  return EncodeTransferHeader(h) + "\r\n";
}

// The header, then the answer: true to go on with "START".
std::optional<DeliveryOutcome> Offer(TransferConnection& c, const std::string& header, const std::string& ip,
                                     std::uint16_t port, DeliveryTimeouts timeouts) {
  if (!c.Connect(ip, port, timeouts)) return DeliveryOutcome::kNotDelivered;
  if (!c.Write(header)) return DeliveryOutcome::kNotDelivered;
  auto answer = c.ReadLine();
  if (!answer) return DeliveryOutcome::kNotDelivered;
  if (*answer != "OK") return DeliveryOutcome::kRefused;
  return std::nullopt;
}

class FolderWalker {
 public:
  explicit FolderWalker(TransferConnection& c) : c_(c), buffer_(kPieceBytes, '\0') {}

  // The folder's entries (files with their content, subfolders in turn),
  // then the kind 3 record that leaves it. "." and ".." never appear in a
  // listing here. Links are not followed, so a link cannot lead out of the
  // item or round in a circle.
  bool Walk(const fs::path& folder, std::size_t depth) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return false;
    for (const auto& entry : it) {
      auto st = entry.symlink_status(ec);
      if (ec) return false;
      const std::string name = entry.path().filename().string();
      if (fs::is_directory(st)) {
        if (depth >= 128) continue;
        auto record = EncodeEnterFolder(name);
        if (!record) continue;  // a name too long for a record cannot be sent
        if (!c_.Write(*record, true) || !Walk(entry.path(), depth + 1)) return false;
      } else if (fs::is_regular_file(st)) {
        if (!SendFile(entry.path(), name)) return false;
      }
    }
    return c_.Write(EncodeLeaveFolder(), true);
  }

 private:
  bool SendFile(const fs::path& path, const std::string& name) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!file.Valid() || ::fstat(file.Get(), &st) != 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    auto record = EncodeFileRecord(name, size);
    if (!record) return true;  // a name too long for a record cannot be sent
    return c_.Write(*record, size > 0) && c_.SendFileContent(file.Get(), size, buffer_);
  }

  TransferConnection& c_;
  std::string buffer_;
};

}  // namespace

DeliveryOutcome SendOfflineItem(const DeliveryItem& item, const std::string& ip, std::uint16_t port,
                                DeliveryTimeouts timeouts) {
  std::error_code ec;
  auto status = fs::symlink_status(item.path, ec);
  TransferConnection c;
  if (fs::is_regular_file(status)) {
    UniqueFd file(::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!file.Valid() || ::fstat(file.Get(), &st) != 0) return DeliveryOutcome::kNotDelivered;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (auto done = Offer(c, HeaderLine(item, "1", std::to_string(size)), ip, port, timeouts)) return *done;
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kPieceBytes)), '\0');
    if (!c.Write("START\r\n", size > 0) || !c.SendFileContent(file.Get(), size, buffer) || !c.WaitAcknowledged()) {
      return DeliveryOutcome::kNotDelivered;
    }
    return DeliveryOutcome::kDelivered;
  }
  if (fs::is_directory(status)) {
    if (auto done = Offer(c, HeaderLine(item, "2", "0"), ip, port, timeouts)) return *done;
    auto top = EncodeEnterFolder(item.path.filename().string());
    if (!top) return DeliveryOutcome::kRefused;  // cannot ever be sent
    FolderWalker walker(c);
    if (!c.Write("START\r\n", true) || !c.Write(*top, true) || !walker.Walk(item.path, 0) || !c.WaitAcknowledged()) {
      return DeliveryOutcome::kNotDelivered;
    }
    return DeliveryOutcome::kDelivered;
  }
  return DeliveryOutcome::kMissing;
}

namespace {

// `TSendOfflineFilesThread`: sends one item. Its row stays in the database
// until the transfer has completed (or the client refused the item, or it
// no longer exists), so a crash at any moment before that leaves the item
// for the next login; only then do the row and the upload folder go. When
// the client could not be reached or the transfer broke, nothing changes
// and the item waits for the next login.
void SendStoredItem(const OfflineOwners& owners, const OfflineFileRow& row, const std::string& ip) {
  DeliveryItem item{fs::path(row.FilePath), row.FromUser, row.FromNick, row.ToUser};
  const DeliveryOutcome outcome = SendOfflineItem(item, ip, owners.offlineFilePort);
  if (outcome == DeliveryOutcome::kNotDelivered) return;
  {
    MutexLock lock(owners.offlineFilesLock);
    Status deleted = OfflineTables(owners.db).DeleteFiles({row.rowid});
    // The row stays. Its item is removed below all the same: the next login
    // finds nothing at the path and the row goes then, so the item is never
    // delivered twice. Quiet by design: the client has its item.
    if (!deleted.IsOk()) NoteQuietFailure("offline file delivery", "row not deleted: " + deleted.Message());
  }
  const fs::path uploadFolder = UploadFolderOf(owners.offlineFilesDir, row.FilePath);
  if (outcome != DeliveryOutcome::kMissing && !uploadFolder.empty()) {
    owners.removal.Remove(RemovalService::Kind::kFolder, uploadFolder);
  }
}

// `TSearchOfflineFilesThread`, after the delivery delay.
void DeliverFiles(const OfflineOwners& owners, const std::string& name, const std::string& ip) {
  struct Claimed {
    OfflineFileRow row;
    DeliveryClaims::Claim claim;
  };
  std::vector<Claimed> items;
  {
    // The rows are read and claimed under the lock, so the purge (which
    // holds it throughout) either removes them first or passes them over.
    MutexLock lock(owners.offlineFilesLock);
    Result<std::vector<OfflineFileRow>> rows = OfflineTables(owners.db).FilesFor(name);
    if (!rows.IsOk()) {
      // Nothing read: the items wait for the next login.
      NoteQuietFailure("offline file delivery", rows.GetStatus().Message());
      return;
    }
    for (auto& r : rows.Value()) {
      // An item another delivery is sending right now (a login racing an
      // earlier one) is left to it: it is delivered once, or stays for the
      // next login when that delivery fails.
      auto claim = DeliveryClaims::Instance().TryClaim(r.FilePath);
      if (claim) items.push_back({std::move(r), std::move(*claim)});
    }
  }
  for (auto& [r, claim] : items) {
    // Between the removal of its row and that of its folder the item has
    // no row; keep the cleanup away from it.
    auto registration =
        std::make_shared<ActiveFolders::Registration>(UploadFolderOf(owners.offlineFilesDir, r.FilePath));
    auto held = std::make_shared<DeliveryClaims::Claim>(std::move(claim));
    owners.run.PostJob([owners, row = std::move(r), ip, registration, held]() mutable {
      SendStoredItem(owners, row, ip);
      registration->Release();
      held.reset();
    });
  }
}

}  // namespace

void SearchOfflineFilesNow(const OfflineOwners& owners, const std::string& name, std::string ip) {
  // The search waits for the lock in the offline-files lane, not on a
  // thread of the job pool.
  owners.run.PostOfflineFilesLane(
      [owners, name = AsciiUpper(name), ip = std::move(ip)] { DeliverFiles(owners, name, ip); });
}

}  // namespace corvan
