// A throttle of failed logins: once a key (an account name, a peer address)
// has failed a number of times it waits before it may try again, the wait
// doubling with each further failure up to a ceiling. A key that has not failed for a while
// is forgotten, and so is one whose login succeeds.
//
// Pure bookkeeping over time points the caller passes in, so it is tested
// without clocks or sleeps. Not thread-safe: the owner keeps it under its
// own lock. The number of keys held is bounded; when full, the key that
// failed longest ago makes room.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace corvan {

class FailureBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  struct Policy {
    int freeFailures = 5;                            // failures before the first wait
    std::chrono::milliseconds firstWait{30000};      // the wait after the last of those
    std::chrono::milliseconds maxWait{900000};       // the wait never grows beyond this
    std::chrono::milliseconds forgetAfter{3600000};  // a key quiet this long starts afresh
    std::size_t maxKeys = 10000;
  };

  FailureBackoff() = default;
  explicit FailureBackoff(Policy policy) : policy_(policy) {}

  // How long `key` must still wait at `now` before its next attempt; zero
  // when it may try now.
  std::chrono::milliseconds Wait(const std::string& key, Clock::time_point now) const;
  // Records a failed attempt of `key` at `now`.
  void Failed(const std::string& key, Clock::time_point now);
  // A successful login: the key starts afresh.
  void Succeeded(const std::string& key) { keys_.erase(key); }

  std::size_t KeyCount() const { return keys_.size(); }

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
  };
  std::chrono::milliseconds WaitAfter(int failures) const;
  void MakeRoom(Clock::time_point now);

  Policy policy_;
  std::unordered_map<std::string, Entry> keys_;
};

}  // namespace corvan
