#include "server/notice_fanout.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "base/quiet_failure.h"
#include "server/counters.h"

namespace corvan {

namespace {
constexpr int kFanoutNice = 10;
}  // namespace

NoticeFanout::NoticeFanout(std::size_t maxBytes, ListenerSocket listenerSocket)
    : maxBytes_(maxBytes), listenerSocket_(std::move(listenerSocket)) {
  // Nothing is read from the lane's socket: keep what strays into it small.
  int smallest = 1;
  ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
  thread_ = std::thread([this] { Run(); });
}

NoticeFanout::~NoticeFanout() { Stop(); }

std::size_t NoticeFanout::Cost(const Notice& notice) {
  return sizeof(Notice) + notice.datagram.size() + (notice.to ? notice.to->size() * sizeof(std::uint32_t) : 0);
}

void NoticeFanout::Queue(Notice notice) {
  if (!notice.to || notice.to->empty()) return;
  const std::size_t cost = Cost(notice);
  MutexLock lock(mutex_);
  if (!stopped_ && counters_.bytes > 0 && counters_.bytes + cost > maxBytes_) {
    ++counters_.fullWaits;
    while (!stopped_ && counters_.bytes > 0 && counters_.bytes + cost > maxBytes_) changed_.wait(mutex_);
  }
  if (stopped_) {
    // The lane's thread is gone (the core is being destroyed): the caller
    // sends it, under the mutex so that such notices keep their order too.
    Tally(notice, Send(notice));
    return;
  }
  counters_.bytes += cost;
  counters_.peakBytes = std::max(counters_.peakBytes, counters_.bytes);
  ++counters_.queued;
  queue_.push_back(std::move(notice));
  changed_.notify_all();
}

bool NoticeFanout::Flush(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(mutex_);
  const std::uint64_t target = counters_.queued;
  while (counters_.sent < target && !stopped_) {
    if (changed_.wait_until(mutex_, deadline) == std::cv_status::timeout) return counters_.sent >= target;
  }
  return true;
}

void NoticeFanout::Stop() {
  {
    MutexLock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    held_ = false;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void NoticeFanout::Hold(bool held) {
  MutexLock lock(mutex_);
  held_ = held;
  changed_.notify_all();
}

NoticeFanout::Counters NoticeFanout::Count() const {
  MutexLock lock(mutex_);
  return counters_;
}

void NoticeFanout::Run() {
  // Replies first: when the request lanes and this lane both want the CPU,
  // a nice of 10 leaves this lane about a tenth of a contended core, so a
  // burst of logins is answered before the burst's notices go out. Alone,
  // the lane runs at full speed. Only lowered, which needs no privilege.
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kFanoutNice) != 0)
    NoteQuietFailure("notice fan-out", "its priority stays as it was");
  for (;;) {
    Notice notice;
    {
      MutexLock lock(mutex_);
      while ((queue_.empty() || held_) && !stopping_) changed_.wait(mutex_);
      if (queue_.empty()) {
        stopped_ = true;
        changed_.notify_all();
        return;
      }
      notice = std::move(queue_.front());
      queue_.pop_front();
    }
    // The notice's bytes stay counted until it has left: they are held
    // until then.
    const std::size_t cost = Cost(notice);
    const std::size_t datagrams = Send(notice);
    MutexLock lock(mutex_);
    counters_.bytes -= cost;
    Tally(notice, datagrams);
    changed_.notify_all();
  }
}

void NoticeFanout::Tally(const Notice& notice, std::size_t datagrams) {
  ++counters_.sent;
  counters_.datagrams += datagrams;
  if (datagrams < notice.to->size()) ++counters_.cutShort;
}

std::size_t NoticeFanout::Send(const Notice& notice) {
  std::shared_ptr<const UniqueFd> listener;
  int fd = socket_.Fd();
  if (notice.fromListener) {
    listener = listenerSocket_ ? listenerSocket_() : nullptr;
    if (!listener || !listener->Valid()) {
      // Quiet by design: with the listener closed the notice has no socket to
      // leave from, as a send through a closed listener fails.
      NoteQuietFailure("notice fan-out", "the UDP listener is closed");
      return 0;
    }
    fd = listener->Get();
  }
  const std::size_t sent = SendToEachAddress(fd, *notice.to, notice.port, notice.datagram);
  Bump(corvan::Counters().noticesSent, sent);
  if (sent < notice.to->size()) {
    const std::string why = (*notice.to)[sent] == 0 ? "not an IPv4 address" : std::generic_category().message(errno);
    // Quiet by design: a failed send ends this notice's broadcast, as it
    // ends any broadcast; the lane goes on with the next notice.
    NoteQuietFailure("notice fan-out", "sent " + std::to_string(sent) + " of " + std::to_string(notice.to->size()) +
                                           " datagrams: " + why);
  }
  return sent;
}

}  // namespace corvan
