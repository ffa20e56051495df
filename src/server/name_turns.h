// Turns by name on the online lane. A job that must finish work off the lane
// before the next job for the same name may run (a login that asks another
// machine whether the account is live there) holds the name; later jobs for
// that name wait in order behind it, while jobs for other names go on.
//
// Guarded by the lock of the lane that uses it (`OnlineRegistry::OnlineLock`).
// Waiting jobs are run by the one that releases the name, under that lock.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvan {

class NameTurns {
 public:
  using Job = std::function<void()>;

  // Whether a job holds `name` now.
  bool Held(std::string_view name) const {
    auto it = names_.find(std::string(name));
    return it != names_.end() && it->second.held;
  }
  void Hold(const std::string& name) { names_[name].held = true; }
  // Queues `job` until `name` is released (and every job queued before it
  // has had its turn).
  void Wait(const std::string& name, Job job) { names_[name].waiting.push_back(std::move(job)); }
  // Ends the hold of `name`.
  void Release(const std::string& name) {
    auto it = names_.find(name);
    if (it == names_.end()) return;
    it->second.held = false;
    if (it->second.waiting.empty()) names_.erase(it);
  }
  // The next job waiting for `name`, taken off the queue; empty while the
  // name is held or nobody waits. The caller runs it; a job that holds the
  // name again keeps the others waiting.
  Job Next(const std::string& name) {
    auto it = names_.find(name);
    if (it == names_.end() || it->second.held) return {};
    Job job = std::move(it->second.waiting.front());
    it->second.waiting.pop_front();
    if (it->second.waiting.empty()) names_.erase(it);
    return job;
  }
  // How many jobs wait for `name` (for tests).
  std::size_t Waiting(std::string_view name) const {
    auto it = names_.find(std::string(name));
    return it == names_.end() ? 0 : it->second.waiting.size();
  }

 private:
  struct Turn {
    bool held = false;
    std::deque<Job> waiting;
  };
  std::unordered_map<std::string, Turn> names_;
};

}  // namespace corvan
