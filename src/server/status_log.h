// The status log: one line per server event, callable from any thread.
//
// `Append` never waits for the thread that shows the lines: it stores the
// line and hands it to the sink under the log's own mutex, so lines reach the
// sink in the order they were made. The sink must be quick and must not call
// back into the log (the console's sink queues the line to the window thread;
// the headless sink writes it to standard output). The log keeps the lines it
// would show: more than 1000 lines empty it, as the window's log does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/thread_annotations.h"

namespace corvan {

class StatusLog {
 public:
  using Sink = std::function<void(const std::string& line)>;
  static constexpr std::size_t kMaxLines = 1000;

  // Adds one line (already holding its "时间：" and timestamp).
  void Append(std::string line);
  // Adds `text` + "时间：" + the current timestamp.
  void AppendEvent(std::string_view text);

  // Sets the function that shows new lines (may be empty).
  void SetSink(Sink sink);

  // The lines currently held, oldest first, and the total number of lines
  // ever appended (so a reader can ask for what is new).
  std::vector<std::string> Lines() const;
  std::uint64_t Sequence() const;
  void Clear();

 private:
  mutable Mutex mutex_{LockRank::kStatusLog, "status log"};
  std::vector<std::string> lines_ CORVAN_GUARDED_BY(mutex_);
  std::uint64_t sequence_ CORVAN_GUARDED_BY(mutex_) = 0;
  Sink sink_ CORVAN_GUARDED_BY(mutex_);
};

}  // namespace corvan
