// corvan-limit-server: the machine's own limits, for the load generator's
// ratios. It does the least any server could do with the same bytes:
//
//   reply  --port P (--reply-size N | --reply-file F)
//          reads count-line frames and answers each with one prepared reply
//          (N bytes of body behind its count line, or the file's bytes as they
//          are); no parsing beyond the count line, no work.
//   sink   --port P --file F   one connection: socket to file (write-back
//                               started every 8 MiB), sync of the file and its
//                               folder, then close.
//   source --port P --file F   one connection: file to socket, then close.
//   fanout --port P --plan F [--senders N]
//                               one connection, then from one thread the
//                               plan's datagrams by sendmmsg (as many per call
//                               as the kernel takes, one socket, nothing else
//                               to do); answers "<datagrams> <seconds>
//                               <cpu seconds>" and closes. With N senders,
//                               N threads, each with a socket of its own,
//                               share the addresses by their value, as the
//                               server's senders do. The plan: u32
//                               address count, the IPv4 addresses (network
//                               order), u32 notice count, then per notice u32
//                               recipients (the first that many addresses),
//                               u32 length and the datagram; counts in host
//                               order.
//
// (A sink or source connection that closes before its first byte is the
// generator's readiness probe and is skipped.)
//
// Listens on 127.0.0.1 only. Runs until the generator stops it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using asio::ip::tcp;

class ReplySession : public std::enable_shared_from_this<ReplySession> {
 public:
  ReplySession(tcp::socket socket, const std::string& reply) : socket_(std::move(socket)), reply_(reply) {}
  void Start() { Read(); }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
      if (ec) return;
      self->buffer_.append(self->chunk_, n);
      self->Frames();
    });
  }

  // Answers every complete frame buffered, then reads on.
  void Frames() {
    std::size_t answers = 0;
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl == std::string::npos) break;
      const std::size_t count = std::strtoull(buffer_.c_str(), nullptr, 10);
      if (buffer_.size() < nl + 1 + count) break;
      buffer_.erase(0, nl + 1 + count);
      ++answers;
    }
    if (answers == 0) return Read();
    out_.clear();
    for (std::size_t i = 0; i < answers; ++i) out_ += reply_;
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](asio::error_code ec, std::size_t) {
      if (!ec) self->Read();
    });
  }

  tcp::socket socket_;
  const std::string& reply_;
  std::string buffer_;
  std::string out_;
  char chunk_[65536];
};

void Accept(tcp::acceptor& acceptor, const std::string& reply) {
  acceptor.async_accept([&](asio::error_code ec, tcp::socket socket) {
    if (!ec) {
      socket.set_option(tcp::no_delay(true));
      std::make_shared<ReplySession>(std::move(socket), reply)->Start();
    }
    Accept(acceptor, reply);
  });
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Plain blocking copies with a 256 KiB buffer. Into a file (`toFile`), the
// kernel's write-back is started every 8 MiB, as the server does for an
// upload, so the sync at the end does not write the whole file at once.
bool Copy(int from, int to, bool toFile = false) {
  std::vector<char> buffer(256 * 1024);
  off_t written = 0, writtenBack = 0;
  for (;;) {
    ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) return false;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w <= 0) return false;
      done += w;
    }
    written += n;
    if (toFile && written - writtenBack >= (8 << 20)) {
      ::sync_file_range(to, writtenBack, written - writtenBack, SYNC_FILE_RANGE_WRITE);
      writtenBack = written;
    }
  }
}

// The fan-out plan: every datagram to a prefix of one address list.
struct FanoutPlan {
  std::vector<std::uint32_t> addresses;
  struct Notice {
    std::uint32_t recipients;
    std::string datagram;
  };
  std::vector<Notice> notices;
};

bool ReadPlan(const std::string& path, FanoutPlan& plan) {
  std::ifstream in(path, std::ios::binary);
  auto u32 = [&](std::uint32_t& v) { return static_cast<bool>(in.read(reinterpret_cast<char*>(&v), sizeof v)); };
  std::uint32_t n = 0;
  if (!u32(n)) return false;
  plan.addresses.resize(n);
  if (!in.read(reinterpret_cast<char*>(plan.addresses.data()), static_cast<std::streamsize>(n * sizeof(std::uint32_t))))
    return false;
  if (!u32(n)) return false;
  for (std::uint32_t i = 0; i < n; ++i) {
    FanoutPlan::Notice notice;
    std::uint32_t length = 0;
    if (!u32(notice.recipients) || !u32(length) || notice.recipients > plan.addresses.size()) return false;
    notice.datagram.resize(length);
    if (!in.read(notice.datagram.data(), length)) return false;
    plan.notices.push_back(std::move(notice));
  }
  return true;
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sends the plan to `port` of the addresses that belong to sender `sender` of
// `senders` (by their host-order value); returns the datagrams that left.
std::uint64_t SendShare(const FanoutPlan& plan, unsigned short port, unsigned sender, unsigned senders) {
  Fd socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (socket.fd < 0) return 0;
  constexpr std::size_t kBatch = UIO_MAXIOV;
  std::vector<sockaddr_in> addrs(kBatch);
  std::vector<mmsghdr> msgs(kBatch);
  std::uint64_t sent = 0;
  for (const auto& notice : plan.notices) {
    iovec iov{const_cast<char*>(notice.datagram.data()), notice.datagram.size()};
    for (std::size_t from = 0; from < notice.recipients;) {
      std::size_t count = 0;
      for (; from < notice.recipients && count < kBatch; ++from) {
        if (ntohl(plan.addresses[from]) % senders != sender) continue;
        const std::size_t i = count++;
        addrs[i] = sockaddr_in{};
        addrs[i].sin_family = AF_INET;
        addrs[i].sin_port = htons(port);
        addrs[i].sin_addr.s_addr = plan.addresses[from];
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = &addrs[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        msgs[i].msg_hdr.msg_iov = &iov;
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      std::size_t done = 0;
      while (done < count) {
        const int n = ::sendmmsg(socket.fd, msgs.data() + done, static_cast<unsigned>(count - done), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return sent;
        done += static_cast<std::size_t>(n);
        sent += static_cast<std::uint64_t>(n);
      }
    }
  }
  return sent;
}

// Sends the whole plan from `senders` threads; returns the datagrams that
// left.
std::uint64_t SendPlan(const FanoutPlan& plan, unsigned short port, unsigned senders) {
  std::vector<std::uint64_t> sent(senders);
  std::vector<std::thread> threads;
  for (unsigned s = 0; s < senders; ++s) threads.emplace_back([&, s] { sent[s] = SendShare(plan, port, s, senders); });
  for (std::thread& t : threads) t.join();
  std::uint64_t total = 0;
  for (const std::uint64_t n : sent) total += n;
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  unsigned short port = 0;
  std::string file, replyFile, plan;
  unsigned short noticePort = 1875;
  long long replySize = -1;
  unsigned senders = 1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--port") port = static_cast<unsigned short>(std::atoi(argv[i + 1]));
    else if (a == "--file") file = argv[i + 1];
    else if (a == "--reply-file") replyFile = argv[i + 1];
    else if (a == "--reply-size") replySize = std::atoll(argv[i + 1]);
    else if (a == "--plan") plan = argv[i + 1];
    else if (a == "--senders") senders = static_cast<unsigned>(std::clamp(std::atoi(argv[i + 1]), 1, 64));
    else if (a == "--notice-port") noticePort = static_cast<unsigned short>(std::atoi(argv[i + 1]));
  }
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
  if (mode == "reply") {
    std::string reply;
    if (!replyFile.empty()) {
      std::ifstream in(replyFile, std::ios::binary);
      reply.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (replySize >= 0) {
      reply = std::to_string(replySize) + "\r\n" + std::string(static_cast<std::size_t>(replySize), 'x');
    } else {
      return 2;
    }
    Accept(acceptor, reply);
    // As many I/O threads as the server under test has.
    std::thread second([&] { io.run(); });
    io.run();
    second.join();
    return 0;
  }
  if (mode == "fanout") {
    FanoutPlan fanout;
    if (!ReadPlan(plan, fanout)) return 2;
    for (;;) {
      tcp::socket socket = acceptor.accept();
      char go = 0;
      asio::error_code ec;
      if (asio::read(socket, asio::buffer(&go, 1), ec) != 1) continue;  // a readiness probe
      const double cpu0 = CpuSeconds();
      const auto t0 = std::chrono::steady_clock::now();
      const std::uint64_t sent = SendPlan(fanout, noticePort, senders);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const std::string report =
          std::to_string(sent) + " " + std::to_string(seconds) + " " + std::to_string(CpuSeconds() - cpu0) + "\n";
      asio::write(socket, asio::buffer(report), ec);
      return 0;
    }
  }
  if (mode == "sink" || mode == "source") {
    // A connection that closes without a byte is a readiness probe: skip it.
    // The sink's client sends the content; the source's client sends one
    // byte to ask for the file.
    for (;;) {
      tcp::socket socket = acceptor.accept();
      const int s = socket.native_handle();
      int flags = ::fcntl(s, F_GETFL);
      ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
      char first;
      if (::read(s, &first, 1) != 1) continue;
      if (mode == "sink") {
        // Synced like a stored upload: the file, then the folder naming it.
        Fd out{::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        if (out.fd < 0 || ::write(out.fd, &first, 1) != 1 || !Copy(s, out.fd, true) || ::fsync(out.fd) != 0) return 1;
        Fd folder{::open(std::filesystem::path(file).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        if (folder.fd < 0 || ::fsync(folder.fd) != 0) return 1;
      } else {
        Fd in{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
        if (in.fd < 0 || !Copy(in.fd, s)) return 1;
      }
      socket.close();
      return 0;
    }
  }
  return 2;
}
