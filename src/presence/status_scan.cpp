// The status scan and its polls.
//
// A scan copies, under `OnlineLock`, the name and address of every entry
// silent for at least the silence limit, and starts one poll per entry. A
// poll reads its entry under the lock, then sends "GetStatus" and waits for
// the answer on the core's io threads WITHOUT the lock (AskStatus, which the
// login's probe of another machine uses too), and finally takes the lock
// again to apply the outcome to the entry it finds then by that name.
// So the polls of one scan run side by side, and a scan of n silent users
// ends in about one poll time-out while logins, heartbeats and queries go on.
#include <array>
#include <memory>
#include <mutex>

#include <asio.hpp>

#include "base/quiet_failure.h"
#include "presence/notices.h"
#include "presence/presence.h"
#include "server/executors.h"
#include "server/udp.h"

namespace corvan {

namespace {

// Applies a poll's outcome. `seenAtStart` is the entry's LastSeen when the
// poll began: if the entry showed life meanwhile (a heartbeat, a login), a
// silent poll no longer speaks for it and it stays. The "Offline" notice is
// queued with the removal, so that it comes before anything that follows.
void ApplyPollOutcome(const PresenceOwners& owners, const std::string& name, const std::string& ip,
                      Clock::time_point seenAtStart, bool answered) {
  MutexLock lock(owners.online.OnlineLock);
  TUserOnlineInfo* entry = owners.online.OnlineUsers.Find(name);
  if (entry == nullptr) return;
  if (answered) {
    entry->LastSeen = Clock::now();
    return;
  }
  if (entry->LastSeen > seenAtStart) return;
  owners.online.OnlineUsers.Remove(name);
  QueueOfflineNotice(owners, name, ip);
}

// One "GetStatus" exchange on the io threads. Every handler of one exchange
// runs on its strand; the first of answer, failure or time-out ends it.
class StatusExchange : public std::enable_shared_from_this<StatusExchange> {
 public:
  StatusExchange(const PresenceOwners& owners, std::string name, std::string ip, std::function<void(ProbeResult)> done)
      : owners_(owners),
        name_(std::move(name)),
        ip_(std::move(ip)),
        done_(std::move(done)),
        strand_(asio::make_strand(owners.run.Io())),
        socket_(strand_),
        timer_(strand_),
        request_(BuildGetStatus(name_)),
        buffer_(kMaxDatagram) {}

  void Begin() {
    asio::post(strand_, [self = shared_from_this()] { self->Send(); });
  }

 private:
  void Send() {
    asio::error_code ec;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(ip_, ec);
    if (!ec) socket_.open(asio::ip::udp::v4(), ec);
    if (ec) return Finish(ProbeResult::kSendFailed);
    timer_.expires_after(owners_.probeTimeout);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
      if (!e) self->Finish(ProbeResult::kSilent);
    });
    const asio::ip::udp::endpoint to(address, owners_.clientPort);
    socket_.async_send_to(asio::buffer(request_), to,
                          [self = shared_from_this()](const asio::error_code& e, std::size_t) {
                            if (e) return self->Finish(ProbeResult::kSendFailed);
                            self->Receive();
                          });
  }

  void Receive() {
    if (finished_) return;
    socket_.async_receive_from(asio::buffer(buffer_), from_,
                               [self = shared_from_this()](const asio::error_code& e, std::size_t n) {
                                 if (e) return self->Finish(ProbeResult::kSilent);
                                 std::string_view answer(self->buffer_.data(), n);
                                 switch (ClassifyStatusAnswer(answer, self->name_)) {
                                   case StatusAnswer::kValid: return self->Finish(ProbeResult::kAnswered);
                                   case StatusAnswer::kOther: return self->Finish(ProbeResult::kOtherAnswer);
                                   case StatusAnswer::kNotXml: return self->Finish(ProbeResult::kNotXml);
                                 }
                               });
  }

  void Finish(ProbeResult result) {
    if (finished_) return;
    finished_ = true;
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    try {
      done_(result);
    } catch (...) {
      // Quiet by design: whoever waited for the outcome learns nothing more,
      // and the io thread goes on.
      NoteQuietFailure("status exchange");
    }
  }

  const PresenceOwners owners_;
  const std::string name_;
  const std::string ip_;
  const std::function<void(ProbeResult)> done_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::udp::socket socket_;
  asio::steady_timer timer_;
  const std::string request_;
  std::vector<char> buffer_;
  asio::ip::udp::endpoint from_;
  bool finished_ = false;  // touched on strand_ only
};

}  // namespace

void AskStatus(const PresenceOwners& owners, std::string name, std::string ip, std::function<void(ProbeResult)> done) {
  std::make_shared<StatusExchange>(owners, std::move(name), std::move(ip), std::move(done))->Begin();
}

bool DueForPoll(Clock::time_point lastSeen, Clock::time_point now, std::chrono::milliseconds silenceLimit) {
  if (lastSeen == Clock::time_point{}) return false;
  return now - lastSeen >= silenceLimit;
}

void StartStatusScan(const PresenceOwners& owners) {
  owners.run.PostJob([owners] {
    std::vector<std::pair<std::string, std::string>> due;
    {
      MutexLock lock(owners.online.OnlineLock);
      const auto now = Clock::now();
      for (const auto& entry : owners.online.OnlineUsers.Entries()) {
        if (DueForPoll(entry.LastSeen, now, owners.silenceLimit)) due.emplace_back(entry.UserName, entry.IP);
      }
    }
    for (auto& [name, ip] : due) StartStatusPoll(owners, std::move(name), std::move(ip));
  });
}

void StartStatusPoll(const PresenceOwners& owners, std::string name, std::string ip) {
  owners.run.PostJob([owners, name = std::move(name), ip = std::move(ip)] {
    Clock::time_point seen;
    {
      MutexLock lock(owners.online.OnlineLock);
      const TUserOnlineInfo* entry = owners.online.OnlineUsers.Find(name);
      if (entry == nullptr) return;  // dropped meanwhile (an earlier poll, a logout)
      seen = entry->LastSeen;
    }
    AskStatus(owners, name, ip, [owners, name, ip, seen](ProbeResult result) {
      owners.run.PostJob([owners, name, ip, seen, result] {
        ApplyPollOutcome(owners, name, ip, seen, result == ProbeResult::kAnswered);
      });
    });
  });
}

}  // namespace corvan
