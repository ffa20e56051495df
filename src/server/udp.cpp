#include "server/udp.h"

#include "base/quiet_failure.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace corvan {

namespace {

bool MakeAddress(const std::string& ip, std::uint16_t port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, ip.c_str(), &out.sin_addr) == 1;
}

bool SendDatagramOn(int fd, const std::string& ip, std::uint16_t port, std::string_view bytes) {
  sockaddr_in addr{};
  if (fd < 0 || !MakeAddress(ip, port, addr)) return false;
  ssize_t n;
  do {
    n = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

std::uint16_t PortOf(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

}  // namespace

std::uint32_t Ipv4OrZero(const std::string& ip) {
  in_addr address{};
  return inet_pton(AF_INET, ip.c_str(), &address) == 1 ? address.s_addr : 0;
}

std::size_t SendToEachAddress(int fd, const RecipientList& to, std::uint16_t port, std::string_view bytes,
                              std::size_t batch) {
  if (fd < 0) return 0;
  // A loopback datagram costs a few microseconds in the kernel and a system
  // call about as much again, most of it the hypervisor's part of entering
  // the kernel: datagrams go out as many per call as the kernel takes.
  static_assert(kSendBatch <= UIO_MAXIOV);
  const std::size_t perCall = std::min(std::max<std::size_t>(batch, 1), kSendBatch);
  thread_local std::vector<sockaddr_in> addrs(kSendBatch);
  thread_local std::vector<mmsghdr> msgs(kSendBatch);
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  const std::uint16_t netPort = htons(port);
  std::size_t sent = 0;
  while (sent < to.size()) {
    std::size_t count = 0;
    bool badAddress = false;
    for (; count < perCall && sent + count < to.size(); ++count) {
      const std::uint32_t address = to[sent + count];
      if (address == 0) {
        badAddress = true;
        break;
      }
      addrs[count] = sockaddr_in{};
      addrs[count].sin_family = AF_INET;
      addrs[count].sin_port = netPort;
      addrs[count].sin_addr.s_addr = address;
      msgs[count] = mmsghdr{};
      msgs[count].msg_hdr.msg_name = &addrs[count];
      msgs[count].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      msgs[count].msg_hdr.msg_iov = &iov;
      msgs[count].msg_hdr.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < count) {
      int n = ::sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(count - done), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return sent + done;
      for (int i = 0; i < n; ++i) {
        if (msgs[done + static_cast<std::size_t>(i)].msg_len != bytes.size())
          return sent + done + static_cast<std::size_t>(i);
      }
      done += static_cast<std::size_t>(n);
    }
    sent += count;
    if (badAddress) return sent;
  }
  return sent;
}

UdpSocket::UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (!fd_.Valid()) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd_.Reset();
}

bool UdpSocket::SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes) {
  return SendDatagramOn(fd_.Get(), ip, port, bytes);
}

std::size_t UdpSocket::SendToAll(const RecipientList& to, std::uint16_t port, std::string_view bytes) {
  return SendToEachAddress(fd_.Get(), to, port, bytes);
}

std::optional<std::string> UdpSocket::Receive(std::chrono::milliseconds timeout, std::size_t maxBytes) {
  if (!fd_.Valid()) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    pollfd p{fd_.Get(), POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    std::string buf(maxBytes, '\0');
    ssize_t n = ::recv(fd_.Get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
}

std::uint16_t UdpSocket::LocalPort() const { return PortOf(fd_.Get()); }

UdpListener::~UdpListener() { Close(); }

bool UdpListener::Open(std::uint16_t port, Handler handler) {
  Close();
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  // A large receive buffer lets bursts of heartbeats wait instead of being
  // dropped while a handler holds the online lock.
  int size = 4 * 1024 * 1024;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.Valid()) return false;
  fd_ = std::make_shared<const UniqueFd>(std::move(fd));
  wake_ = std::move(wake);
  handler_ = std::move(handler);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void UdpListener::Close() {
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_.Get(), &one, sizeof one);
    thread_.join();
  }
  fd_.reset();
  wake_.Reset();
}

std::uint16_t UdpListener::Port() const { return fd_ ? PortOf(fd_->Get()) : 0; }

bool UdpListener::SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes) {
  return fd_ && SendDatagramOn(fd_->Get(), ip, port, bytes);
}

void UdpListener::Run() {
  // Datagrams are taken in batches: one recvmmsg call instead of one
  // recvfrom per datagram, which under a flood of heartbeats is most of the
  // listener's cost.
  constexpr std::size_t kBatch = 32;
  constexpr std::size_t kSlot = kMaxDatagram + 1;
  std::vector<char> buffers(kBatch * kSlot);
  std::array<sockaddr_in, kBatch> from{};
  std::array<iovec, kBatch> parts{};
  std::array<mmsghdr, kBatch> messages{};
  for (;;) {
    const int fd = fd_->Get();
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    int r = ::poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    if ((p[0].revents & POLLIN) == 0) continue;
    // Drain what is queued before waiting again; a bounded number per round
    // so that a stop request is seen even under a flood.
    for (int round = 0; round < 32; ++round) {
      for (std::size_t i = 0; i < kBatch; ++i) {
        parts[i] = {buffers.data() + i * kSlot, kSlot};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int got = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (got < 0) {
        if (errno == EINTR) continue;
        break;  // EAGAIN: nothing more queued
      }
      for (int i = 0; i < got; ++i) {
        const mmsghdr& m = messages[static_cast<std::size_t>(i)];
        // A datagram longer than the slot arrives truncated and flagged; it
        // is dropped rather than read as its prefix.
        if ((m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.msg_len > kMaxDatagram) continue;
        const sockaddr_in& sender = from[static_cast<std::size_t>(i)];
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, ip, sizeof ip);
        try {
          handler_(std::string_view(buffers.data() + static_cast<std::size_t>(i) * kSlot, m.msg_len), ip,
                   ntohs(sender.sin_port));
        } catch (...) {
          // A failing datagram ends its own handling only: nothing is sent
          // back and nothing reaches the status log.
          NoteQuietFailure("UDP datagram handler");
        }
      }
      if (static_cast<std::size_t>(got) < kBatch) break;  // the queue is empty
    }
  }
}

}  // namespace corvan
