#include "web/samples.h"

namespace corvan {

void SampleRing::Add(const Sample& sample) {
  MutexLock lock(mutex_);
  if (ring_.size() < capacity_) {
    ring_.push_back(sample);
    return;
  }
  ring_[next_] = sample;
  next_ = (next_ + 1) % capacity_;
}

std::vector<Sample> SampleRing::Since(std::int64_t time) const {
  MutexLock lock(mutex_);
  std::vector<Sample> out;
  for (std::size_t i = 0; i < ring_.size(); ++i) {
    const Sample& s = ring_[(next_ + i) % ring_.size()];
    if (s.time >= time) out.push_back(s);
  }
  return out;
}

std::size_t SampleRing::Size() const {
  MutexLock lock(mutex_);
  return ring_.size();
}

}  // namespace corvan
