#include "server/executors.h"

#include "base/quiet_failure.h"
#include "server/counters.h"

namespace corvan {

namespace {
// A lane job that fails stops; the lane goes on with the next.
std::function<void()> Guarded(std::function<void()> job) {
  return [job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // Quiet by design: the failed job's work ends, the lane goes on.
      NoteQuietFailure("lane job");
    }
  };
}
}  // namespace

Executors::Executors(const ExecutorSizes& sizes)
    : sizes_(sizes),
      work_(asio::make_work_guard(io_)),
      requests_(static_cast<std::size_t>(sizes.requestThreads)),
      lanes_(2),
      onlineLane_(asio::make_strand(lanes_.get_executor())),
      accountLane_(asio::make_strand(lanes_.get_executor())),
      jobs_(static_cast<std::size_t>(sizes.jobThreads)),
      offlineInfoLane_(asio::make_strand(jobs_.get_executor())),
      offlineFilesLane_(asio::make_strand(jobs_.get_executor())),
      outbound_(static_cast<std::size_t>(sizes.outboundThreads)) {
  for (int i = 0; i < sizes.ioThreads; ++i) ioThreads_.emplace_back([this] { io_.run(); });
}

Executors::~Executors() {  // NOLINT(bugprone-exception-escape)
  JoinPools();
  StopIo();
}

void Executors::JoinPools() {
  outbound_.join();
  requests_.join();
  lanes_.join();
  jobs_.join();
}

void Executors::StopIo() {
  work_.reset();
  io_.stop();
  for (auto& t : ioThreads_) {
    if (t.joinable()) t.join();
  }
}

void Executors::PostJob(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kJobs);
  asio::post(jobs_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kJobs);
    try {
      job();
    } catch (...) {
      // A failed job stops quietly; nothing is retried.
      NoteQuietFailure("background job");
    }
  });
}

void Executors::PostJobAfter(std::chrono::milliseconds delay, std::function<void()> job) {
  auto timer = std::make_shared<asio::steady_timer>(io_, delay);
  timer->async_wait([this, timer, job = std::move(job)](const asio::error_code&) mutable { PostJob(std::move(job)); });
}

bool Executors::PostOutboundCall(std::function<void()> job) {
  const int limit = sizes_.outboundThreads + sizes_.outboundQueue;
  if (outboundPending_.fetch_add(1) >= limit) {
    --outboundPending_;
    return false;
  }
  asio::post(outbound_, [this, job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // A failed call ends quietly; its caller's time limit answers for it.
      NoteQuietFailure("outbound call");
    }
    --outboundPending_;
  });
  return true;
}

void Executors::PostRequest(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kRequests);
  asio::post(requests_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kRequests);
    try {
      job();
    } catch (...) {
      // A failed request ends quietly, as in the dispatcher.
      NoteQuietFailure("request job");
    }
  });
}

void Executors::PostOnlineLane(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kOnlineLane);
  asio::post(onlineLane_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kOnlineLane);
    job();
  });
}

void Executors::PostAccountLane(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kAccountLane);
  asio::post(accountLane_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kAccountLane);
    job();
  });
}

void Executors::PostOfflineInfoLane(std::function<void()> job) {
  asio::post(offlineInfoLane_, Guarded(std::move(job)));
}

void Executors::PostOfflineFilesLane(std::function<void()> job) {
  asio::post(offlineFilesLane_, Guarded(std::move(job)));
}

}  // namespace corvan
