#include "offline/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "offline/active_folders.h"
#include "offline/offline.h"
#include "offline/offline_store.h"
#include "server/connection.h"
#include "server/removal_service.h"
#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

// --- UploadMachine --------------------------------------------------------------

UploadMachine::UploadMachine(UploadSink& sink, std::string itemName, bool folder, std::uint64_t fileSize)
    : sink_(sink), itemName_(std::move(itemName)), folder_(folder), fileSize_(fileSize) {}

UploadMachine::Result UploadMachine::Fail() {
  phase_ = Phase::kFailed;
  return Result::kFailed;
}

fs::path UploadMachine::Current() const {
  fs::path p;
  for (const auto& part : stack_) p /= part;
  return p;
}

bool UploadMachine::Start() {
  if (!folder_) {
    if (!sink_.OpenFile(itemName_)) return false;
    remaining_ = fileSize_;
    phase_ = Phase::kContent;
    return true;
  }
  if (!sink_.MakeFolder(itemName_)) return false;
  phase_ = Phase::kLength;
  return true;
}

void UploadMachine::EndContent() {
  // A file of a folder stream is followed by the next record; the single
  // file of a file upload is the whole upload.
  phase_ = folder_ ? Phase::kLength : Phase::kDone;
}

bool UploadMachine::OnRecord() {
  if (!topRecordSeen_) {
    // The top folder's own record: the item folder already stands for it.
    topRecordSeen_ = true;
    stack_.push_back(itemName_);
    phase_ = Phase::kLength;
    return true;
  }
  auto record = ParseRecordBody(buffer_);
  if (!record) return false;
  phase_ = Phase::kLength;
  switch (record->kind) {
    case static_cast<int>(RecordKind::kEnterFolder):
      if (!IsSafePathComponent(record->name) || stack_.size() >= kMaxDepth) return false;
      stack_.push_back(record->name);
      return sink_.MakeFolder(Current());
    case static_cast<int>(RecordKind::kLeaveFolder):
      stack_.pop_back();
      if (stack_.empty()) phase_ = Phase::kDone;
      return true;
    case static_cast<int>(RecordKind::kFile):
      if (!IsSafePathComponent(record->name)) return false;
      // The current folder normally exists already; create it if it does not.
      if (!sink_.MakeFolder(Current())) return false;
      if (!sink_.OpenFile(Current() / record->name)) return false;
      remaining_ = record->size;
      phase_ = Phase::kContent;
      return true;
    default: return true;  // other kinds carry nothing and are passed over
  }
}

std::size_t UploadMachine::Feed(std::string_view bytes, Result& result) {
  std::size_t used = 0;
  for (;;) {
    switch (phase_) {
      case Phase::kDone: result = Result::kDone; return used;
      case Phase::kFailed: result = Result::kFailed; return used;
      case Phase::kStart:
        if (!Start()) {
          result = Fail();
          return used;
        }
        continue;
      case Phase::kContent: {
        if (remaining_ == 0) {
          if (!sink_.CloseFile()) {
            result = Fail();
            return used;
          }
          EndContent();
          continue;
        }
        if (used == bytes.size()) break;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size() - used));
        if (!sink_.Write(bytes.substr(used, n))) {
          result = Fail();
          return used;
        }
        used += n;
        remaining_ -= n;
        continue;
      }
      case Phase::kLength: {
        if (used == bytes.size()) break;
        const std::size_t n = std::min<std::size_t>(4 - buffer_.size(), bytes.size() - used);
        buffer_.append(bytes.substr(used, n));
        used += n;
        if (buffer_.size() < 4) break;
        auto length = ParseRecordLength(buffer_);
        if (!length) {
          result = Fail();
          return used;
        }
        recordLength_ = *length;
        buffer_.clear();
        phase_ = Phase::kBody;
        continue;
      }
      case Phase::kBody: {
        const std::size_t want = recordLength_ - 4;
        if (buffer_.size() < want) {
          if (used == bytes.size()) break;
          const std::size_t n = std::min(want - buffer_.size(), bytes.size() - used);
          buffer_.append(bytes.substr(used, n));
          used += n;
          if (buffer_.size() < want) break;
        }
        const bool ok = OnRecord();
        buffer_.clear();
        if (!ok) {
          result = Fail();
          return used;
        }
        continue;
      }
    }
    // Every byte given has been taken and more are needed.
    result = Result::kNeedMore;
    return used;
  }
}

// --- DiskSink -------------------------------------------------------------------

bool DiskSink::MakeFolder(const fs::path& rel) {
  std::error_code ec;
  fs::create_directories(base_ / rel, ec);
  return !ec && fs::is_directory(base_ / rel, ec);
}

bool DiskSink::OpenFile(const fs::path& rel) {
  file_.Reset(::open((base_ / rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  written_ = writtenBack_ = 0;
  return file_.Valid();
}

bool DiskSink::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(file_.Get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    Appended(static_cast<std::uint64_t>(n));
  }
  return true;
}

void DiskSink::Appended(std::uint64_t n) {
  written_ += n;
  constexpr std::uint64_t kWriteBackStep = 8u << 20;
  if (written_ - writtenBack_ >= kWriteBackStep) {
    // Only starts the write-back (it does not wait for it) and makes
    // nothing durable by itself; a failure here shows again in the sync.
    ::sync_file_range(file_.Get(), static_cast<off_t>(writtenBack_), static_cast<off_t>(written_ - writtenBack_),
                      SYNC_FILE_RANGE_WRITE);
    writtenBack_ = written_;
  }
}

bool DiskSink::CloseFile() {
  if (!file_.Valid()) return false;
  return ::close(file_.Release()) == 0;
}

// --- Syncing ----------------------------------------------------------------------

namespace {

bool SyncPath(const fs::path& path, bool folder) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0)));
  return fd.Valid() && ::fsync(fd.Get()) == 0;
}

}  // namespace

bool SyncReceivedItem(const fs::path& uploadFolder) {
  std::error_code ec;
  fs::recursive_directory_iterator it(uploadFolder, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    auto st = it->symlink_status(ec);
    if (ec) return false;
    if (fs::is_directory(st) || fs::is_regular_file(st)) {
      if (!SyncPath(it->path(), fs::is_directory(st))) return false;
    }
  }
  if (ec) return false;
  return SyncPath(uploadFolder, true) && SyncPath(uploadFolder.parent_path(), true) &&
         SyncPath(uploadFolder.parent_path().parent_path(), true);
}

// --- Upload folders ---------------------------------------------------------------

std::string UploadStamp(double oleDate) {
  return std::to_string(static_cast<long long>(std::floor(oleDate * 20000.0)));
}

std::optional<fs::path> CreateUploadFolder(const fs::path& recipientDir, std::string stamp,
                                           ActiveFolders::Registration& registration) {
  // mkdir either creates the folder or reports that the name is taken, so
  // two uploads in the same step can never end up sharing a folder. Each
  // name is registered before it can exist, so the cleanup never sees the
  // new folder unprotected.
  for (int attempt = 0; attempt < 256; ++attempt) {
    fs::path candidate = recipientDir / stamp;
    registration = ActiveFolders::Registration(candidate);
    if (::mkdir(candidate.c_str(), 0700) == 0) return candidate;
    registration.Release();
    if (errno != EEXIST) return std::nullopt;
    stamp += '1';
  }
  return std::nullopt;
}

// --- The session ------------------------------------------------------------------

namespace {

// A header that cannot be accepted: fails at once, so the connection is
// closed without anything stored.
class RefusedUpload : public UploadSession {
 public:
  std::size_t Consume(std::string_view, State& state) override {
    state = State::kFailed;
    return 0;
  }
  void Finish() override {}
  void Abort() override {}
};

class OfflineUpload : public UploadSession {
 public:
  OfflineUpload(const OfflineOwners& owners, TransferHeader header, bool folder, std::uint64_t size,
                fs::path uploadFolder, ActiveFolders::Registration registration)
      : owners_(owners),
        header_(std::move(header)),
        uploadFolder_(std::move(uploadFolder)),
        registration_(std::move(registration)),
        sink_(uploadFolder_),
        machine_(sink_, header_.name, folder, size) {}

  // Destroyed unsettled when the server stops before the job that would
  // finish or abort the upload has run (the job pool discards it): what was
  // received is removed here, as Abort would, so a half-received item never
  // outlives the process.
  ~OfflineUpload() override {
    if (settled_) return;
    sink_.CloseFile();
    std::error_code ec;
    fs::remove_all(uploadFolder_, ec);
    if (ec) NoteQuietFailure("upload", "an unfinished upload's folder was not removed: " + ec.message());
  }
  OfflineUpload(const OfflineUpload&) = delete;
  OfflineUpload& operator=(const OfflineUpload&) = delete;

  std::size_t Consume(std::string_view bytes, State& state) override {
    UploadMachine::Result r;
    std::size_t used = machine_.Feed(bytes, r);
    state = r == UploadMachine::Result::kDone     ? State::kDone
            : r == UploadMachine::Result::kFailed ? State::kFailed
                                                  : State::kNeedMore;
    return used;
  }

  DirectTarget Direct() override {
    const std::uint64_t remaining = machine_.ContentRemaining();
    if (remaining == 0 || sink_.FileDescriptor() < 0) return {};
    return {sink_.FileDescriptor(), remaining};
  }

  void WroteDirect(std::uint64_t n, State& state) override {
    sink_.Appended(n);
    machine_.ContentWritten(n);
    Consume({}, state);
  }

  void Finish() override {
    settled_ = true;
    OfflineFileRow row;
    row.FromUser = header_.fromUser;
    row.FromNick = header_.fromNick;
    row.ToUser = header_.toUser;
    row.FileType = header_.kind;
    row.FileName = header_.name;
    row.FilePath = (uploadFolder_ / header_.name).string();
    // The content reaches the disk before the row that announces it.
    bool stored = false;
    if (SyncReceivedItem(uploadFolder_)) {
      MutexLock lock(owners_.offlineFilesLock);
      row.SendTime = FormatDbTime(Clock::now());
      Status inserted = OfflineTables(owners_.db).InsertFile(row);
      stored = inserted.IsOk();
      // Without its row the item could never be delivered: it is removed
      // below (as it is when it could not be synced). The sender is told
      // nothing (an upload has no reply), so the loss is written down here.
      if (!stored) {
        NoteQuietFailure("offline file upload",
                         "item for " + row.ToUser + " not stored, its row was refused: " + inserted.Message());
      }
    }
    if (!stored) owners_.removal.Remove(RemovalService::Kind::kFolder, uploadFolder_);
    registration_.Release();
  }

  void Abort() override {
    settled_ = true;
    sink_.CloseFile();
    // The upload folder was created by this upload alone: remove all of it.
    owners_.removal.Remove(RemovalService::Kind::kFolder, uploadFolder_);
    registration_.Release();
  }

 private:
  const OfflineOwners owners_;
  const TransferHeader header_;
  const fs::path uploadFolder_;
  ActiveFolders::Registration registration_;
  DiskSink sink_;
  UploadMachine machine_;
  bool settled_ = false;  // Finish or Abort has run
};

}  // namespace

std::unique_ptr<UploadSession> MakeUploadSession(const OfflineOwners& owners, std::string_view headerText,
                                                 std::size_t bodySize) {
  if (bodySize > kMaxUploadHeaderBytes || headerText.size() > kMaxUploadHeaderBytes) {
    return std::make_unique<RefusedUpload>();
  }
  auto header = ParseTransferHeader(headerText);
  if (!header) return std::make_unique<RefusedUpload>();
  if (Trim(header->toUser).empty()) return nullptr;  // nothing for anyone: read nothing more
  if (!IsSafePathComponent(header->toUser)) return std::make_unique<RefusedUpload>();
  auto size = ParseInt64(header->size);
  if (!size) return std::make_unique<RefusedUpload>();
  const bool file = header->kind == "1";
  const bool folder = header->kind == "2";
  if ((file || folder) && !IsSafePathComponent(header->name)) return std::make_unique<RefusedUpload>();
  if (file && *size < 0) return std::make_unique<RefusedUpload>();

  // Private folders; a link planted under the recipient's name would send
  // the upload elsewhere, so it is refused rather than followed.
  const fs::path recipientDir = owners.offlineFilesDir / header->toUser;
  if (!MakePrivateFolder(owners.offlineFilesDir, false).IsOk() || !MakePrivateFolder(recipientDir, true).IsOk()) {
    return std::make_unique<RefusedUpload>();
  }

  ActiveFolders::Registration registration;
  std::optional<fs::path> uploadFolder =
      CreateUploadFolder(recipientDir, UploadStamp(ToOleDate(Clock::now())), registration);
  if (!uploadFolder) return std::make_unique<RefusedUpload>();

  if (!file && !folder) {
    // Neither a file nor a folder: the empty upload folder stays until the
    // cleanup, and nothing more is read.
    registration.Release();
    return nullptr;
  }
  return std::make_unique<OfflineUpload>(owners, std::move(*header), folder,
                                         static_cast<std::uint64_t>(file ? *size : 0), std::move(*uploadFolder),
                                         std::move(registration));
}

}  // namespace corvan
