#include "base/failure_backoff.h"

#include <algorithm>

namespace corvan {

std::chrono::milliseconds FailureBackoff::WaitAfter(int failures) const {
  int beyond = failures - policy_.freeFailures + 1;
  if (beyond <= 0) return std::chrono::milliseconds(0);
  std::chrono::milliseconds wait = policy_.firstWait;
  for (int i = 1; i < beyond && wait < policy_.maxWait; ++i) wait *= 2;
  return std::min(wait, policy_.maxWait);
}

std::chrono::milliseconds FailureBackoff::Wait(const std::string& key, Clock::time_point now) const {
  auto it = keys_.find(key);
  if (it == keys_.end() || now - it->second.last >= policy_.forgetAfter) return std::chrono::milliseconds(0);
  auto until = it->second.last + WaitAfter(it->second.failures);
  if (until <= now) return std::chrono::milliseconds(0);
  // Rounded up, so that a caller told to wait never comes back too early.
  return std::chrono::ceil<std::chrono::milliseconds>(until - now);
}

void FailureBackoff::Failed(const std::string& key, Clock::time_point now) {
  auto it = keys_.find(key);
  if (it == keys_.end()) {
    if (keys_.size() >= policy_.maxKeys) MakeRoom(now);
    it = keys_.emplace(key, Entry{}).first;
  } else if (now - it->second.last >= policy_.forgetAfter) {
    it->second.failures = 0;
  }
  it->second.failures = std::min(it->second.failures + 1, 1000);
  it->second.last = now;
}

void FailureBackoff::MakeRoom(Clock::time_point now) {
  std::erase_if(keys_, [&](const auto& item) { return now - item.second.last >= policy_.forgetAfter; });
  if (keys_.size() < policy_.maxKeys) return;
  auto oldest = std::min_element(keys_.begin(), keys_.end(),
                                 [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
  if (oldest != keys_.end()) keys_.erase(oldest);
}

}  // namespace corvan
