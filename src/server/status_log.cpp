#include "server/status_log.h"

#include "base/text.h"

namespace corvan {

void StatusLog::AppendEvent(std::string_view text) {
  std::string line(text);
  line += "时间：";
  line += Now();
  Append(std::move(line));
}

void StatusLog::Append(std::string line) {
  MutexLock lock(mutex_);
  ++sequence_;
  if (sink_) sink_(line);
  lines_.push_back(std::move(line));
  if (lines_.size() > kMaxLines) lines_.clear();
}

void StatusLog::SetSink(Sink sink) {
  MutexLock lock(mutex_);
  sink_ = std::move(sink);
}

std::vector<std::string> StatusLog::Lines() const {
  MutexLock lock(mutex_);
  return lines_;
}

std::uint64_t StatusLog::Sequence() const {
  MutexLock lock(mutex_);
  return sequence_;
}

void StatusLog::Clear() {
  MutexLock lock(mutex_);
  lines_.clear();
}

}  // namespace corvan
