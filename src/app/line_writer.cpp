#include "app/line_writer.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "base/quiet_failure.h"

namespace corvan {

namespace {

// How long the first line of a batch waits for others.
constexpr std::chrono::milliseconds kGather{5};

// Writes all of `bytes`; false when the descriptor refuses them.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

LineWriter::LineWriter(int fd, std::size_t maxBytes) : fd_(fd), maxBytes_(maxBytes), thread_([this] { Run(); }) {}

LineWriter::~LineWriter() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LineWriter::Write(std::string_view line) {
  MutexLock lock(mutex_);
  // A line longer than the bound is let in alone rather than waiting for
  // ever.
  changed_.wait(mutex_, [&]() CORVAN_REQUIRES(mutex_) { return pending_.empty() || pending_.size() < maxBytes_; });
  // The thread is woken by the first line of a batch, and again when the
  // batch is half the bound (it then stops gathering).
  const std::size_t before = pending_.size();
  pending_.append(line);
  pending_ += '\n';
  if (before == 0 || (before < maxBytes_ / 2 && pending_.size() >= maxBytes_ / 2)) changed_.notify_all();
}

void LineWriter::Flush() {
  MutexLock lock(mutex_);
  changed_.wait(mutex_, [&]() CORVAN_REQUIRES(mutex_) { return pending_.empty() && !writing_; });
}

void LineWriter::Run() {
  std::string batch;
  bool refused = false;
  for (;;) {
    {
      MutexLock lock(mutex_);
      writing_ = false;
      changed_.notify_all();
      changed_.wait(mutex_, [&]() CORVAN_REQUIRES(mutex_) { return !pending_.empty() || stopping_; });
      if (pending_.empty()) return;  // stopping, and everything is written
      // A burst of lines (a morning's logins) is gathered a moment longer and
      // written with one call: the writers wake this thread once per batch,
      // not once per line.
      changed_.wait_for(mutex_, kGather,
                        [&]() CORVAN_REQUIRES(mutex_) { return stopping_ || pending_.size() >= maxBytes_ / 2; });
      batch.clear();
      batch.swap(pending_);
      writing_ = true;
    }
    changed_.notify_all();  // room for writers waiting on the bound
    if (!refused && !WriteAll(fd_, batch)) {
      // Standard output closed or gone: the lines stay in the status log in
      // memory; one note says why the journal has no more of them.
      refused = true;
      NoteQuietFailure("status log output", std::error_code(errno, std::generic_category()).message());
    }
  }
}

}  // namespace corvan
