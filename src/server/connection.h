// One accepted TCP connection: its intake (frame reading and routing) and its
// serialised writes.
//
// All socket work runs on the connection's strand. Replies may be sent from
// any thread: `Send` queues the whole frame and the strand writes frames one
// after another, so two replies never interleave. Workers hold the
// connection by shared pointer, so it outlives every worker that may still
// answer on it.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/thread_annotations.h"
#include "base/unique_fd.h"
#include "server/frame.h"

namespace corvan {

class ServerCore;
class ConnectionManager;

// What one client may make the server hold. A client that reaches a bound is
// not disconnected: its connection stops reading until it catches up.
struct ClientLimits {
  // Requests read and not yet answered, per connection.
  std::size_t requestsInFlight = 8;
  // Reply bytes not yet taken by the socket, per connection.
  std::size_t unsentReplyBytes = 4 * 1024 * 1024;
  // Partial frames, requests in flight and unsent replies of all connections
  // together. Over it, a connection holding bytes of its own stops reading;
  // one holding none still reads, so a login is served meanwhile.
  std::size_t bufferBudget = 256 * 1024 * 1024;
  // Open connections from one client address; more are closed at once.
  std::size_t connectionsPerAddress = 256;
};

// The bytes all connections hold, with high-water marks for tests and
// diagnostics. Thread-safe.
class ClientMemory {
 public:
  void Add(std::size_t bytes);
  void Release(std::size_t bytes);
  std::size_t Held() const { return held_.load(); }
  // Records one connection's current counts for the high-water marks.
  void NoteInFlight(std::size_t requests);
  void NoteUnsent(std::size_t bytes);

  struct Peaks {
    std::size_t held = 0;      // all connections together
    std::size_t inFlight = 0;  // the most any one connection had
    std::size_t unsent = 0;    // the most any one connection had
  };
  Peaks Peak() const { return {peakHeld_.load(), peakInFlight_.load(), peakUnsent_.load()}; }

 private:
  static void Raise(std::atomic<std::size_t>& peak, std::size_t value);
  std::atomic<std::size_t> held_{0};
  std::atomic<std::size_t> peakHeld_{0};
  std::atomic<std::size_t> peakInFlight_{0};
  std::atomic<std::size_t> peakUnsent_{0};
};

// An upload in progress: the content that follows an upload header on the
// same connection is handed to it piece by piece as it arrives.
class UploadSession {
 public:
  enum class State { kNeedMore, kDone, kFailed };
  virtual ~UploadSession() = default;
  // Takes a prefix of `bytes` (possibly empty) and sets `state`. Returns how
  // many bytes it took; bytes it leaves belong to the next frame.
  virtual std::size_t Consume(std::string_view bytes, State& state) = 0;
  // Where content may go straight, without passing through Consume: a file
  // descriptor to append to and how many bytes it takes next. None (fd -1)
  // unless the upload is in the middle of a file's content.
  struct DirectTarget {
    int fd = -1;
    std::uint64_t bytes = 0;
  };
  virtual DirectTarget Direct() { return {}; }
  // Records `n` bytes (at most Direct().bytes) appended to Direct().fd and
  // sets `state` as Consume would.
  virtual void WroteDirect(std::uint64_t /*n*/, State& state) { state = State::kFailed; }
  // After kDone: records the finished upload. Runs on a worker thread.
  virtual void Finish() = 0;
  // After kFailed, or when the connection breaks first: removes what was
  // written. Runs on a worker thread.
  virtual void Abort() = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, ServerCore& core, ConnectionManager& manager);
  ~Connection();

  // Starts reading frames.
  void Start();

  // Queues a reply body with its count line; thread-safe. Lost silently when
  // the connection is closed.
  void SendReply(const std::string& body);
  // Queues raw bytes; thread-safe.
  void SendRaw(std::string bytes);
  // Queues bytes already framed and shared with other connections (a reply
  // built once for many requests); thread-safe. The queue keeps a reference,
  // not a copy, until the socket has taken them.
  void SendShared(std::shared_ptr<const std::string> frame);

  // Closes the socket; thread-safe and idempotent.
  void Close();

  // Ends one request the intake dispatched (its body of `bodyBytes` is no
  // longer held); thread-safe. Reading resumes when it had stopped for the
  // limit of requests in flight.
  void RequestDone(std::size_t bodyBytes);

  const std::string& PeerAddress() const { return peer_; }
  bool IsOpen() const { return open_.load(); }

 private:
  // Bytes read from the socket at a time.
  static constexpr std::size_t kReadChunk = 256 * 1024;
  // While an upload's content arrives: bytes read at a time when they go
  // through user memory, bytes moved through the pipe at a time when they do
  // not, and bytes taken in one turn before other work on the thread runs.
  static constexpr std::size_t kUploadReadChunk = 1024 * 1024;
  static constexpr std::size_t kPipeBytes = 1024 * 1024;
  static constexpr std::size_t kUploadTurnBytes = 16 * 1024 * 1024;
  // Replies queued for a client that does not read them, at most.
  static constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;

  void ReadMore();
  // Whether the intake may take more bytes now (on strand_).
  bool Throttled();
  bool OverBudget() const;
  void WaitForBudget();
  void Resume();
  // Brings the reader's share of the budget up to date (on strand_).
  void ChargeReader();
  std::size_t Unsent();
  void OnReadable(const asio::error_code& ec);
  void ProcessFrames();
  // Takes an upload's bytes until the socket has no more (on strand_).
  void ReadUpload();
  // Moves `n` bytes waiting in the pipe into `fd`, the upload's file.
  void DrainPipe(int fd, std::size_t n, std::vector<char>& buffer);
  bool OpenUploadPipe();
  void FeedUpload(std::string_view bytes);
  // Acts on an upload's state after it took bytes; `rest` is what it left.
  void AfterUpload(UploadSession::State state, std::string_view rest);
  void FinishUpload(bool ok);
  void DoClose();
  // One reply waiting to be written: bytes of its own or a shared frame,
  // from `offset` on (what a direct write did not get out).
  struct Outgoing {
    std::string owned;
    std::shared_ptr<const std::string> shared;
    std::size_t offset = 0;
    std::string_view Rest() const { return std::string_view(shared ? *shared : owned).substr(offset); }
  };
  void Send(Outgoing out);
  void WriteNext();

  ServerCore& core_;
  ConnectionManager& manager_;
  asio::ip::tcp::socket socket_;
  asio::strand<asio::any_io_executor> strand_;
  std::string peer_;
  std::atomic<bool> open_{true};

  // State below is touched only on strand_.
  FrameReader reader_;
  std::unique_ptr<UploadSession> upload_;
  // socket -> pipe -> file, so an upload's content never passes through
  // user memory; open only while an upload runs.
  UniqueFd pipeRead_;
  UniqueFd pipeWrite_;
  bool spliceOff_ = false;          // splice failed on this connection: plain reads
  bool paused_ = false;             // an upload's completion runs on a worker meanwhile
  bool waiting_ = false;            // a wait for readability is pending
  std::size_t readerCharged_ = 0;   // reader bytes counted in the budget
  asio::steady_timer budgetTimer_;  // the wait for room in the budget
  bool budgetWait_ = false;

  const ClientLimits limits_;
  std::atomic<std::size_t> inFlight_{0};

  // The reply queue. A reply to a connection with nothing queued is written
  // at once by the thread that made it; only what the socket does not take
  // goes to the queue, which strand_ writes out. The socket is closed under
  // this mutex, so a direct write never meets a closed descriptor.
  Mutex writeMutex_{LockRank::kReplyQueue, "reply queue"};
  std::deque<Outgoing> writeQueue_ CORVAN_GUARDED_BY(writeMutex_);
  std::size_t queuedBytes_ CORVAN_GUARDED_BY(writeMutex_) = 0;
  // True while strand_ owns the writing.
  bool writing_ CORVAN_GUARDED_BY(writeMutex_) = false;
};

// Owns the set of open connections so that they can all be closed when the
// server stops. Thread-safe.
class ConnectionManager {
 public:
  explicit ConnectionManager(std::size_t perAddress) : perAddress_(perAddress) {}
  // False (and the connection not added) when its address already has the
  // most connections allowed.
  bool Add(std::shared_ptr<Connection> c);
  void Remove(const Connection* c);
  void CloseAll();
  // Drops every connection without closing it (at destruction of the core).
  void Clear();
  std::size_t Count() const;
  ClientMemory& Memory() { return memory_; }

 private:
  const std::size_t perAddress_;
  ClientMemory memory_;
  mutable Mutex mutex_{LockRank::kConnections, "connection set"};
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections_ CORVAN_GUARDED_BY(mutex_);
  std::unordered_map<std::string, std::size_t> addressCounts_ CORVAN_GUARDED_BY(mutex_);
};

}  // namespace corvan
