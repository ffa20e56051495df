#include "web/sync_runs.h"

namespace corvan {

std::optional<std::uint64_t> SyncRuns::Begin(std::string actor, bool dryRun, bool removeMissing, std::int64_t now) {
  MutexLock lock(mutex_);
  if (current_.running) return std::nullopt;
  SyncProgress next;
  next.running = true;
  next.run = current_.run + 1;
  next.dryRun = dryRun;
  next.actor = std::move(actor);
  next.started = now;
  current_ = std::move(next);
  removeMissing_ = removeMissing;
  return current_.run;
}

void SyncRuns::Progress(int done, int total) {
  MutexLock lock(mutex_);
  if (!current_.running) return;
  current_.done = done;
  current_.total = total;
}

void SyncRuns::Finish(bool ok, std::string summary, std::vector<std::string> lines, std::int64_t now) {
  MutexLock lock(mutex_);
  if (!current_.running) return;
  current_.running = false;
  SyncReport r;
  r.run = current_.run;
  r.started = current_.started;
  r.ended = now;
  r.actor = current_.actor;
  r.dryRun = current_.dryRun;
  r.removeMissing = removeMissing_;
  r.ok = ok;
  r.summary = std::move(summary);
  r.lines = std::move(lines);
  reports_.push_front(std::move(r));
  while (reports_.size() > kKeptReports) reports_.pop_back();
}

SyncProgress SyncRuns::Current() const {
  MutexLock lock(mutex_);
  return current_;
}

std::vector<SyncReport> SyncRuns::Reports() const {
  MutexLock lock(mutex_);
  return {reports_.begin(), reports_.end()};
}

}  // namespace corvan
