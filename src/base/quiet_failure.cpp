#include "base/quiet_failure.h"

#include <cstdio>
#include <exception>
#include <mutex>

namespace corvan {

std::string CurrentExceptionText() noexcept {
  try {
    std::exception_ptr current = std::current_exception();
    if (!current) return "no exception";
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown exception";
    }
  } catch (...) {
    // Building the text itself failed (out of memory): nothing better to say.
    return {};
  }
}

bool QuietFailureBudget::Take(Clock::time_point now, std::size_t& leftOut) {
  leftOut = 0;
  if (!started_ || now - windowStart_ >= window_) {
    leftOut = refused_;
    started_ = true;
    windowStart_ = now;
    written_ = 0;
    refused_ = 0;
  }
  if (written_ >= linesPerWindow_) {
    ++refused_;
    return false;
  }
  ++written_;
  return true;
}

std::string QuietFailureLine(std::string_view where, std::string_view what, std::size_t leftOut) {
  std::string line;
  if (leftOut > 0) {
    line += "corvan: ";
    line += std::to_string(leftOut);
    line += " more quiet failures were not shown\n";
  }
  line += "corvan: ";
  line += where;
  line += " failed quietly: ";
  line += what.empty() ? std::string_view("unknown exception") : what;
  line += '\n';
  return line;
}

void NoteQuietFailure(std::string_view where) noexcept { NoteQuietFailure(where, CurrentExceptionText()); }

void NoteQuietFailure(std::string_view where, std::string_view what) noexcept {
  static std::mutex mutex;
  static QuietFailureBudget budget;
  try {
    std::size_t leftOut = 0;
    bool allowed = false;
    {
      std::lock_guard lock(mutex);
      allowed = budget.Take(QuietFailureBudget::Clock::now(), leftOut);
    }
    if (!allowed) return;
    std::string line = QuietFailureLine(where, what, leftOut);
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    // The note is the last resort for a failure already being dropped; if it
    // cannot be written either, there is nowhere left to report it.
  }
}

}  // namespace corvan
