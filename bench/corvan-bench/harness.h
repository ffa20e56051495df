// Running a scenario: the server (or a limit server) under test, and the
// coroutine helpers every scenario uses. Each scenario is one function that
// prepares, drives and reports, bounded in count and time.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "support.h"

namespace corvan::bench {

struct Options {
  bool smoke = false;
  std::filesystem::path server;  // corvan-server
  std::filesystem::path limit;   // corvan-limit-server
  int clients = -1;              // -1: the scenario's default
  int accounts = -1;
  double seconds = -1;  // phase length
  std::uint64_t fileBytes = 0;
  bool keep = false;       // keep data folders and logs
  bool idleLogin = false;  // idle: log in over TCP instead of coming online by heartbeat
  double rate = -1;        // crowd: logins and logouts per second
};

// The server under test: a fresh data folder with `accounts` accounts, the
// program started headless on a free port, stopped on destruction.
class ServerUnderTest {
 public:
  ServerUnderTest(const Options& options, int accounts, std::vector<std::string> env = {});
  ~ServerUnderTest();
  std::uint16_t Port() const { return port_; }
  pid_t Pid() const { return process_->Pid(); }
  const std::filesystem::path& Home() const { return home_.Path(); }
  // Without counting descriptors (`fds` false) it is cheap enough for every
  // second of a run with 20,000 of them.
  ProcSample Sample(bool fds = true) const { return SampleProc(process_->Pid(), fds); }
  // Stops the server; returns its exit status (-1 if it had to be killed).
  int Stop();

 private:
  TempFolder home_;
  std::uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
  bool keep_;
};

// A limit server (bench/limits) started with `args` on a free port.
class LimitServer {
 public:
  LimitServer(const Options& options, const std::string& mode, std::vector<std::string> args);
  std::uint16_t Port() const { return port_; }
  pid_t Pid() const { return process_->Pid(); }
  const std::filesystem::path& Folder() const { return folder_.Path(); }

 private:
  TempFolder folder_;
  std::uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
};

// A scenario's size: the one given on the command line (above 0), else the
// normal or the smoke size.
int Pick(int configured, int normal, int smoke, bool isSmoke);
// The <User> elements of a "GetOnlineUserlist" reply.
int CountUsers(std::string_view reply);

// Waits until something accepts TCP connections on 127.0.0.1:`port`.
bool WaitListening(std::uint16_t port, ChildProcess& process, std::chrono::seconds limit);

// Runs `body` on `io` until it ends or `seconds` pass. True when it ended;
// an exception it threw is printed and counts as not ended.
bool Drive(asio::io_context& io, std::function<awaitable<void>()> body, double seconds);

awaitable<void> Sleep(std::chrono::steady_clock::duration d);

// Runs f(0..n-1) with at most `limit` calls in flight; a call that throws
// adds to the returned failure count.
awaitable<int> ForEachLimited(int n, int limit, std::function<awaitable<void>(int)> f);

// Makes `n` simulated machines (starting at machine `first`) and binds their
// ports, unless `bind` is false. Their notice sockets are read on `noticeIo`
// when given.
std::vector<std::unique_ptr<SimClient>> MakeClients(asio::io_context& io, NoticeBoard& board, int first, int n,
                                                    bool messages, bool files, bool bind = true,
                                                    asio::io_context* noticeIo = nullptr);

// Runs the simulated machines' notice sockets on a thread of their own at a
// lower priority, apart from the thread that sends the requests and takes the
// replies' times: a reply is then timed when it arrives, not after the
// generator has worked through the notices that arrived with it, and while
// replies are due the notices get the CPU that is left. Start and Stop may
// alternate; while it is stopped, notices wait in the sockets' buffers and
// the NoticeBoard and the clients' counts may be read and reset from any
// thread. Give it an io_context that outlives the clients, and stop it (or
// destroy it) before the clients go.
class NoticeThread {
 public:
  explicit NoticeThread(asio::io_context& io) : io_(io) {}
  NoticeThread(const NoticeThread&) = delete;
  NoticeThread& operator=(const NoticeThread&) = delete;
  ~NoticeThread() { Stop(); }
  asio::io_context& Io() { return io_; }
  void Start();
  // Returns when the thread has finished the handler it was in and ended.
  void Stop();

 private:
  asio::io_context& io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread thread_;
};

// The time of the last "Online" notice once `board`, counted on `notices`'
// thread, holds `expected` of them. The count is read on that thread; the
// caller's coroutine polls for the answer every 5 ms.
awaitable<SteadyClock::time_point> OnlineNoticesCounted(NoticeThread& notices, NoticeBoard& board,
                                                        std::uint64_t expected);

// This process's open-files limit.
std::uint64_t OpenFilesLimit();

// Adds how the server ended; anything but status 0 (a crash at stop, a
// server that had to be killed) makes the run incomplete.
void ReportStop(Report& report, int status);

// The scenarios. Each prints its report; false when it was incomplete.
bool LoginStorm(const Options& o);
bool Directory(const Options& o);
bool Heartbeats(const Options& o);
bool Idle(const Options& o);
bool OfflineMorning(const Options& o);
bool Evening(const Options& o);
bool Files(const Options& o);
bool Relogins(const Options& o);
bool Crowd(const Options& o);

}  // namespace corvan::bench
