// The fan-out lane: the one thread from which the server's notices leave.
//
// A notice is one datagram for many recipients ("Online", "Offline",
// "Status", "NewUserReg", "Information", "ServerStop"). Whoever makes one
// queues it here with its recipients, taken once at the moment of the event,
// and goes on at once: the datagrams leave later from this lane's thread, as
// many per sendmmsg call as the kernel takes. A login is answered while the
// "Online" notices of the logins before it are still going out.
//
// The contract:
// - Order. Notices leave in the order they were queued, the datagrams of one
//   notice in the order of its recipients, one notice after the other. The
//   presence events queue their notices while holding `OnlineLock`, so every
//   observer receives one user's notices in the order of that user's events.
// - Bound. The queue holds at most `maxBytes`: each notice counts its
//   datagram and four bytes per recipient. A notice that does not fit waits
//   in `Queue` until the lane has sent enough to make room, so the caller
//   (and whoever waits for the lock it holds) goes at the lane's pace for as
//   long as the queue is full. No notice is dropped for want of room. A
//   notice larger than the whole bound is taken when the queue is empty.
//   Every such wait is counted (`Counters::fullWaits`).
// - Failure. A datagram the kernel refuses, or an address that is not IPv4,
//   ends the sending of that notice (its later recipients get nothing), as a
//   failed send ends a broadcast; the lane writes a line through
//   NoteQuietFailure and goes on with the next notice.
// - Sockets. A notice leaves from the lane's own socket (a port the system
//   chose, the same for every notice) or, when it says so, from the UDP
//   listener's socket (source port = the server port), which the lane asks
//   its owner for at the time it sends; with no listener open, such a notice
//   is not sent.
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

  NoticeFanout(std::size_t maxBytes, ListenerSocket listenerSocket);
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
  // Sends what is queued and ends the lane's thread.
  void Stop();

  // Tests: while held, the lane sends nothing more (the notice it is sending
  // is finished first); Queue and Flush behave as with a slow lane.
  void Hold(bool held);

  struct Counters {
    std::uint64_t queued = 0;     // notices taken
    std::uint64_t sent = 0;       // notices whose sending is over
    std::uint64_t datagrams = 0;  // datagrams that left
    std::uint64_t cutShort = 0;   // notices ended early by a failed send
    std::uint64_t fullWaits = 0;  // times Queue waited for room
    std::size_t bytes = 0;        // held now
    std::size_t peakBytes = 0;    // held at most
  };
  Counters Count() const;

  // The bytes a notice counts against the bound.
  static std::size_t Cost(const Notice& notice);

 private:
  void Run();
  // Sends one notice's datagrams; returns how many left.
  std::size_t Send(const Notice& notice);
  // Counts one notice whose sending is over.
  void Tally(const Notice& notice, std::size_t datagrams) CORVAN_REQUIRES(mutex_);

  const std::size_t maxBytes_;
  const ListenerSocket listenerSocket_;
  UdpSocket socket_;  // the lane's own; used by the lane's thread (or, after Stop, under mutex_)

  mutable Mutex mutex_{LockRank::kNoticeQueue, "notice queue"};
  std::condition_variable_any changed_;  // a notice queued or sent, a hold lifted, the stop
  std::deque<Notice> queue_ CORVAN_GUARDED_BY(mutex_);
  Counters counters_ CORVAN_GUARDED_BY(mutex_);
  bool held_ CORVAN_GUARDED_BY(mutex_) = false;
  bool stopping_ CORVAN_GUARDED_BY(mutex_) = false;
  bool stopped_ CORVAN_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace corvan
