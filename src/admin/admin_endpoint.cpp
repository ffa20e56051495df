#include "admin/admin_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "admin/admin_commands.h"
#include "server/server_core.h"

namespace corvan {

namespace fs = std::filesystem;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

Status MakeAddress(const fs::path& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string p = path.string();
  if (p.empty() || p.size() >= sizeof addr.sun_path) {
    return Status(StatusCode::kInvalidInput, "套接字路径过长：" + p);
  }
  std::memcpy(addr.sun_path, p.data(), p.size());
  return Status::Ok();
}

int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Reads up to the first '\n' (not included) within the deadline and the
// size bound. Nothing on time-out, close before the newline, or overflow.
std::optional<std::string> ReadLine(int fd, SteadyClock::time_point deadline) {
  std::string line;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, RemainingMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return std::nullopt;
    std::string_view chunk(buf, static_cast<std::size_t>(got));
    auto nl = chunk.find('\n');
    line.append(chunk.substr(0, nl));
    if (line.size() > kMaxAdminLine) return std::nullopt;
    if (nl != std::string_view::npos) return line;
  }
}

bool WriteAll(int fd, std::string_view bytes, SteadyClock::time_point deadline) {
  while (!bytes.empty()) {
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, RemainingMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool OutOfResources(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

// The wait after an accept failed for want of descriptors or memory, as
// the TCP listener does.
constexpr Ms kAcceptPause{100};

}  // namespace

fs::path AdminSocketPath(const fs::path& home) { return home / kAdminSocketName; }

bool PeerAllowed(uid_t peerUid, uid_t ownUid) { return peerUid == ownUid || peerUid == 0; }

AdminEndpoint::AdminEndpoint(ServerCore& core, Options options)
    : core_(core),
      options_(std::move(options)),
      ownUid_(options_.ownUid == static_cast<uid_t>(-1) ? ::geteuid() : options_.ownUid) {}

AdminEndpoint::~AdminEndpoint() { Stop(); }

Status AdminEndpoint::Start() {
  if (thread_.joinable()) return Status::Ok();
  sockaddr_un addr;
  if (Status address = MakeAddress(options_.socketPath, addr); !address.IsOk()) return address;
  auto fail = [&](const char* what) {
    Status failed(StatusCode::kIoFailed, std::string(what) + ": " + std::generic_category().message(errno));
    listen_.Reset();
    wake_.Reset();
    return failed;
  };
  // A socket file left by a server that ended without removing it. The
  // caller holds the instance lock, so no other server uses it. Anything
  // that is not a socket is left alone.
  struct stat st {};
  if (::lstat(options_.socketPath.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      return fail((options_.socketPath.string() + " 不是套接字").c_str());
    }
    ::unlink(options_.socketPath.c_str());
  }
  listen_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_.Valid()) return fail("socket");
  if (::bind(listen_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
  // Before listen(): until then no client can connect, whatever the mode.
  if (::chmod(options_.socketPath.c_str(), 0600) != 0) {
    ::unlink(options_.socketPath.c_str());
    return fail("chmod");
  }
  if (::listen(listen_.Get(), 16) != 0) {
    ::unlink(options_.socketPath.c_str());
    return fail("listen");
  }
  wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.Valid()) {
    ::unlink(options_.socketPath.c_str());
    return fail("eventfd");
  }
  thread_ = std::thread([this] { Run(); });
  return Status::Ok();
}

void AdminEndpoint::Stop() {
  if (!thread_.joinable()) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
  listen_.Reset();
  wake_.Reset();
  ::unlink(options_.socketPath.c_str());
}

void AdminEndpoint::Run() {
  for (;;) {
    pollfd p[2] = {{listen_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    UniqueFd client(::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.Valid()) {
      if (OutOfResources(errno)) {
        // The waiting connection stays queued and the socket stays
        // readable: polling again at once would spin. Wait for descriptors
        // or memory to free up, or for the stop.
        pollfd w{wake_.Get(), POLLIN, 0};
        if (::poll(&w, 1, static_cast<int>(kAcceptPause.count())) > 0) return;
      }
      continue;
    }
    Serve(std::move(client));
  }
}

void AdminEndpoint::Serve(UniqueFd client) {
  auto deadline = SteadyClock::now() + options_.ioTimeout;
  ucred cred{};
  socklen_t len = sizeof cred;
  AdminReply reply;
  reply.exitCode = kExitRefused;
  bool allowed =
      ::getsockopt(client.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && PeerAllowed(cred.uid, ownUid_);
  // The request is read even from a refused peer: closing with its bytes
  // unread would reset the connection and lose the refusal.
  auto line = ReadLine(client.Get(), deadline);
  if (!line) return;  // stalled, closed or oversized: nothing to answer
  auto request = allowed ? DecodeRequest(*line) : std::nullopt;
  if (!allowed) {
    reply.message = "拒绝访问：用户不符";
  } else if (!request) {
    reply.message = "无法理解的请求";
    reply.exitCode = kExitUsage;
  } else {
    try {
      // The caller, as the audit log names it: the peer's uid and its user
      // name.
      AdminContext context{true, request->input, Actor::Corvanctl(cred.uid)};
      reply = request->command.empty() ? RunAdminCommand(core_, request->argv, context)
                                       : RunNamedCommand(core_, request->command, request->args, context, false);
    } catch (const std::exception& e) {
      reply = AdminReply{};
      reply.message = e.what();
    }
  }
  WriteAll(client.Get(), EncodeReply(reply), SteadyClock::now() + options_.ioTimeout);
}

Result<AdminReply> CallAdminEndpoint(const fs::path& socketPath, const AdminRequest& request, Ms timeout) {
  auto fail = [](std::string why) -> Result<AdminReply> { return Status(StatusCode::kIoFailed, std::move(why)); };
  sockaddr_un addr;
  if (Status address = MakeAddress(socketPath, addr); !address.IsOk()) return address;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fail(std::generic_category().message(errno));
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail(socketPath.string() + ": " + std::generic_category().message(errno));
  auto deadline = SteadyClock::now() + timeout;
  if (!WriteAll(fd.Get(), EncodeRequest(request), deadline)) return fail("无法发送请求");
  auto line = ReadLine(fd.Get(), deadline);
  if (!line) return fail("服务器没有回答");
  auto reply = DecodeReply(*line);
  if (!reply) return fail("无法理解服务器的回答");
  return std::move(*reply);
}

}  // namespace corvan
