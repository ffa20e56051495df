// Receiving an offline file or folder.
//
// `UploadMachine` is the upload's state machine over the received bytes: the
// file's content, or the `TransferRecord` stream of a folder. It does no I/O
// of its own; it tells an `UploadSink` which folders and files to create and
// hands it the content in the pieces it was given, so the content goes
// straight to disk and is never gathered in memory. `DiskSink` is the sink
// that writes below one upload folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "offline/active_folders.h"
#include "offline/transfer_format.h"
#include "server/udp.h"

namespace corvan {

struct OfflineOwners;
class UploadSession;

// Where an upload writes. Paths are relative to the upload folder. Each call
// returns false on failure, which ends the upload.
class UploadSink {
 public:
  virtual ~UploadSink() = default;
  // Creates the folder with any missing parents (no-op when it exists).
  virtual bool MakeFolder(const std::filesystem::path& rel) = 0;
  // Creates (or truncates) the file and makes it the target of Write.
  virtual bool OpenFile(const std::filesystem::path& rel) = 0;
  virtual bool Write(std::string_view bytes) = 0;
  virtual bool CloseFile() = 0;
};

class UploadMachine {
 public:
  enum class Result { kNeedMore, kDone, kFailed };
  // Folders nested deeper than this below the item are refused.
  static constexpr std::size_t kMaxDepth = 128;

  // A file upload of `fileSize` bytes, or (folder = true) a folder stream.
  UploadMachine(UploadSink& sink, std::string itemName, bool folder, std::uint64_t fileSize);

  // Takes a prefix of `bytes` and reports where the upload stands. After
  // kDone the bytes not taken belong to whatever follows on the connection.
  // After kDone or kFailed nothing more is taken.
  std::size_t Feed(std::string_view bytes, Result& result);

  // While a file's content is expected: how many bytes of it are still to
  // come; 0 otherwise.
  std::uint64_t ContentRemaining() const { return phase_ == Phase::kContent ? remaining_ : 0; }
  // Records `n` (at most ContentRemaining()) content bytes the sink received
  // by other means than Write. A following Feed, even of no bytes, moves on
  // past the file's end.
  void ContentWritten(std::uint64_t n) { remaining_ -= std::min(n, ContentRemaining()); }

 private:
  enum class Phase { kStart, kContent, kLength, kBody, kDone, kFailed };

  Result Fail();
  std::filesystem::path Current() const;
  bool Start();
  // Acts on a complete record in buffer_; false on failure.
  bool OnRecord();
  void EndContent();

  UploadSink& sink_;
  const std::string itemName_;
  const bool folder_;
  const std::uint64_t fileSize_;

  Phase phase_ = Phase::kStart;
  std::uint64_t remaining_ = 0;     // content bytes still to come
  std::size_t recordLength_ = 0;    // whole record, the four digits included
  std::string buffer_;              // the length digits, then the record body
  bool topRecordSeen_ = false;      // the top folder's own record is skipped
  std::vector<std::string> stack_;  // current folder, relative to the upload folder
};

// Writes below one upload folder with plain POSIX calls. Every few MiB of a
// file it starts the kernel's write-back of what came before, so a large
// file is mostly on disk already when it is synced at the end.
class DiskSink : public UploadSink {
 public:
  explicit DiskSink(std::filesystem::path base) : base_(std::move(base)) {}
  bool MakeFolder(const std::filesystem::path& rel) override;
  bool OpenFile(const std::filesystem::path& rel) override;
  bool Write(std::string_view bytes) override;
  bool CloseFile() override;

  // The open file's descriptor (-1 when none), for content moved into it
  // without passing through Write.
  int FileDescriptor() const { return file_.Get(); }
  // Accounts for `n` bytes appended to the open file through
  // FileDescriptor(), as Write does for its own.
  void Appended(std::uint64_t n);

 private:
  std::filesystem::path base_;
  UniqueFd file_;
  std::uint64_t written_ = 0;      // bytes written to the open file
  std::uint64_t writtenBack_ = 0;  // bytes whose write-back has been started
};

// Syncs a received item to disk: every file and folder below
// `uploadFolder`, the folder itself, and the two folders above it (the
// recipient's folder, which names the upload folder, and the offline-files
// folder, which names the recipient's). Links are not followed. False when
// anything could not be opened or synced. An upload's row is written only
// after this succeeded, so a row never points at a file a power cut could
// leave short.
bool SyncReceivedItem(const std::filesystem::path& uploadFolder);

// The name of an upload folder for an OLE date: the whole part of the date
// times 20000 (one step is 4.32 seconds).
std::string UploadStamp(double oleDate);

// Creates the upload folder below `recipientDir` in one step: tries the
// stamp, and while that name is taken appends "1" and tries again. The
// folder is registered in `registration` as in use. Nothing when no folder
// could be created.
std::optional<std::filesystem::path> CreateUploadFolder(const std::filesystem::path& recipientDir, std::string stamp,
                                                        ActiveFolders::Registration& registration);

// The session for an "OfflineFiles" frame (see offline.h: BeginUpload).
std::unique_ptr<UploadSession> MakeUploadSession(const OfflineOwners& owners, std::string_view headerText,
                                                 std::size_t bodySize);

}  // namespace corvan
