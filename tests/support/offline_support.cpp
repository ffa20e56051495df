#include "support/offline_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace corvan::test {

FakeFileClient::FakeFileClient(std::uint16_t port, std::string answer, std::chrono::milliseconds answerDelay)
    : answer_(std::move(answer)), answerDelay_(answerDelay) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.Get(), 16) != 0) return;
  listener_ = std::move(fd);
  acceptThread_ = std::thread([this] { Accept(); });
}

FakeFileClient::~FakeFileClient() {
  stop_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : workers_) t.join();
}

void FakeFileClient::Accept() {
  while (!stop_) {
    pollfd p{listener_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    UniqueFd c(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!c.Valid()) continue;
    workers_.emplace_back([this, c = std::move(c)]() mutable { Serve(std::move(c)); });
  }
}

void FakeFileClient::Serve(UniqueFd fd) {
  int now = ++open_;
  int seen = maxConcurrent_.load();
  while (now > seen && !maxConcurrent_.compare_exchange_weak(seen, now)) {
  }
  Transfer t;
  bool answered = false;
  std::string buffered;
  auto deadline = std::chrono::steady_clock::now() + Scaled(std::chrono::seconds(5));
  char buf[65536];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    buffered.append(buf, static_cast<std::size_t>(n));
    if (!answered) {
      auto lf = buffered.find('\n');
      if (lf == std::string::npos) continue;
      t.header = buffered.substr(0, lf);
      if (!t.header.empty() && t.header.back() == '\r') t.header.pop_back();
      buffered.erase(0, lf + 1);
      std::this_thread::sleep_for(answerDelay_);
      std::string reply = answer_ + "\r\n";
      ::send(fd.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
      answered = true;
    }
  }
  t.rest = std::move(buffered);
  fd.Reset();
  --open_;
  {
    std::lock_guard lock(mutex_);
    transfers_.push_back(std::move(t));
  }
  changed_.notify_all();
}

std::vector<FakeFileClient::Transfer> FakeFileClient::WaitFor(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, Scaled(timeout), [&] { return transfers_.size() >= n; });
  return transfers_;
}

std::int64_t CountRows(ServerCore& core, const std::string& sql) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), sql);
  return st.Step() ? st.ColumnInt64(0) : -1;
}

bool WaitForRows(ServerCore& core, const std::string& sql, std::int64_t want, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return CountRows(core, sql) == want; }, timeout);
}

std::vector<std::filesystem::path> SubFolders(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory()) out.push_back(it->path());
  }
  return out;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace corvan::test
