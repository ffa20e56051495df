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
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/frame.h"

namespace corvan {

class ServerCore;
class ConnectionManager;

// An upload in progress: the content that follows an upload header on the
// same connection is handed to it piece by piece as it arrives.
class UploadSession {
 public:
  enum class State { kNeedMore, kDone, kFailed };
  virtual ~UploadSession() = default;
  // Takes a prefix of `bytes` (possibly empty) and sets `state`. Returns how
  // many bytes it took; bytes it leaves belong to the next frame.
  virtual std::size_t Consume(std::string_view bytes, State& state) = 0;
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
  void SendReply(std::string body);
  // Queues raw bytes; thread-safe.
  void SendRaw(std::string bytes);

  // Closes the socket; thread-safe and idempotent.
  void Close();

  const std::string& PeerAddress() const { return peer_; }
  bool IsOpen() const { return open_.load(); }

 private:
  // Bytes read from the socket at a time.
  static constexpr std::size_t kReadChunk = 256 * 1024;
  // Replies queued for a client that does not read them, at most.
  static constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;

  void ReadMore();
  void OnReadable(const asio::error_code& ec);
  void ProcessFrames();
  void FeedUpload(std::string_view bytes);
  void FinishUpload(bool ok);
  void DoClose();
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
  bool paused_ = false;   // an upload's completion runs on a worker meanwhile
  bool waiting_ = false;  // a wait for readability is pending

  // The reply queue. A reply to a connection with nothing queued is written
  // at once by the thread that made it; only what the socket does not take
  // goes to the queue, which strand_ writes out. The socket is closed under
  // this mutex, so a direct write never meets a closed descriptor.
  std::mutex writeMutex_;
  std::deque<std::string> writeQueue_;  // guarded by writeMutex_
  std::size_t queuedBytes_ = 0;         // guarded by writeMutex_
  bool writing_ = false;                // guarded by writeMutex_: strand_ owns the writing
};

// Owns the set of open connections so that they can all be closed when the
// server stops. Thread-safe.
class ConnectionManager {
 public:
  void Add(std::shared_ptr<Connection> c);
  void Remove(const Connection* c);
  void CloseAll();
  // Drops every connection without closing it (at destruction of the core).
  void Clear();
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections_;  // guarded by mutex_
};

}  // namespace corvan
