// Some failures end an operation quietly by design: the client gets no reply
// (or the one already sent stands), the status log stays as it was and the
// server carries on. They still leave a trace for whoever runs the server:
// one line on standard error (the journal, under systemd) naming where the
// failure happened and what it was. A burst of them (a client sending one
// malformed request after another) is cut to a few lines a minute, followed
// by a count of the lines left out.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvan {

// The exception being handled, for a catch block: its what() text, or
// "unknown exception" for one that is not a std::exception. Never throws.
std::string CurrentExceptionText() noexcept;

// How many lines may be written per window of time. Not thread-safe; the
// process-wide budget is kept under a mutex by NoteQuietFailure.
class QuietFailureBudget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit QuietFailureBudget(std::size_t linesPerWindow = 20, std::chrono::seconds window = std::chrono::seconds(60))
      : linesPerWindow_(linesPerWindow), window_(window) {}

  // Whether a line may be written at `now`. When a new window opens,
  // `leftOut` receives how many lines the previous one refused (else 0).
  bool Take(Clock::time_point now, std::size_t& leftOut);

 private:
  std::size_t linesPerWindow_;
  std::chrono::seconds window_;
  Clock::time_point windowStart_{};
  bool started_ = false;
  std::size_t written_ = 0;
  std::size_t refused_ = 0;
};

// The line NoteQuietFailure writes.
std::string QuietFailureLine(std::string_view where, std::string_view what, std::size_t leftOut);

// Call inside a catch block that ends an operation quietly: writes
// "corvan: <where> failed quietly: <what>" to standard error, within the
// process-wide budget. Never throws.
void NoteQuietFailure(std::string_view where) noexcept;
// The same for a failure that is no exception: `what` says what it was.
void NoteQuietFailure(std::string_view where, std::string_view what) noexcept;

}  // namespace corvan
