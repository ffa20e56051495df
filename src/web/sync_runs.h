// The directory syncs started from the web console: the one running now
// with its progress, and the reports of the last few runs, newest first.
// The run itself goes on the server's job pool; the page polls this state.
//
// Thread rules: one lock of its own, held only to copy in and out; the job
// that runs a sync holds the object by shared ownership.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/thread_annotations.h"

namespace corvan {

struct SyncReport {
  std::uint64_t run = 0;     // numbered from 1 since the server started
  std::int64_t started = 0;  // seconds since the epoch
  std::int64_t ended = 0;
  std::string actor;  // the web administrator who started it
  bool dryRun = false;
  bool removeMissing = false;
  bool ok = false;
  std::string summary;
  std::vector<std::string> lines;  // the plan, or what was done
};

struct SyncProgress {
  bool running = false;
  std::uint64_t run = 0;  // the run going on, else the last one started
  bool dryRun = false;
  std::string actor;
  std::int64_t started = 0;
  int done = 0;
  int total = 0;
};

class SyncRuns {
 public:
  static constexpr std::size_t kKeptReports = 10;

  // Takes the turn for a new run: its number, or nothing while another runs
  // (one sync at a time; a second would only wait for the first).
  std::optional<std::uint64_t> Begin(std::string actor, bool dryRun, bool removeMissing, std::int64_t now)
      CORVAN_EXCLUDES(mutex_);
  void Progress(int done, int total) CORVAN_EXCLUDES(mutex_);
  // Ends the running run with its outcome (summary and lines) and keeps the
  // report, dropping the oldest beyond kKeptReports.
  void Finish(bool ok, std::string summary, std::vector<std::string> lines, std::int64_t now) CORVAN_EXCLUDES(mutex_);

  SyncProgress Current() const CORVAN_EXCLUDES(mutex_);
  std::vector<SyncReport> Reports() const CORVAN_EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  SyncProgress current_ CORVAN_GUARDED_BY(mutex_);
  bool removeMissing_ CORVAN_GUARDED_BY(mutex_) = false;
  std::deque<SyncReport> reports_ CORVAN_GUARDED_BY(mutex_);  // newest first
};

}  // namespace corvan
