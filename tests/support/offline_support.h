// Test helpers for offline delivery: a fake client file port that records
// what the server sends, and small readers of the offline tables.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/server_core.h"
#include "server/udp.h"
#include "support/timing.h"

namespace corvan::test {

// Listens on 127.0.0.1:port like a client's file port. Each connection: reads
// the header line, answers `answer` + CR LF, then reads everything up to the
// close (bounded by a few seconds).
class FakeFileClient {
 public:
  struct Transfer {
    std::string header;  // the header line without its CR LF
    std::string rest;    // everything after the answer, "START" line included
  };

  FakeFileClient(std::uint16_t port, std::string answer = "OK",
                 std::chrono::milliseconds answerDelay = std::chrono::milliseconds(0));
  ~FakeFileClient();
  bool Listening() const { return listener_.Valid(); }
  // Waits until `n` transfers have ended; returns those seen so far.
  std::vector<Transfer> WaitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The most connections that were open at the same time.
  int MaxConcurrent() const { return maxConcurrent_.load(); }

 private:
  void Accept();
  void Serve(UniqueFd fd);

  UniqueFd listener_;
  std::string answer_;
  std::chrono::milliseconds answerDelay_;
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0};
  std::atomic<int> maxConcurrent_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Transfer> transfers_;   // guarded by mutex_
  std::vector<std::thread> workers_;  // touched by the accept thread, joined at destruction
  std::thread acceptThread_;
};

// Number of rows `sql` counts (one integer column).
std::int64_t CountRows(ServerCore& core, const std::string& sql);
// Polls until CountRows(sql) == want.
bool WaitForRows(ServerCore& core, const std::string& sql, std::int64_t want,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Polls until `predicate` holds.
template <class P>
bool WaitUntil(P predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
// The folders directly inside `dir` (none when it does not exist).
std::vector<std::filesystem::path> SubFolders(const std::filesystem::path& dir);
// Whole content of a file.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace corvan::test
