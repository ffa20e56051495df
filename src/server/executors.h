// Where the server's work runs: the io loop and its threads, the request
// pool with the two serial request lanes, the job pool with the two offline
// lanes, and the pool for calls that wait on another server.
//
// Thread rules: every Post* may be called from any thread. `JoinPools` and
// `StopIo` are called once, by the owner, at teardown: the pools first
// (their jobs may still post to io), then the loop.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace corvan {

struct ExecutorSizes {
  int ioThreads = 2;
  int requestThreads = 4;
  int jobThreads = 16;
  // Calls that wait on another server: threads of their own, and how many
  // more may wait for one.
  int outboundThreads = 4;
  int outboundQueue = 64;
};

class Executors {
 public:
  // Starts the io threads; the pools start with their first job.
  explicit Executors(const ExecutorSizes& sizes);
  // Joins whatever the owner has not joined yet; a failed join ends the
  // process.
  ~Executors();  // NOLINT(bugprone-exception-escape)
  Executors(const Executors&) = delete;
  Executors& operator=(const Executors&) = delete;

  asio::io_context& Io() { return io_; }
  // A short job on the job pool (notices, deliveries, purges).
  void PostJob(std::function<void()> job);
  // Runs `job` on the job pool after `delay`, without holding a thread
  // meanwhile.
  void PostJobAfter(std::chrono::milliseconds delay, std::function<void()> job);
  // A call that waits on another server, such as a bind to the
  // organisation's directory. It runs on a small pool of its own, so that
  // when that server hangs nothing else waits. False, and `job` is dropped,
  // when `outboundThreads` calls run and `outboundQueue` more wait.
  bool PostOutboundCall(std::function<void()> job);
  // Outbound calls queued or running now.
  int OutboundCalls() const { return outboundPending_.load(); }
  // Request parsing and unlocked handlers.
  void PostRequest(std::function<void()> job);
  // The serial lanes of requests that run under OnlineLock / AccountLock.
  void PostOnlineLane(std::function<void()> job);
  void PostAccountLane(std::function<void()> job);
  // Serial lanes on the job pool for work that takes OfflineInfoLock /
  // OfflineFilesLock: jobs queued on one lock wait in the lane, not on pool
  // threads, so they never starve the other jobs.
  void PostOfflineInfoLane(std::function<void()> job);
  void PostOfflineFilesLane(std::function<void()> job);

  // Lets every queued and running job end, outbound calls first (they end
  // by posting to the lanes and jobs). Posts after this are dropped.
  void JoinPools();
  // Stops the io loop and joins its threads.
  void StopIo();

 private:
  const ExecutorSizes sizes_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> ioThreads_;
  asio::thread_pool requests_;
  asio::thread_pool lanes_;
  asio::strand<asio::thread_pool::executor_type> onlineLane_;
  asio::strand<asio::thread_pool::executor_type> accountLane_;
  asio::thread_pool jobs_;
  asio::strand<asio::thread_pool::executor_type> offlineInfoLane_;
  asio::strand<asio::thread_pool::executor_type> offlineFilesLane_;
  asio::thread_pool outbound_;
  std::atomic<int> outboundPending_{0};  // queued or running on outbound_
};

}  // namespace corvan
