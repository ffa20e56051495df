// The web console's maintenance routes: the backup as a download, the
// restore as an upload, and the directory sync started on the server's job
// pool with its progress and its last reports. Each runs the administration
// command of the same name (admin/command_table.h), so the checks, the
// questions, the messages and the audit rows are those of every other front
// end. The web names no file: the copies it makes lie in the data folder
// under fresh private names and are removed when the call ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "admin/admin_commands.h"
#include "admin/command_table.h"
#include "admin/maintenance.h"
#include "base/quiet_failure.h"
#include "base/unique_fd.h"
#include "server/server_core.h"
#include "storage/private_files.h"
#include "web/api.h"
#include "web/http_policy.h"
#include "web/json_reply.h"

namespace corvan {

namespace fs = std::filesystem;
using HttpRequest = httplib::Request;
using httplib::Response;

namespace {

// Bytes read from the backup copy per write to the connection.
constexpr std::size_t kDownloadChunk = 64 * 1024;

// A file of the web's own in the data folder, removed when the call ends.
class ScratchFile {
 public:
  explicit ScratchFile(fs::path path) : path_(std::move(path)) {}
  ~ScratchFile() {
    std::error_code ec;
    if (fs::remove(path_, ec); ec) NoteQuietFailure("web console scratch file", path_.string() + ": " + ec.message());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// The name the browser saves a backup under.
std::string DownloadName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return std::string("corvan-backup-") + stamp + ".mdb";
}

// The message of a reply that carries a file, for a header: UTF-8 with
// every byte outside unreserved ASCII as %XX (decodeURIComponent reads it).
std::string PercentEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Writes all of `data` to `fd`; the system's error number, or 0.
int WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

JsonValue ReportToJson(const SyncReport& r) {
  JsonValue o;
  o.Set("run", r.run);
  o.Set("started", r.started);
  o.Set("ended", r.ended);
  o.Set("actor", r.actor);
  o.Set("dryRun", r.dryRun);
  o.Set("removeMissing", r.removeMissing);
  o.Set("ok", r.ok);
  o.Set("summary", r.summary);
  JsonValue lines{JsonValue::Array{}};
  for (const std::string& l : r.lines) lines.Push(JsonValue(l));
  o.Set("lines", std::move(lines));
  return o;
}

}  // namespace

void WebApi::InstallMaintenance(httplib::Server& server) {
  server.Get("/api/backup", [this](const HttpRequest& req, Response& res) { Backup(req, res); });
  server.Post(std::string(kRestorePath), [this](const HttpRequest& req, Response& res,
                                                const httplib::ContentReader& body) { Restore(req, res, body); });
  server.Post("/api/sync", [this](const HttpRequest& req, Response& res) { StartSync(req, res); });
  server.Get("/api/sync", [this](const HttpRequest& req, Response& res) { SyncState(req, res); });
}

void WebApi::Backup(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, false);
  if (!session) return;
  AdminContext context;
  context.actor = Actor::Web(session->admin, req.remote_addr);
  const fs::path target = core_.Home() / ("web-backup-" + RandomToken().substr(0, 16) + ".mdb");
  JsonValue args;
  args.Set("file", target.string());
  AdminReply reply = RunNamedCommand(core_, "backup", args, context, false);
  ScratchFile copy(target);
  if (!reply.ok) return SendJson(res, 500, ReplyToJson(reply));
  // The copy is open before its name goes: what the browser has not read
  // yet stays readable through the descriptor, and nothing is left behind
  // when the download is abandoned.
  auto fd = std::make_shared<UniqueFd>(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (!fd->Valid() || ::fstat(fd->Get(), &st) != 0) {
    const std::string why = target.string() + ": " + std::generic_category().message(errno);
    return SendJson(res, 500, ReplyToJson(CommandReply(false, std::string(kBackupFailed) + "：" + why, kExitRefused)));
  }
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Corvan-Message", PercentEncoded(reply.message));
  res.set_header("Content-Disposition", "attachment; filename=\"" + DownloadName() + "\"");
  res.set_content_provider(static_cast<std::size_t>(st.st_size), "application/octet-stream",
                           [fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             std::string chunk(std::min(length, kDownloadChunk), '\0');
                             ssize_t n = ::pread(fd->Get(), chunk.data(), chunk.size(), static_cast<off_t>(offset));
                             if (n <= 0) return false;  // the connection is closed short of the length
                             return sink.write(chunk.data(), static_cast<std::size_t>(n));
                           });
}

void WebApi::Restore(const HttpRequest& req, Response& res, const httplib::ContentReader& body) {
  std::optional<WebSession> session = Authenticate(req, res, true);
  if (!session) return;
  AdminContext context;
  context.actor = Actor::Web(session->admin, req.remote_addr);
  // The upload's file: made first, empty and private, in the data folder.
  Result<fs::path> made = MakePrivateTemporary(core_.Home() / "web-restore.mdb");
  if (!made.IsOk()) {
    return SendJson(res, 500,
                    ReplyToJson(CommandReply(false, std::string(kRestoreFailed) + "：" + made.GetStatus().Message(),
                                             kExitRefused)));
  }
  ScratchFile upload(made.Value());
  JsonValue args;
  args.Set("file", upload.Path().string());
  // The restore's own checks come before the upload is read: the refusal
  // while the server runs, or its question when not yet answered.
  AdminReply asked = RunNamedCommand(core_, "restore", args, context, false);
  if (asked.exitCode != kExitConfirm || req.get_param_value("yes") != "1") {
    res.set_header("Connection", "close");  // the body, if one was sent, is not read
    return SendJson(res, 200, ReplyToJson(asked));
  }
  UniqueFd fd(::open(upload.Path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
  std::size_t received = 0;
  bool tooLarge = false;
  int writeError = fd.Valid() ? 0 : errno;
  const bool read = writeError == 0 && body([&](const char* data, std::size_t size) {
                      received += size;
                      if (received > kMaxRestoreBytes) {
                        tooLarge = true;
                        return false;
                      }
                      writeError = WriteAll(fd.Get(), data, size);
                      return writeError == 0;
                    });
  fd.Reset();
  if (tooLarge || res.status == 413) {
    res.set_header("Connection", "close");
    return SendError(res, 413, "请求过大");
  }
  if (writeError != 0) {
    const std::string why = upload.Path().string() + ": " + std::generic_category().message(writeError);
    res.set_header("Connection", "close");
    return SendJson(res, 500, ReplyToJson(CommandReply(false, std::string(kRestoreFailed) + "：" + why, kExitRefused)));
  }
  if (!read) return SendError(res, 400, "上传未完成");
  args.Set("yes", true);
  SendJson(res, 200, ReplyToJson(RunNamedCommand(core_, "restore", args, context, false)));
}

void WebApi::StartSync(const HttpRequest& req, Response& res) {
  std::optional<WebSession> session = Authenticate(req, res, true);
  if (!session) return;
  std::optional<JsonValue> body = JsonBody(req, res);
  if (!body) return;
  Result<ParsedCommand> parsed = ParseNamedCommand("directory-sync", *body, true);
  if (!parsed.IsOk())
    return SendJson(res, 400, ReplyToJson(CommandReply(false, parsed.GetStatus().Message(), kExitUsage)));
  const bool dryRun = parsed.Value().args["dryRun"].AsBool();
  const bool removeMissing = parsed.Value().args["removeMissing"].AsBool();
  std::optional<std::uint64_t> run = syncRuns_->Begin(session->admin, dryRun, removeMissing, EpochSeconds());
  if (!run) return SendError(res, 409, "目录同步正在进行，请等它结束");
  // The sync reads the directory and writes the database for as long as it
  // takes: on the server's job pool, not on this request's thread.
  core_.Run().PostJob([&core = core_, runs = syncRuns_, command = std::move(parsed).Value(),
                       actor = Actor::Web(session->admin, req.remote_addr)] {
    AdminContext context;
    context.actor = actor;
    context.progress = [runs](int done, int total) { runs->Progress(done, total); };
    // A failure inside the command comes back as its refusal.
    AdminReply reply = RunParsedCommand(core, command, context);
    runs->Finish(reply.ok, std::move(reply.message), std::move(reply.lines), EpochSeconds());
  });
  JsonValue out;
  out.Set("ok", true);
  out.Set("run", *run);
  SendJson(res, 202, out);
}

void WebApi::SyncState(const HttpRequest& req, Response& res) {
  if (!Authenticate(req, res, false)) return;
  SyncProgress p = syncRuns_->Current();
  JsonValue out;
  out.Set("running", p.running);
  out.Set("run", p.run);
  out.Set("dryRun", p.dryRun);
  out.Set("actor", p.actor);
  out.Set("started", p.started);
  out.Set("done", p.done);
  out.Set("total", p.total);
  JsonValue reports{JsonValue::Array{}};
  for (const SyncReport& r : syncRuns_->Reports()) reports.Push(ReportToJson(r));
  out.Set("reports", std::move(reports));
  SendJson(res, 200, out);
}

}  // namespace corvan
