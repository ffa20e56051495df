#include "server/connection.h"

#include <fcntl.h>
#include <poll.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "server/dispatch.h"
#include "server/server_core.h"

namespace corvan {

Connection::Connection(asio::ip::tcp::socket socket, ServerCore& core, ConnectionManager& manager)
    : core_(core),
      manager_(manager),
      socket_(std::move(socket)),
      strand_(asio::make_strand(socket_.get_executor())),
      budgetTimer_(strand_),
      limits_(core.Options().limits) {
  asio::error_code ec;
  auto ep = socket_.remote_endpoint(ec);
  if (!ec) {
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped())
      addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
    peer_ = addr.to_string();
  }
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  socket_.non_blocking(true, ec);
}

Connection::~Connection() = default;

void Connection::Start() {
  asio::post(strand_, [self = shared_from_this()] { self->ReadMore(); });
}

void Connection::ReadMore() {
  if (!open_ || paused_ || waiting_ || budgetWait_) return;
  // An upload's bytes go to disk, so only the intake of frames is held back.
  // A throttled connection is resumed by RequestDone or by the write that
  // brings its unsent replies under the limit.
  if (!upload_ && Throttled()) return;
  if (!upload_ && OverBudget()) return WaitForBudget();
  // Wait for readability instead of reading into a buffer of our own: an
  // idle connection then holds no receive buffer at all, and the bytes are
  // read into the thread's buffer when they are there.
  waiting_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& ec) {
                       self->waiting_ = false;
                       self->OnReadable(ec);
                     }));
}

void Connection::OnReadable(const asio::error_code& ec) {
  if (ec) {
    DoClose();
    return;
  }
  if (upload_) return ReadUpload();
  // Handlers run to completion and consume what they read (the frame reader
  // copies it, an upload writes it to disk), so one buffer per thread serves
  // every connection.
  thread_local std::vector<char> buffer(kReadChunk);
  for (int round = 0; round < 16 && open_ && !paused_ && (upload_ || (!Throttled() && !OverBudget())); ++round) {
    asio::error_code rec;
    std::size_t n = socket_.read_some(asio::buffer(buffer), rec);
    if (rec == asio::error::would_block || rec == asio::error::try_again) break;
    if (rec) {
      DoClose();
      return;
    }
    std::string_view data(buffer.data(), n);
    if (upload_) {
      FeedUpload(data);
    } else {
      reader_.Feed(data);
      ChargeReader();
      ProcessFrames();
    }
    if (n < buffer.size()) break;
  }
  ReadMore();
}

bool Connection::Throttled() {
  return inFlight_.load() >= limits_.requestsInFlight || Unsent() >= limits_.unsentReplyBytes;
}

bool Connection::OverBudget() const {
  // A connection holding nothing may always read: its next request is small
  // unless it turns out to be a large frame, and that frame is then the
  // only thing it holds.
  return reader_.BufferedBytes() > 0 && manager_.Memory().Held() >= limits_.bufferBudget;
}

void Connection::WaitForBudget() {
  // Room comes back as other clients read their replies or finish their
  // frames; a short retry saves a wake-up list across all connections.
  budgetWait_ = true;
  budgetTimer_.expires_after(std::chrono::milliseconds(20));
  budgetTimer_.async_wait([self = shared_from_this()](const asio::error_code&) {
    self->budgetWait_ = false;
    if (!self->open_) return;
    // A client that leaves while it waits must not keep its bytes counted:
    // its end is seen without reading what it sent. POLLRDHUP reports the
    // peer's close even when unread bytes still come before it, which a
    // peek at the next byte would not.
    pollfd probe{self->socket_.native_handle(), POLLRDHUP, 0};
    if (::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return self->DoClose();
    }
    self->ReadMore();
  });
}

void Connection::Resume() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->paused_) return;  // the upload's completion resumes the intake
    self->ProcessFrames();
    self->ReadMore();
  });
}

void Connection::ChargeReader() {
  const std::size_t now = open_ ? reader_.BufferedBytes() : 0;
  if (now > readerCharged_) {
    manager_.Memory().Add(now - readerCharged_);
  } else {
    manager_.Memory().Release(readerCharged_ - now);
  }
  readerCharged_ = now;
}

std::size_t Connection::Unsent() {
  MutexLock lock(writeMutex_);
  return queuedBytes_;
}

void Connection::RequestDone(std::size_t bodyBytes) {
  manager_.Memory().Release(bodyBytes);
  if (inFlight_.fetch_sub(1) == limits_.requestsInFlight) Resume();
}

void Connection::ProcessFrames() {
  std::string body;
  // Complete frames already read wait in the reader while the client is at
  // a limit: a single read may bring in hundreds of small requests.
  while (open_ && !upload_ && !paused_ && !Throttled()) {
    const FrameReader::Result result = reader_.Next(body);
    ChargeReader();
    switch (result) {
      case FrameReader::Result::kNeedMore: return;
      case FrameReader::Result::kSkip: continue;
      case FrameReader::Result::kFail: DoClose(); return;
      case FrameReader::Result::kBody: break;
    }
    switch (RouteFrame(body)) {
      case FrameRoute::kTooShort: DoClose(); return;
      case FrameRoute::kOfflineInfo: core_.Modules().StoreOfflineMessage(core_, std::move(body)); break;
      case FrameRoute::kOfflineFiles: {
        std::unique_ptr<UploadSession> session =
            core_.Modules().BeginUpload(core_, std::string(UploadHeaderText(body)), body.size());
        if (!session) break;  // nothing to receive: carry on with the next frame
        upload_ = std::move(session);
        std::string rest = reader_.TakeBuffered();
        ChargeReader();
        FeedUpload(rest);
        break;
      }
      case FrameRoute::kRequest: {
        // The body stays counted until its request is done (RequestDone).
        const std::size_t earlier = inFlight_.fetch_add(1);
        manager_.Memory().NoteInFlight(earlier + 1);
        manager_.Memory().Add(body.size());
        DispatchRequest(core_, shared_from_this(), std::move(body), earlier == 0);
        break;
      }
    }
    body = std::string();
  }
}

void Connection::ReadUpload() {
  // Handlers run to completion, so one buffer per thread serves every
  // upload (as the frame intake's does).
  thread_local std::vector<char> buffer(kUploadReadChunk);
  const int socket = socket_.native_handle();
  std::size_t taken = 0;
  while (open_ && upload_ && !paused_) {
    if (taken >= kUploadTurnBytes) {
      // More may be waiting: carry on after the other work queued on this
      // thread rather than holding it for the whole upload.
      asio::post(strand_, [self = shared_from_this()] {
        if (!self->waiting_) self->OnReadable({});
      });
      return;
    }
    const UploadSession::DirectTarget target = upload_->Direct();
    ssize_t n;
    if (target.fd >= 0 && target.bytes > 0 && OpenUploadPipe()) {
      // Never more than the file's remaining content: what follows it belongs
      // to the next record or frame and stays in the socket.
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(target.bytes, kPipeBytes));
      n = ::splice(socket, nullptr, pipeWrite_.Get(), nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (n > 0) {
        DrainPipe(target.fd, static_cast<std::size_t>(n), buffer);
        taken += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        // This socket cannot be spliced; plain reads report a real error.
        spliceOff_ = true;
        continue;
      }
    } else {
      // A large file's content is read in large pieces; records and small
      // files in the frame intake's pieces, so at most that much of what
      // follows the upload is read with it.
      const std::size_t want = target.bytes >= kReadChunk
                                   ? static_cast<std::size_t>(std::min<std::uint64_t>(target.bytes, buffer.size()))
                                   : kReadChunk;
      n = ::recv(socket, buffer.data(), want, MSG_DONTWAIT);
      if (n > 0) {
        FeedUpload(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        taken += static_cast<std::size_t>(n);
        continue;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    DoClose();  // the client left (or the socket failed) before the upload's end
    return;
  }
  ReadMore();
}

bool Connection::OpenUploadPipe() {
  if (spliceOff_) return false;
  if (pipeRead_.Valid()) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    spliceOff_ = true;
    return false;
  }
  pipeRead_.Reset(fds[0]);
  pipeWrite_.Reset(fds[1]);
  // A larger pipe moves more per call. Refused above the system's or the
  // user's pipe limit, and then the default size serves as well, only in
  // smaller steps: the result is not needed.
  ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kPipeBytes));
  return true;
}

void Connection::DrainPipe(int fd, std::size_t n, std::vector<char>& buffer) {
  std::size_t written = 0;
  while (written < n) {
    const ssize_t w = ::splice(pipeRead_.Get(), nullptr, fd, nullptr, n - written, SPLICE_F_MOVE);
    if (w > 0) {
      written += static_cast<std::size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  UploadSession::State state = UploadSession::State::kNeedMore;
  if (written > 0) upload_->WroteDirect(written, state);
  if (written == n) return AfterUpload(state, {});
  // The file took no more through the pipe (a file system without splice,
  // or a failing disk): the rest goes through the upload's own writes, which
  // report a real failure as such, and plain reads follow.
  spliceOff_ = true;
  while (written < n && upload_ && open_) {
    const ssize_t r = ::read(pipeRead_.Get(), buffer.data(), std::min(buffer.size(), n - written));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      // Bytes taken from the socket and now lost: the upload cannot be whole.
      FinishUpload(false);
      DoClose();
      return;
    }
    written += static_cast<std::size_t>(r);
    FeedUpload(std::string_view(buffer.data(), static_cast<std::size_t>(r)));
  }
  pipeRead_.Reset();
  pipeWrite_.Reset();
}

void Connection::FeedUpload(std::string_view bytes) {
  UploadSession::State state = UploadSession::State::kNeedMore;
  std::size_t used = upload_->Consume(bytes, state);
  AfterUpload(state, bytes.substr(std::min(used, bytes.size())));
}

void Connection::AfterUpload(UploadSession::State state, std::string_view rest) {
  if (state == UploadSession::State::kNeedMore) return;
  if (state == UploadSession::State::kFailed) {
    FinishUpload(false);
    DoClose();
    return;
  }
  // Done: what the upload did not take starts the next frame.
  reader_.Feed(rest);
  ChargeReader();
  FinishUpload(true);
}

void Connection::FinishUpload(bool ok) {
  // Recording (a database insert under a lock) or removing what was written
  // (a wait for the removal service) must not block the network threads.
  std::shared_ptr<UploadSession> session(std::move(upload_));
  pipeRead_.Reset();
  pipeWrite_.Reset();
  paused_ = ok;
  core_.Run().PostJob([self = shared_from_this(), session, ok] {
    if (ok) {
      session->Finish();
    } else {
      session->Abort();
    }
    if (!ok) return;
    asio::post(self->strand_, [self] {
      self->paused_ = false;
      self->ProcessFrames();
      self->ReadMore();
    });
  });
}

void Connection::SendReply(const std::string& body) { SendRaw(FrameReply(body)); }

void Connection::SendRaw(std::string bytes) { Send(Outgoing{std::move(bytes), nullptr, 0}); }

void Connection::SendShared(std::shared_ptr<const std::string> frame) {
  if (frame) Send(Outgoing{std::string(), std::move(frame), 0});
}

void Connection::Send(Outgoing out) {
  if (!open_) return;
  MutexLock lock(writeMutex_);
  if (!open_) return;
  if (writing_) {
    const std::size_t size = out.Rest().size();
    queuedBytes_ += size;
    manager_.Memory().Add(size);
    manager_.Memory().NoteUnsent(queuedBytes_);
    if (queuedBytes_ > kMaxQueuedBytes) {
      // A client that does not read its replies is not allowed to make the
      // server hold them without limit.
      lock.Unlock();
      Close();
      return;
    }
    writeQueue_.push_back(std::move(out));
    return;
  }
  // Nothing queued: write on this thread, which saves handing every reply
  // to another thread. The socket is non-blocking.
  const std::string_view bytes = out.Rest();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(socket_.native_handle(), bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return;  // the reply is lost; the read side sees the connection end
    }
  }
  if (sent == bytes.size()) return;
  const std::size_t rest = bytes.size() - sent;
  out.offset += sent;
  queuedBytes_ = rest;
  manager_.Memory().Add(rest);
  manager_.Memory().NoteUnsent(queuedBytes_);
  writeQueue_.push_back(std::move(out));
  writing_ = true;
  lock.Unlock();
  asio::post(strand_, [self = shared_from_this()] { self->WriteNext(); });
}

void Connection::WriteNext() {
  MutexLock lock(writeMutex_);
  if (writeQueue_.empty() || !open_) {
    writing_ = false;
    return;
  }
  // Elements of a deque stay where they are while others are appended.
  const std::string_view front = writeQueue_.front().Rest();
  lock.Unlock();
  asio::async_write(socket_, asio::buffer(front.data(), front.size()),
                    asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
                      MutexLock lock(self->writeMutex_);
                      const std::size_t before = self->queuedBytes_;
                      if (!self->writeQueue_.empty()) {
                        self->queuedBytes_ -= self->writeQueue_.front().Rest().size();
                        self->writeQueue_.pop_front();
                      }
                      if (ec) {
                        self->writeQueue_.clear();
                        self->queuedBytes_ = 0;
                        self->writing_ = false;
                      }
                      const std::size_t after = self->queuedBytes_;
                      lock.Unlock();
                      self->manager_.Memory().Release(before - after);
                      const std::size_t limit = self->limits_.unsentReplyBytes;
                      if (before >= limit && after < limit) self->Resume();
                      if (ec) return;  // the reply is lost; the connection stays as it is
                      self->WriteNext();
                    }));
}

void Connection::Close() {
  asio::post(strand_, [self = shared_from_this()] { self->DoClose(); });
}

void Connection::DoClose() {
  if (!open_.exchange(false)) return;
  {
    MutexLock lock(writeMutex_);
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    writeQueue_.clear();
    manager_.Memory().Release(queuedBytes_);
    queuedBytes_ = 0;
  }
  budgetTimer_.cancel();
  ChargeReader();  // a closed connection holds nothing
  if (upload_) FinishUpload(false);
  manager_.Remove(this);
}

void ClientMemory::Raise(std::atomic<std::size_t>& peak, std::size_t value) {
  std::size_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

void ClientMemory::Add(std::size_t bytes) { Raise(peakHeld_, held_.fetch_add(bytes) + bytes); }
void ClientMemory::Release(std::size_t bytes) { held_.fetch_sub(bytes); }
void ClientMemory::NoteInFlight(std::size_t requests) { Raise(peakInFlight_, requests); }
void ClientMemory::NoteUnsent(std::size_t bytes) { Raise(peakUnsent_, bytes); }

bool ConnectionManager::Add(std::shared_ptr<Connection> c) {
  MutexLock lock(mutex_);
  std::size_t& count = addressCounts_[c->PeerAddress()];
  if (count >= perAddress_) return false;
  ++count;
  const Connection* key = c.get();
  connections_.emplace(key, std::move(c));
  return true;
}

void ConnectionManager::Remove(const Connection* c) {
  std::shared_ptr<Connection> keep;  // released after the lock
  MutexLock lock(mutex_);
  auto it = connections_.find(c);
  if (it != connections_.end()) {
    keep = std::move(it->second);
    connections_.erase(it);
    auto count = addressCounts_.find(keep->PeerAddress());
    if (count != addressCounts_.end() && --count->second == 0) addressCounts_.erase(count);
  }
}

void ConnectionManager::CloseAll() {
  std::vector<std::shared_ptr<Connection>> all;
  {
    MutexLock lock(mutex_);
    all.reserve(connections_.size());
    for (auto& [key, c] : connections_) all.push_back(c);
  }
  for (auto& c : all) c->Close();
}

void ConnectionManager::Clear() {
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> all;
  {
    MutexLock lock(mutex_);
    all.swap(connections_);
    addressCounts_.clear();
  }
}

std::size_t ConnectionManager::Count() const {
  MutexLock lock(mutex_);
  return connections_.size();
}

}  // namespace corvan
