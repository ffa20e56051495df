#include "server/notice_fanout.h"

#include <arpa/inet.h>
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
constexpr std::size_t kMostSenders = 4;

// The sender an address belongs to: by its host-order value, so that the
// consecutive addresses of a network spread evenly.
std::size_t SenderOf(std::uint32_t address, std::size_t senders) { return ntohl(address) % senders; }

// The index of the first recipient that is not an IPv4 address; the list's
// size when there is none.
std::size_t FirstBadAddress(const RecipientList& to) {
  return static_cast<std::size_t>(std::find(to.begin(), to.end(), 0u) - to.begin());
}

}  // namespace

NoticeFanout::NoticeFanout(std::size_t maxBytes, ListenerSocket listenerSocket, std::size_t senders)
    : maxBytes_(maxBytes),
      listenerSocket_(std::move(listenerSocket)),
      senders_(std::max<std::size_t>(senders, 1)),
      sockets_(senders_) {
  // Nothing is read from the lane's sockets: keep what strays into them small.
  for (UdpSocket& socket : sockets_) {
    int smallest = 1;
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
  }
  {
    MutexLock lock(mutex_);
    next_.assign(senders_, 0);
  }
  threads_.reserve(senders_);
  for (std::size_t sender = 0; sender < senders_; ++sender) threads_.emplace_back([this, sender] { Run(sender); });
}

NoticeFanout::~NoticeFanout() { Stop(); }

std::size_t NoticeFanout::DefaultSenders() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMostSenders);
}

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
    // The lane's threads are gone (the core is being destroyed): the caller
    // sends it, under the mutex so that such notices keep their order too.
    std::size_t datagrams = 0;
    for (std::size_t sender = 0; sender < senders_; ++sender) datagrams += SendShare(notice, sender);
    Tally(notice, datagrams);
    return;
  }
  counters_.bytes += cost;
  counters_.peakBytes = std::max(counters_.peakBytes, counters_.bytes);
  ++counters_.queued;
  queue_.push_back(Entry{std::move(notice), cost, senders_, 0});
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
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
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

void NoticeFanout::Run(std::size_t sender) {
  // Replies first: when the request lanes and this lane both want the CPU,
  // a nice of 10 leaves this lane about a tenth of a contended core, so a
  // burst of logins is answered before the burst's notices go out. Alone,
  // the lane runs at full speed. Only lowered, which needs no privilege.
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kFanoutNice) != 0)
    NoteQuietFailure("notice fan-out", "its priority stays as it was");
  for (;;) {
    Entry* entry = nullptr;
    {
      MutexLock lock(mutex_);
      for (;;) {
        if (stopped_) return;
        const bool caughtUp = next_[sender] == front_ + queue_.size();
        if (!caughtUp && !held_) break;
        // The lane ends once every sender is done with everything queued;
        // a notice queued after that is sent by its caller.
        if (stopping_ && queue_.empty()) {
          stopped_ = true;
          changed_.notify_all();
          return;
        }
        changed_.wait(mutex_);
      }
      entry = &queue_[static_cast<std::size_t>(next_[sender] - front_)];
    }
    // The entry stays where it is while this sender has not counted itself
    // done with it; nobody changes its notice meanwhile, and its counts
    // change only under the mutex.
    const std::size_t datagrams = SendShare(entry->notice, sender);
    MutexLock lock(mutex_);
    ++next_[sender];
    entry->datagrams += datagrams;
    --entry->pending;
    // The notice's bytes stay counted until every sender is done with it:
    // they are held until then. Notices are over in the order queued.
    while (!queue_.empty() && queue_.front().pending == 0) {
      counters_.bytes -= queue_.front().cost;
      Tally(queue_.front().notice, queue_.front().datagrams);
      queue_.pop_front();
      ++front_;
    }
    changed_.notify_all();
  }
}

void NoticeFanout::Tally(const Notice& notice, std::size_t datagrams) {
  ++counters_.sent;
  counters_.datagrams += datagrams;
  if (datagrams < notice.to->size()) ++counters_.cutShort;
}

std::size_t NoticeFanout::SendShare(const Notice& notice, std::size_t sender) {
  // This sender's recipients, in the list's order, up to the first address
  // that is not IPv4.
  const std::size_t end = FirstBadAddress(*notice.to);
  if (end < notice.to->size() && sender == 0) {
    // Quiet by design: the notice reaches the recipients before the bad
    // address, as a broadcast that meets one ends there; the lane goes on
    // with the next notice. Every sender sees it; the first one says so.
    NoteQuietFailure("notice fan-out", "recipient " + std::to_string(end + 1) + " of " +
                                           std::to_string(notice.to->size()) +
                                           " is not an IPv4 address: the notice ends there");
  }
  thread_local RecipientList share;
  share.clear();
  for (std::size_t i = 0; i < end; ++i) {
    if (SenderOf((*notice.to)[i], senders_) == sender) share.push_back((*notice.to)[i]);
  }
  if (share.empty()) return 0;
  std::shared_ptr<const UniqueFd> listener;
  int fd = sockets_[sender].Fd();
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
  const std::size_t sent = SendToEachAddress(fd, share, notice.port, notice.datagram);
  Bump(corvan::Counters().noticesSent, sent);
  if (sent < share.size()) {
    const std::string why = std::generic_category().message(errno);
    // Quiet by design: a failed send ends this sender's part of the notice,
    // as it ends any broadcast; the lane goes on with the next notice.
    NoteQuietFailure("notice fan-out", "sent " + std::to_string(sent) + " of " + std::to_string(share.size()) +
                                           " datagrams of a sender's share: " + why);
  }
  return sent;
}

}  // namespace corvan
