// Counters of what the server has done since the process started, for the
// monitoring figures: requests by type, failed replies by type, logins,
// notices sent, directory sync runs, and the jobs waiting in each queue.
//
// Each is a relaxed atomic bumped where the event happens, so counting costs
// the protocol paths one uncontended increment and no lock. Request types are
// counted by their place in the request table (the program has one table);
// a type the table does not hold is counted as "other".
//
// Thread rules: every member may be touched from any thread at any time.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvan {

struct RequestTableEntryCounters {
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> failures{0};  // replies whose result is "Fail"
};

enum class CountedQueue : std::size_t { kRequests, kJobs, kOnlineLane, kAccountLane, kCount };

struct ServerCounters {
  static constexpr std::size_t kMaxTypes = 64;

  // By the index of the type in the request table; the last slot counts the
  // types beyond kMaxTypes - 1.
  std::array<RequestTableEntryCounters, kMaxTypes> byType{};
  std::atomic<std::uint64_t> unknownRequests{0};  // a type no handler serves

  std::atomic<std::uint64_t> logins{0};        // successful client logins
  std::atomic<std::uint64_t> noticesSent{0};   // UDP notices handed to the network
  std::atomic<std::uint64_t> syncRuns{0};      // directory sync runs (dry runs included)
  std::atomic<std::uint64_t> syncFailures{0};  // of those, the ones that failed
  // Jobs posted to a queue and not yet started.
  std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(CountedQueue::kCount)> queued{};

  RequestTableEntryCounters& Type(std::size_t index) { return byType[index < kMaxTypes ? index : kMaxTypes - 1]; }
  std::atomic<std::int64_t>& Queue(CountedQueue q) { return queued[static_cast<std::size_t>(q)]; }
};

// The process's counters.
ServerCounters& Counters();

// Bumps a counter; relaxed, as the figures need no ordering with anything.
inline void Bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
  counter.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace corvan
