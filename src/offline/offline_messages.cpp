// Offline messages: storing the frames (`TReceOfflineInfoThread`) and
// delivering them at the recipient's next login (`TSearchOfflineInfoThread`,
// `TSendOfflineInfoThread`).
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "offline/offline.h"
#include "offline/transfer_format.h"
#include "server/server_core.h"
#include "server/udp.h"

namespace corvan {

namespace {

struct PendingMessage {
  OfflineMessageNames names;
  std::string frame;
};

// Frames waiting to be written. Every arriving frame joins the queue, and
// one job at a time writes everything queued in a single transaction, so a
// burst of messages costs one commit instead of one per message.
struct StoreQueue {
  std::mutex mutex;
  std::vector<PendingMessage> items;  // guarded by mutex
  bool draining = false;              // guarded by mutex: a job is writing
};

constexpr std::size_t kMaxBatch = 512;

std::shared_ptr<StoreQueue> QueueFor(const ServerCore& core) {
  static std::mutex registryMutex;
  static std::map<const ServerCore*, std::shared_ptr<StoreQueue>> registry;
  std::lock_guard lock(registryMutex);
  auto& queue = registry[&core];
  if (!queue) queue = std::make_shared<StoreQueue>();
  return queue;
}

void WriteMessages(ServerCore& core, std::vector<PendingMessage>& batch) {
  MutexLock lock(core.OfflineInfoLock);
  DatabaseLock dbLock(core.Db());
  Transaction tx(core.Db());
  const std::string sendTime = FormatDbTime(Clock::now());
  Statement st(core.Db(),
               "insert into OfflineInfo (FromUser,ToUser,SendTime,SendContent) "
               "values(:FromUser_temp,:ToUser_temp,:SendTime_temp,:SendContent_temp)");
  for (auto& m : batch) {
    st.Reset();
    st.BindText(":FromUser_temp", m.names.fromUser)
        .BindText(":ToUser_temp", m.names.toUser)
        .BindText(":SendTime_temp", sendTime)
        .BindBlob(":SendContent_temp", m.frame);
    st.Run();
  }
  tx.Commit();
}

// `TReceOfflineInfoThread`: writes what is queued, until the queue is empty.
void DrainStoreQueue(ServerCore& core, const std::shared_ptr<StoreQueue>& queue) {
  for (;;) {
    std::vector<PendingMessage> batch;
    {
      std::lock_guard lock(queue->mutex);
      if (queue->items.empty()) {
        queue->draining = false;
        return;
      }
      const auto n = static_cast<std::ptrdiff_t>(std::min(queue->items.size(), kMaxBatch));
      batch.assign(std::make_move_iterator(queue->items.begin()), std::make_move_iterator(queue->items.begin() + n));
      queue->items.erase(queue->items.begin(), queue->items.begin() + n);
    }
    try {
      WriteMessages(core, batch);
    } catch (const std::exception&) {
      // A database failure loses the messages of this batch; nobody is
      // waiting for an answer.
    }
  }
}

struct StoredMessage {
  std::int64_t rowid;
  std::string content;
};

// `TSendOfflineInfoThread`: one datagram per message, nothing awaited.
void SendMessages(const std::string& ip, std::uint16_t port, const std::vector<StoredMessage>& messages) {
  UdpSocket socket;
  if (!socket.Valid()) return;
  for (const auto& m : messages) socket.SendTo(ip, port, m.content);
}

// `TSearchOfflineInfoThread`, after the delivery delay.
void DeliverMessages(ServerCore& core, const std::string& name, const std::string& ip) {
  MutexLock lock(core.OfflineInfoLock);
  auto messages = std::make_shared<std::vector<StoredMessage>>();
  try {
    DatabaseLock dbLock(core.Db());
    Statement st(core.Db(), "select rowid, SendContent from OfflineInfo where ToUser = :OfflineInfo_temp");
    st.BindText(":OfflineInfo_temp", name);
    while (st.Step()) messages->push_back({st.ColumnInt64(0), st.ColumnBlob(1)});
  } catch (const std::exception&) {
    return;  // nothing was read, so nothing is deleted: the messages wait for the next login
  }
  if (messages->empty()) return;
  const std::uint16_t port = core.Options().OfflineInfoPort;
  core.PostJob([ip, port, messages] { SendMessages(ip, port, *messages); });
  // Exactly the rows read; a message that arrived meanwhile stays for the
  // next login.
  try {
    DatabaseLock dbLock(core.Db());
    Transaction tx(core.Db());
    Statement st(core.Db(), "delete from OfflineInfo where rowid = :rowid");
    for (const auto& m : *messages) {
      st.Reset();
      st.BindInt64(":rowid", m.rowid);
      st.Run();
    }
    tx.Commit();
  } catch (const std::exception&) {
  }
}

}  // namespace

void StoreOfflineMessage(ServerCore& core, std::string body) {
  // Too short to hold the two names, or too long for the one datagram it
  // would be delivered in: not stored.
  if (body.size() > kMaxOfflineInfoFrame) return;
  auto names = ParseOfflineMessageNames(body);
  if (!names) return;
  auto queue = QueueFor(core);
  bool startJob = false;
  {
    std::lock_guard lock(queue->mutex);
    queue->items.push_back({std::move(*names), std::move(body)});
    if (!queue->draining) startJob = queue->draining = true;
  }
  if (startJob) core.PostOfflineInfoLane([&core, queue] { DrainStoreQueue(core, queue); });
}

void SearchOfflineInfoNow(ServerCore& core, const std::string& name, std::string ip) {
  // The search waits for the lock in the offline-info lane.
  core.PostOfflineInfoLane([&core, name = AsciiUpper(name), ip = std::move(ip)] { DeliverMessages(core, name, ip); });
}

}  // namespace corvan
