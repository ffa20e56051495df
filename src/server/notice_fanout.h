// The fan-out lane: the threads from which the server's notices leave.
//
// A notice is one datagram for many recipients ("Online", "Offline",
// "Status", "NewUserReg", "Information", "ServerStop"). Whoever makes one
// queues it here with its recipients, taken once at the moment of the event,
// and goes on at once: the datagrams leave later from this lane's senders, as
// many per sendmmsg call as the kernel takes. A login is answered while the
// "Online" notices of the logins before it are still going out.
//
// Senders. The lane has one or more sender threads, each owning a fixed share
// of the addresses (by the address's value: an address always belongs to the
// same sender). Every sender walks the whole queue in order and sends each
// notice to the recipients of its share, so a burst's datagrams are spread
// over the machine's cores while every address still hears from one thread.
//
// The contract:
// - Order. Notices leave in the order they were queued: every recipient
//   receives them one after the other in that order, and the recipients of
//   one sender's share in the order of the notice's list. The presence events
//   queue their notices while holding `OnlineLock`, so every observer receives
//   one user's notices in the order of that user's events.
// - Bound. The queue holds at most `maxBytes`: each notice counts its
//   datagram and four bytes per recipient until every sender is done with it.
//   A notice that does not fit waits in `Queue` until the lane has sent
//   enough to make room, so the caller (and whoever waits for the lock it
//   holds) goes at the lane's pace for as long as the queue is full. No notice
//   is dropped for want of room. A notice larger than the whole bound is taken
//   when the queue is empty. Every such wait is counted
//   (`Counters::fullWaits`).
// - Failure. An address that is not IPv4 ends the notice there: no recipient
//   after it in the list gets it. A datagram the kernel refuses ends that
//   sender's part of the notice, as a failed send ends a broadcast. Either
//   writes a line through NoteQuietFailure, and the lane goes on with the next
//   notice.
// - Sockets. A notice leaves from the sender's own socket (a port the system
//   chose, the same for every notice to one address) or, when it says so,
//   from the UDP listener's socket (source port = the server port), which the
//   lane asks its owner for at the time it sends; with no listener open, such
//   a notice is not sent.
// - Owner. `ServerCore` owns one lane. At stop it queues "ServerStop" and
//   waits with `Flush` until it has left, before the UDP listener closes
//   (for at most a minute: a full queue empties in less).
//
// Thread-safe. `Queue` may be called holding any of the server's locks: the
// lane takes none of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/thread_annotations.h"
#include "base/unique_fd.h"
#include "server/udp.h"

namespace corvan {

struct Notice {
  std::string datagram;                     // one envelope, sent as it is
  std::shared_ptr<const RecipientList> to;  // in this order; may be shared by notices
  std::uint16_t port = 0;                   // on every recipient
  bool fromListener = false;                // leaves from the UDP listener's socket
};

class NoticeFanout {
 public:
  // Hands out the UDP listener's socket; null when no listener is open.
  using ListenerSocket = std::function<std::shared_ptr<const UniqueFd>()>;

  // `senders` threads (at least one) share the addresses.
  NoticeFanout(std::size_t maxBytes, ListenerSocket listenerSocket, std::size_t senders = 1);
  // As many senders as the machine has cores, at most four: on a busy lane
  // each one is a core's worth of the kernel's sending.
  static std::size_t DefaultSenders();
  // Sends what is queued, then ends the lane (see Stop).
  ~NoticeFanout();
  NoticeFanout(const NoticeFanout&) = delete;
  NoticeFanout& operator=(const NoticeFanout&) = delete;

  // Queues one notice behind every notice queued before; waits while the
  // queue is full (see the contract). A notice without recipients is
  // dropped here. After Stop the notice is sent on the calling thread.
  void Queue(Notice notice);
  // Returns once every notice queued before the call has been sent (true),
  // or when `limit` has passed first (false).
  bool Flush(std::chrono::milliseconds limit = std::chrono::hours(1));
  // Sends what is queued and ends the lane's threads.
  void Stop();

  // Tests: while held, the lane sends nothing more (the notices its senders
  // are sending are finished first); Queue and Flush behave as with a slow lane.
  void Hold(bool held);

  struct Counters {
    std::uint64_t queued = 0;     // notices taken
    std::uint64_t sent = 0;       // notices whose sending is over
    std::uint64_t datagrams = 0;  // datagrams that left
    std::uint64_t cutShort = 0;   // notices that missed a recipient (a failed send, no IPv4 address)
    std::uint64_t fullWaits = 0;  // times Queue waited for room
    std::size_t bytes = 0;        // held now
    std::size_t peakBytes = 0;    // held at most
  };
  Counters Count() const;

  // The bytes a notice counts against the bound.
  static std::size_t Cost(const Notice& notice);

 private:
  // A queued notice and how far its sending has come.
  struct Entry {
    Notice notice;
    std::size_t cost = 0;
    std::size_t pending = 0;    // senders not yet done with it
    std::size_t datagrams = 0;  // left so far, all senders together
  };

  void Run(std::size_t sender);
  // Sends one notice to the recipients of one sender's share; returns how
  // many datagrams left.
  std::size_t SendShare(const Notice& notice, std::size_t sender);
  // Counts one notice whose sending is over.
  void Tally(const Notice& notice, std::size_t datagrams) CORVAN_REQUIRES(mutex_);

  const std::size_t maxBytes_;
  const ListenerSocket listenerSocket_;
  const std::size_t senders_;
  // The lane's own, one per sender: two senders on one socket sent the
  // storm's notices up to a fifth slower than with a socket each.
  std::vector<UdpSocket> sockets_;

  mutable Mutex mutex_{LockRank::kNoticeQueue, "notice queue"};
  std::condition_variable_any changed_;  // a notice queued or sent, a hold lifted, the stop
  // Entries stay at their place until every sender is done with them (a
  // deque keeps references valid as it grows at the back): a sender reads
  // its entry without the mutex.
  std::deque<Entry> queue_ CORVAN_GUARDED_BY(mutex_);
  std::uint64_t front_ CORVAN_GUARDED_BY(mutex_) = 0;          // number of the entry at the queue's front
  std::vector<std::uint64_t> next_ CORVAN_GUARDED_BY(mutex_);  // per sender: the entry it sends next
  Counters counters_ CORVAN_GUARDED_BY(mutex_);
  bool held_ CORVAN_GUARDED_BY(mutex_) = false;
  bool stopping_ CORVAN_GUARDED_BY(mutex_) = false;
  bool stopped_ CORVAN_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace corvan
