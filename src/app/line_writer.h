// Lines written to a descriptor from a thread of their own.
//
// The status log is written to standard output, which a service manager
// hands to its journal: a journal slow to read, or a full pipe, makes every
// write wait. The status log takes its lines on the request lanes (a login
// writes one under `OnlineLock`), so it must never wait for the descriptor.
// `LineWriter::Write` only appends to a buffer; the writer's thread writes
// what has gathered within a few milliseconds with one call. The lines keep their order. At most
// `maxBytes` wait: beyond that, `Write` waits for room, so nothing is lost
// and memory stays bounded. `Flush` and the destructor write everything
// handed over.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

#include "base/thread_annotations.h"

namespace corvan {

class LineWriter {
 public:
  explicit LineWriter(int fd, std::size_t maxBytes = 4 * 1024 * 1024);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Hands over `line` and a line break.
  void Write(std::string_view line);
  // Returns once everything handed over has been written (or found
  // unwritable).
  void Flush();

 private:
  void Run();

  const int fd_;
  const std::size_t maxBytes_;
  Mutex mutex_;
  std::condition_variable_any changed_;
  std::string pending_ CORVAN_GUARDED_BY(mutex_);
  bool writing_ CORVAN_GUARDED_BY(mutex_) = false;  // the thread holds a batch
  bool stopping_ CORVAN_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace corvan
