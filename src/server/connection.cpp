#include "server/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "server/dispatch.h"
#include "server/server_core.h"

namespace corvan {

Connection::Connection(asio::ip::tcp::socket socket, ServerCore& core, ConnectionManager& manager)
    : core_(core), manager_(manager), socket_(std::move(socket)), strand_(asio::make_strand(socket_.get_executor())) {
  asio::error_code ec;
  auto ep = socket_.remote_endpoint(ec);
  if (!ec) {
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped()) addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
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
  if (!open_ || paused_ || waiting_) return;
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
  // Handlers run to completion and consume what they read (the frame reader
  // copies it, an upload writes it to disk), so one buffer per thread serves
  // every connection.
  thread_local std::vector<char> buffer(kReadChunk);
  for (int round = 0; round < 16 && open_ && !paused_; ++round) {
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
      ProcessFrames();
    }
    if (n < buffer.size()) break;
  }
  ReadMore();
}

void Connection::ProcessFrames() {
  std::string body;
  while (open_ && !upload_ && !paused_) {
    switch (reader_.Next(body)) {
      case FrameReader::Result::kNeedMore:
        return;
      case FrameReader::Result::kSkip:
        continue;
      case FrameReader::Result::kFail:
        DoClose();
        return;
      case FrameReader::Result::kBody:
        break;
    }
    switch (RouteFrame(body)) {
      case FrameRoute::kTooShort:
        DoClose();
        return;
      case FrameRoute::kOfflineInfo:
        core_.Modules().StoreOfflineMessage(core_, std::move(body));
        break;
      case FrameRoute::kOfflineFiles: {
        std::unique_ptr<UploadSession> session =
            core_.Modules().BeginUpload(core_, std::string(UploadHeaderText(body)), body.size());
        if (!session) break;  // nothing to receive: carry on with the next frame
        upload_ = std::move(session);
        std::string rest = reader_.TakeBuffered();
        FeedUpload(rest);
        break;
      }
      case FrameRoute::kRequest:
        DispatchRequest(core_, shared_from_this(), std::move(body));
        break;
    }
    body = std::string();
  }
}

void Connection::FeedUpload(std::string_view bytes) {
  UploadSession::State state = UploadSession::State::kNeedMore;
  std::size_t used = upload_->Consume(bytes, state);
  if (state == UploadSession::State::kNeedMore) return;
  if (state == UploadSession::State::kFailed) {
    FinishUpload(false);
    DoClose();
    return;
  }
  // Done: what the upload did not take starts the next frame.
  reader_.Feed(bytes.substr(std::min(used, bytes.size())));
  FinishUpload(true);
}

void Connection::FinishUpload(bool ok) {
  // Recording (a database insert under a lock) or removing what was written
  // (a wait for the removal service) must not block the network threads.
  std::shared_ptr<UploadSession> session(std::move(upload_));
  paused_ = ok;
  core_.PostJob([self = shared_from_this(), session, ok] {
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

void Connection::SendReply(std::string body) {
  std::string frame = EncodeFrame(body);
  frame += body;
  SendRaw(std::move(frame));
}

void Connection::SendRaw(std::string bytes) {
  if (!open_) return;
  std::unique_lock lock(writeMutex_);
  if (!open_) return;
  if (writing_) {
    queuedBytes_ += bytes.size();
    if (queuedBytes_ > kMaxQueuedBytes) {
      // A client that does not read its replies is not allowed to make the
      // server hold them without limit.
      lock.unlock();
      Close();
      return;
    }
    writeQueue_.push_back(std::move(bytes));
    return;
  }
  // Nothing queued: write on this thread, which saves handing every reply
  // to another thread. The socket is non-blocking.
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
  bytes.erase(0, sent);
  queuedBytes_ = bytes.size();
  writeQueue_.push_back(std::move(bytes));
  writing_ = true;
  lock.unlock();
  asio::post(strand_, [self = shared_from_this()] { self->WriteNext(); });
}

void Connection::WriteNext() {
  std::unique_lock lock(writeMutex_);
  if (writeQueue_.empty() || !open_) {
    writing_ = false;
    return;
  }
  // Elements of a deque stay where they are while others are appended.
  const std::string& front = writeQueue_.front();
  lock.unlock();
  asio::async_write(socket_, asio::buffer(front),
                    asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
                      std::unique_lock lock(self->writeMutex_);
                      if (!self->writeQueue_.empty()) {
                        self->queuedBytes_ -= self->writeQueue_.front().size();
                        self->writeQueue_.pop_front();
                      }
                      if (ec) {
                        self->writeQueue_.clear();
                        self->queuedBytes_ = 0;
                        self->writing_ = false;
                        return;  // the reply is lost; the connection stays as it is
                      }
                      lock.unlock();
                      self->WriteNext();
                    }));
}

void Connection::Close() {
  asio::post(strand_, [self = shared_from_this()] { self->DoClose(); });
}

void Connection::DoClose() {
  if (!open_.exchange(false)) return;
  {
    std::lock_guard lock(writeMutex_);
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    writeQueue_.clear();
    queuedBytes_ = 0;
  }
  if (upload_) FinishUpload(false);
  manager_.Remove(this);
}

void ConnectionManager::Add(std::shared_ptr<Connection> c) {
  std::lock_guard lock(mutex_);
  const Connection* key = c.get();
  connections_.emplace(key, std::move(c));
}

void ConnectionManager::Remove(const Connection* c) {
  std::shared_ptr<Connection> keep;  // released after the lock
  std::lock_guard lock(mutex_);
  auto it = connections_.find(c);
  if (it != connections_.end()) {
    keep = std::move(it->second);
    connections_.erase(it);
  }
}

void ConnectionManager::CloseAll() {
  std::vector<std::shared_ptr<Connection>> all;
  {
    std::lock_guard lock(mutex_);
    all.reserve(connections_.size());
    for (auto& [key, c] : connections_) all.push_back(c);
  }
  for (auto& c : all) c->Close();
}

void ConnectionManager::Clear() {
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> all;
  {
    std::lock_guard lock(mutex_);
    all.swap(connections_);
  }
}

std::size_t ConnectionManager::Count() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

}  // namespace corvan
