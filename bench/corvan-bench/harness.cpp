#include "harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace corvan::bench {

int Pick(int configured, int normal, int smoke, bool isSmoke) {
  if (configured > 0) return configured;
  return isSmoke ? smoke : normal;
}

int CountUsers(std::string_view reply) {
  int n = 0;
  for (auto pos = reply.find("<User>"); pos != std::string_view::npos; pos = reply.find("<User>", pos + 1)) ++n;
  return n;
}

bool WaitListening(std::uint16_t port, ChildProcess& process, std::chrono::seconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  while (SteadyClock::now() < deadline) {
    if (!process.Alive()) return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ServerUnderTest::ServerUnderTest(const Options& options, int accounts, std::vector<std::string> env)
    : home_("corvan-bench"), port_(FreeServerPort()), keep_(options.keep) {
  const auto started = SteadyClock::now();
  PrepareDataFolder(home_.Path(), accounts, 20, port_);
  std::filesystem::create_directories(home_.Path() / "xdg");
  env.push_back("CORVAN_HEADLESS=1");
  env.push_back("CORVAN_HOME=" + home_.Path().string());
  env.push_back("XDG_CONFIG_HOME=" + (home_.Path() / "xdg").string());
  process_ =
      std::make_unique<ChildProcess>(options.server, std::vector<std::string>{}, env, home_.Path() / "server.log");
  if (!WaitListening(port_, *process_, std::chrono::seconds(30)))
    throw std::runtime_error("the server did not start; see " + (home_.Path() / "server.log").string());
  std::cout << "  server pid " << process_->Pid() << " port " << port_ << ", " << accounts << " accounts, ready in "
            << Fixed(SecondsSince(started), 2) << " s" << (keep_ ? ", data in " + home_.Path().string() : "")
            << std::endl;
  if (keep_) home_.Keep();
}

ServerUnderTest::~ServerUnderTest() { Stop(); }

int ServerUnderTest::Stop() { return process_->Stop(); }

LimitServer::LimitServer(const Options& options, const std::string& mode, std::vector<std::string> args)
    : folder_("corvan-limit"), port_(FreeServerPort()) {
  args.insert(args.begin(), {mode, "--port", std::to_string(port_)});
  process_ =
      std::make_unique<ChildProcess>(options.limit, args, std::vector<std::string>{}, folder_.Path() / "limit.log");
  if (!WaitListening(port_, *process_, std::chrono::seconds(10)))
    throw std::runtime_error("the limit server did not start");
}

bool Drive(asio::io_context& io, std::function<awaitable<void>()> body, double seconds) {
  bool done = false;
  asio::co_spawn(io, std::move(body), [&](std::exception_ptr e) {
    if (e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& ex) {
        std::cout << "  error: " << ex.what() << std::endl;
      }
    } else {
      done = true;
    }
    io.stop();
  });
  io.restart();
  io.run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
  if (!done) std::cout << "  (time limit of " << Fixed(seconds, 0) << " s reached)" << std::endl;
  return done;
}

awaitable<void> Sleep(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(use_awaitable);
}

awaitable<int> ForEachLimited(int n, int limit, std::function<awaitable<void>(int)> f) {
  auto executor = co_await asio::this_coro::executor;
  int next = 0, failures = 0, running = 0;
  asio::steady_timer allDone(executor, SteadyClock::time_point::max());
  const int workers = std::max(1, std::min(n, limit));
  running = workers;
  for (int w = 0; w < workers; ++w) {
    asio::co_spawn(
        executor,
        [&]() -> awaitable<void> {
          while (next < n) {
            const int i = next++;
            try {
              co_await f(i);
            } catch (const std::exception&) {
              ++failures;
            }
          }
        },
        [&](std::exception_ptr) {
          if (--running == 0) allDone.cancel();
        });
  }
  asio::error_code ec;
  if (running > 0) co_await allDone.async_wait(asio::redirect_error(use_awaitable, ec));
  co_return failures;
}

std::vector<std::unique_ptr<SimClient>> MakeClients(asio::io_context& io, NoticeBoard& board, int first, int n,
                                                    bool messages, bool files, bool bind, asio::io_context* noticeIo) {
  std::vector<std::unique_ptr<SimClient>> clients;
  clients.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    clients.push_back(std::make_unique<SimClient>(io, first + i, board, -1, noticeIo));
    if (!bind) continue;
    std::string error;
    if (!clients.back()->Bind(messages, files, error)) throw std::runtime_error("cannot bind " + error);
  }
  return clients;
}

namespace {

// The nice of the notice thread: with both cores busy it gets about a tenth
// of one against a thread at nice 0, and a whole core when it runs alone.
constexpr int kNoticeNice = 10;

}  // namespace

void NoticeThread::Start() {
  if (thread_.joinable()) return;
  io_.restart();
  work_.emplace(io_.get_executor());
  thread_ = std::thread([this] {
    ::pthread_setname_np(::pthread_self(), "notices");
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNoticeNice) != 0)
      std::cout << "  (the notice thread keeps the normal priority: " << std::strerror(errno) << ")" << std::endl;
    io_.run();
  });
}

void NoticeThread::Stop() {
  if (!thread_.joinable()) return;
  work_.reset();
  io_.stop();
  thread_.join();
}

awaitable<SteadyClock::time_point> OnlineNoticesCounted(NoticeThread& notices, NoticeBoard& board,
                                                        std::uint64_t expected) {
  std::future<SteadyClock::time_point> counted = asio::co_spawn(
      notices.Io(),
      [&board, expected]() -> awaitable<SteadyClock::time_point> {
        while (board.online < expected) co_await Sleep(std::chrono::milliseconds(5));
        co_return board.lastOnline;
      },
      asio::use_future);
  while (counted.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    co_await Sleep(std::chrono::milliseconds(5));
  co_return counted.get();
}

void ReportStop(Report& report, int status) {
  std::string text = "status " + std::to_string(status);
  if (status > 128) text += " (signal " + std::to_string(status - 128) + ")";
  if (status < 0) text += " (did not stop within 10 s: killed)";
  report.Line("server stopped", text);
  if (status != 0) report.Incomplete();
}

std::uint64_t OpenFilesLimit() {
  rlimit limit{};
  return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
}

}  // namespace corvan::bench
