#include "file_handover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "admin/admin_commands.h"
#include "admin/maintenance.h"
#include "base/unique_fd.h"
#include "storage/private_files.h"
#include "storage/schema.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

Status IoFailure(const fs::path& path, int code) {
  return Status(StatusCode::kIoFailed, path.string() + ": " + std::generic_category().message(code));
}

AdminReply Refusal(const std::string& failure, const std::string& reason) {
  AdminReply r;
  r.message = failure + "：" + reason;
  r.caption = std::string(kMaintenanceCaption);
  r.exitCode = kExitRefused;
  return r;
}

bool HasFlag(const std::vector<std::string>& argv, std::string_view flag) {
  for (const auto& a : argv)
    if (a == flag) return true;
  return false;
}

// Copies everything readable from `in` (the file `from`) into the existing
// file `to`, then syncs it. A failure names the file at fault.
Status CopyInto(int in, const fs::path& from, const fs::path& to) {
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!out.Valid()) return IoFailure(to, errno);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return IoFailure(from, errno);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.Get(), buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return IoFailure(to, errno);
      done += w;
    }
  }
  if (::fsync(out.Get()) != 0) return IoFailure(to, errno);
  if (::close(out.Release()) != 0) return IoFailure(to, errno);
  return Status::Ok();
}

// A new private file for a copy in transit in the data folder.
Result<fs::path> MakeTransferFile(const fs::path& home, const std::string& ending) {
  std::string pattern = (home / "corvanctl-transfer.XXXXXX").string() + ending;
  int fd = ::mkostemps(pattern.data(), static_cast<int>(ending.size()), O_CLOEXEC);
  if (fd < 0) return IoFailure(home, errno);
  ::close(fd);
  return fs::path(pattern);
}

// Every mention of the copy in transit in a reply names the caller's file
// instead.
void NameTheCallersFile(AdminReply& reply, const std::string& transfer, const std::string& file) {
  auto replaceIn = [&](std::string& text) {
    for (std::size_t at = text.find(transfer); at != std::string::npos; at = text.find(transfer, at + file.size()))
      text.replace(at, transfer.size(), file);
  };
  replaceIn(reply.message);
  for (auto& line : reply.lines) replaceIn(line);
}

std::optional<std::size_t> WordIndex(const std::vector<std::string>& argv, std::size_t word) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (argv[i].rfind("--", 0) == 0) continue;
    if (seen++ == word) return i;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> FileHandover::AbsoluteFile(std::vector<std::string> argv) {
  if (auto word = FileWordOf(argv)) {
    std::error_code ec;
    fs::path absolute = fs::absolute(argv[word->index], ec);
    if (!ec) argv[word->index] = absolute.string();
  }
  return argv;
}

FileHandover::FileHandover(fs::path home, Identity& identity) : home_(std::move(home)), identity_(identity) {}

FileHandover::~FileHandover() { Discard(); }

void FileHandover::Discard() {
  if (transfer_.empty()) return;
  std::error_code ec;
  fs::remove(transfer_, ec);
  transfer_.clear();
  transferSource_.clear();
}

AdminReply FileHandover::Run(const std::vector<std::string>& argv, const Runner& run) {
  std::optional<FileWord> word = FileWordOf(argv);
  if (!word) return run(argv);
  return word->outbound ? Export(*word, argv, run) : Import(*word, argv, run);
}

AdminReply FileHandover::Export(const FileWord& word, std::vector<std::string> argv, const Runner& run) {
  const fs::path target = word.backup ? BackupTargetName(argv[word.index]) : fs::path(argv[word.index]);
  fs::path partial;
  {
    Identity::CallerScope caller(identity_);
    if (!caller.Entered().IsOk()) return Refusal(word.failure, caller.Entered().Message());
    std::error_code ec;
    if (!HasFlag(argv, "--yes") && !HasFlag(argv, "--force") && fs::exists(target, ec)) {
      AdminReply ask;
      ask.message = std::string(kBackupExists);
      ask.caption = std::string(kMaintenanceCaption);
      ask.exitCode = kExitConfirm;
      ask.data.Set("confirm", true);
      return ask;
    }
    if (Status usable = CheckBackupTarget(target, home_ / kDatabaseFileName); !usable.IsOk())
      return Refusal(word.failure, usable.Message());
    Result<fs::path> made = MakePrivateTemporary(target);
    if (!made.IsOk()) return Refusal(word.failure, made.GetStatus().Message());
    partial = made.Value();
  }
  auto removePartial = [&] {
    Identity::CallerScope caller(identity_);
    std::error_code ec;
    fs::remove(partial, ec);
  };

  Result<fs::path> transfer = MakeTransferFile(home_, word.ending);
  if (!transfer.IsOk()) {
    removePartial();
    return Refusal(word.failure, transfer.GetStatus().Message());
  }
  transfer_ = transfer.Value();
  argv[word.index] = transfer_.string();
  // The copy in transit was made for this: no question about replacing it.
  if (!HasFlag(argv, "--yes")) argv.emplace_back("--yes");
  AdminReply reply = run(argv);
  NameTheCallersFile(reply, transfer_.string(), target.string());
  if (reply.data.IsObject() && !reply.data["file"].IsNull()) reply.data.Set("file", target.string());

  if (reply.ok) {
    Identity::CallerScope caller(identity_);
    Status delivered = caller.Entered();
    if (delivered.IsOk()) {
      UniqueFd in(::open(transfer_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      delivered = in.Valid() ? CopyInto(in.Get(), transfer_, partial) : IoFailure(transfer_, errno);
    }
    std::error_code ec;
    if (delivered.IsOk()) {
      fs::rename(partial, target, ec);
      if (ec) delivered = Status(StatusCode::kIoFailed, target.string() + ": " + ec.message());
    }
    if (!delivered.IsOk()) {
      fs::remove(partial, ec);
      reply = Refusal(word.failure, delivered.Message());
    }
  } else {
    removePartial();
  }
  Discard();
  return reply;
}

AdminReply FileHandover::Import(const FileWord& word, std::vector<std::string> argv, const Runner& run) {
  const std::string source = argv[word.index];
  if (transfer_.empty() || transferSource_ != source) {
    Discard();
    UniqueFd in;
    {
      Identity::CallerScope caller(identity_);
      if (!caller.Entered().IsOk()) return Refusal(word.failure, caller.Entered().Message());
      in = UniqueFd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
      if (!in.Valid()) return Refusal(word.failure, IoFailure(source, errno).Message());
      struct stat st {};
      if (::fstat(in.Get(), &st) != 0) return Refusal(word.failure, IoFailure(source, errno).Message());
      if (!S_ISREG(st.st_mode))
        return Refusal(word.failure, IoFailure(source, S_ISDIR(st.st_mode) ? EISDIR : EINVAL).Message());
    }
    Result<fs::path> transfer = MakeTransferFile(home_, word.ending);
    if (!transfer.IsOk()) return Refusal(word.failure, transfer.GetStatus().Message());
    transfer_ = transfer.Value();
    transferSource_ = source;
    if (Status copied = CopyInto(in.Get(), source, transfer_); !copied.IsOk()) {
      Discard();
      return Refusal(word.failure, copied.Message());
    }
  }
  argv[word.index] = transfer_.string();
  AdminReply reply = run(argv);
  NameTheCallersFile(reply, transfer_.string(), source);
  // Asked to confirm: the same copy serves the answer.
  if (reply.exitCode != kExitConfirm) Discard();
  return reply;
}

std::optional<FileHandover::FileWord> FileHandover::FileWordOf(const std::vector<std::string>& argv) {
  auto first = WordIndex(argv, 0);
  if (!first) return std::nullopt;
  const std::string& command = argv[*first];
  FileWord word;
  std::optional<std::size_t> index;
  if (command == "backup" || command == "restore") {
    index = WordIndex(argv, 1);
    word.outbound = command == "backup";
    word.backup = word.outbound;
    word.failure = std::string(word.outbound ? kBackupFailed : kRestoreFailed);
    word.ending = ".mdb";
  } else if (command == "user") {
    auto sub = WordIndex(argv, 1);
    if (!sub || (argv[*sub] != "import" && argv[*sub] != "export")) return std::nullopt;
    index = WordIndex(argv, 2);
    word.outbound = argv[*sub] == "export";
    word.failure = word.outbound ? "无法写入文件" : "无法读取文件";
    word.ending = ".csv";
  }
  if (!index) return std::nullopt;
  word.index = *index;
  return word;
}

}  // namespace corvan
