// The dashboard's history: one sample a minute of the number of users online
// and of the logins in that minute, kept for seven days in a ring of fixed
// size, so the history never grows beyond it.
//
// Thread rules: the ring has a lock of its own; Add and Since copy in and
// out under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "base/thread_annotations.h"

namespace corvan {

struct Sample {
  std::int64_t time = 0;  // seconds since the epoch
  std::int64_t online = 0;
  std::int64_t logins = 0;  // in the minute before `time`
};

class SampleRing {
 public:
  static constexpr std::size_t kSevenDays = 7 * 24 * 60;

  explicit SampleRing(std::size_t capacity = kSevenDays) : capacity_(capacity == 0 ? 1 : capacity) {}

  void Add(const Sample& sample) CORVAN_EXCLUDES(mutex_);
  // The samples taken at or after `time`, oldest first.
  std::vector<Sample> Since(std::int64_t time) const CORVAN_EXCLUDES(mutex_);
  std::size_t Size() const CORVAN_EXCLUDES(mutex_);

 private:
  const std::size_t capacity_;
  mutable Mutex mutex_;
  std::vector<Sample> ring_ CORVAN_GUARDED_BY(mutex_);
  std::size_t next_ CORVAN_GUARDED_BY(mutex_) = 0;  // where the next sample goes once the ring is full
};

}  // namespace corvan
