#include "support/test_server.h"

#include "app/modules_default.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

#include "server/envelope.h"
#include "server/frame.h"
#include "storage/config.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "support/timing.h"

namespace corvan::test {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("corvan-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {

bool Bindable(int type, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  int one = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::uint16_t FreePort() {
  static std::mutex mutex;
  static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  std::lock_guard lock(mutex);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // Outside the kernel's ephemeral range, so a client socket never takes
    // a port a test is about to bind.
    auto port = static_cast<std::uint16_t>(20000 + rng() % 12000);
    if (Bindable(SOCK_STREAM, port) && Bindable(SOCK_DGRAM, port)) return port;
  }
  throw std::runtime_error("no free port");
}

TakenPort TakeAPort() {
  TakenPort taken;
  taken.socket = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof addr;
  if (::bind(taken.socket.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(taken.socket.Get(), 1) != 0 ||
      ::getsockname(taken.socket.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("cannot hold a port");
  taken.port = ntohs(addr.sin_port);
  return taken;
}

void SeedDatabase(const std::filesystem::path& dbPath, const std::vector<SeedUser>& users) {
  Database db;
  if (!OpenDatabase(db, dbPath.string()).IsOk()) throw std::runtime_error("cannot open test database");
  LoadOrgs(db);  // seeds the root and "001"
  DatabaseLock lock(db);
  for (const auto& u : users) {
    Statement a(db, "insert into authreg (username,pwd,nickname,organizeNo,USERID) values(:u,:p,:n,:o,:id)");
    a.BindText(":u", u.username).BindText(":p", u.pwd).BindText(":n", u.nickname).BindText(":o", u.organizeNo);
    a.BindInt64(":id", u.userId);
    a.Run();
    Statement v(db, "insert into vcard (username,organizeNo,nickname) values(:u,:o,:n)");
    v.BindText(":u", u.username).BindText(":o", u.organizeNo).BindText(":n", u.nickname);
    v.Run();
  }
}

TestServer::TestServer() : TestServer(Setup{}) {}

TestServer::TestServer(Setup setup) {
  port_ = FreePort();
  clientPort_ = FreePort();
  offlineInfoPort_ = FreePort();
  offlineFilePort_ = FreePort();
  SeedDatabase(home_.Path() / std::string(kDatabaseFileName), setup.users);
  auto config = home_.Path() / std::string(kConfigFileName);
  WriteConfigValue(config, "ServerPort", std::to_string(port_));
  WriteConfigValue(config, "AllowReg", setup.allowReg ? "True" : "False");
  if (setup.information) WriteConfigValue(config, "Information", *setup.information);
  if (setup.offlineInfoDay) WriteConfigValue(config, "OfflineInfoDay", std::to_string(*setup.offlineInfoDay));

  CoreOptions options;
  options.home = home_.Path();
  options.ClientPort = clientPort_;
  options.OfflineInfoPort = offlineInfoPort_;
  options.OfflineFilePort = offlineFilePort_;
  options.statusInterval = setup.statusInterval;
  options.silenceLimit = setup.silenceLimit;
  options.probeTimeout = setup.probeTimeout;
  options.offlineDeliveryDelay = setup.offlineDeliveryDelay;
  options.jobThreads = 8;
  options.modules = setup.modules ? *setup.modules : DefaultModules();
  options.requests = DefaultRequests();
  if (setup.limits) options.limits = *setup.limits;
  options.outboundThreads = setup.outboundThreads;
  options.outboundQueue = setup.outboundQueue;
  core_ = std::make_unique<ServerCore>(options);
  core_->Lifecycle().OpenDatabase();
  if (setup.start) core_->Lifecycle().FirstShow();
}

TestServer::~TestServer() {
  core_->Fanout().Hold(false);  // a test that held the lane and failed must not hang the stop
  core_.reset();
}

std::vector<std::string> TestServer::LogLines() const { return core_->Log().Lines(); }

bool TestServer::WaitForLog(std::string_view needle, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  do {
    for (const auto& line : core_->Log().Lines()) {
      if (line.find(needle) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

namespace {

sockaddr_in Address(const std::string& ip, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
  return addr;
}

}  // namespace

TcpClient::TcpClient(std::uint16_t port, const std::string& localIp)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!fd_.Valid()) return;
  sockaddr_in local = Address(localIp, 0);
  if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    fd_.Reset();
    return;
  }
  sockaddr_in remote = Address("127.0.0.1", port);
  if (::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) fd_.Reset();
}

void TcpClient::NoDelay() {
  int on = 1;
  ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool TcpClient::SendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool TcpClient::SendFrame(std::string_view body) {
  std::string frame = EncodeFrame(body);
  frame += body;
  return SendRaw(frame);
}

std::optional<std::string> TcpClient::ReadExact(std::size_t n, std::chrono::steady_clock::time_point deadline) {
  while (buffered_.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[65536];
    ssize_t r = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (r <= 0) return std::nullopt;
    buffered_.append(buf, static_cast<std::size_t>(r));
  }
  std::string out = buffered_.substr(0, n);
  buffered_.erase(0, n);
  return out;
}

std::optional<std::string> TcpClient::ReadFrame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  std::string line;
  for (;;) {
    auto c = ReadExact(1, deadline);
    if (!c) return std::nullopt;
    if ((*c)[0] == '\n') break;
    line += *c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::size_t n = std::stoul(line);
  return ReadExact(n, deadline);
}

bool TcpClient::WaitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t r = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (r <= 0) return true;
  }
}

UdpPeer::UdpPeer(const std::string& ip, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (!fd_.Valid()) return;
  int one = 1;
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = Address(ip, port);
  if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd_.Reset();
}

std::optional<std::string> UdpPeer::Receive(std::chrono::milliseconds timeout) {
  std::string ip;
  std::uint16_t port = 0;
  return ReceiveFrom(ip, port, timeout);
}

std::optional<std::string> UdpPeer::ReceiveFrom(std::string& ip, std::uint16_t& port,
                                                std::chrono::milliseconds timeout) {
  pollfd p{fd_.Get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(Scaled(timeout).count())) <= 0) return std::nullopt;
  std::string buf(65536, '\0');
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = ::recvfrom(fd_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(from.sin_port);
  return buf;
}

bool UdpPeer::SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes) {
  sockaddr_in addr = Address(ip, port);
  return ::sendto(fd_.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
         static_cast<ssize_t>(bytes.size());
}

std::string Request(std::string_view type, const std::vector<std::pair<std::string, std::string>>& fields) {
  EnvelopeWriter w(type);
  for (const auto& [name, value] : fields) w.Field(name, value);
  return w.Finish();
}

std::optional<std::string> ReplyField(std::string_view document, std::string_view name) {
  auto env = ParsedEnvelope::Read(document);
  if (!env) return std::nullopt;
  return env->Field(name);
}

}  // namespace corvan::test
