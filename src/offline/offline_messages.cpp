// Offline messages: storing the frames (`TReceOfflineInfoThread`) and
// delivering them at the recipient's next login (`TSearchOfflineInfoThread`,
// `TSendOfflineInfoThread`).
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "offline/offline.h"
#include "offline/transfer_format.h"
#include "server/executors.h"
#include "server/udp.h"
#include "storage/offline_tables.h"

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
  Mutex mutex;
  std::vector<PendingMessage> items CORVAN_GUARDED_BY(mutex);
  // True while a job is writing.
  bool draining CORVAN_GUARDED_BY(mutex) = false;
};

constexpr std::size_t kMaxBatch = 512;

std::shared_ptr<StoreQueue> QueueFor(const OfflineOwners& owners) {
  static std::mutex registryMutex;
  static std::map<const Database*, std::shared_ptr<StoreQueue>> registry;
  std::lock_guard lock(registryMutex);
  auto& queue = registry[&owners.db];
  if (!queue) queue = std::make_shared<StoreQueue>();
  return queue;
}

// Stores a batch in one transaction. When the database refuses it, each
// message is stored alone, so that a failure loses only the message it
// belongs to and not the others of its batch.
void WriteMessages(const OfflineOwners& owners, std::vector<PendingMessage>& batch) {
  std::vector<OfflineMessageRow> rows;
  rows.reserve(batch.size());
  for (auto& m : batch) rows.push_back({std::move(m.names.fromUser), std::move(m.names.toUser), std::move(m.frame)});
  MutexLock lock(owners.offlineInfoLock);
  OfflineTables tables(owners.db);
  const std::string sendTime = FormatDbTime(Clock::now());
  Status stored = tables.InsertMessages(rows, sendTime);
  if (stored.IsOk()) return;
  std::size_t lost = rows.size();
  if (rows.size() > 1) {
    lost = 0;
    for (const auto& row : rows) {
      Status one = tables.InsertMessages({row}, sendTime);
      if (!one.IsOk()) {
        ++lost;
        stored = std::move(one);
      }
    }
  }
  // Quiet by design toward clients and the status log: nobody waits for an
  // answer. The messages lost are counted on standard error.
  if (lost > 0) {
    NoteQuietFailure("offline message store", std::to_string(lost) + " of " + std::to_string(rows.size()) +
                                                  " messages not stored: " + stored.Message());
  }
}

// `TReceOfflineInfoThread`: writes what is queued, until the queue is empty.
void DrainStoreQueue(const OfflineOwners& owners, const std::shared_ptr<StoreQueue>& queue) {
  for (;;) {
    std::vector<PendingMessage> batch;
    {
      MutexLock lock(queue->mutex);
      if (queue->items.empty()) {
        queue->draining = false;
        return;
      }
      const auto n = static_cast<std::ptrdiff_t>(std::min(queue->items.size(), kMaxBatch));
      batch.assign(std::make_move_iterator(queue->items.begin()), std::make_move_iterator(queue->items.begin() + n));
      queue->items.erase(queue->items.begin(), queue->items.begin() + n);
    }
    try {
      WriteMessages(owners, batch);
    } catch (const std::exception&) {
      // Out of memory or the like: this batch is lost, and the loop goes on
      // so that the queue keeps draining (a job is still marked as writing).
      NoteQuietFailure("offline message store");
    }
  }
}

// `TSendOfflineInfoThread`: one datagram per message, nothing awaited.
void SendMessages(const std::string& ip, std::uint16_t port, const std::vector<StoredOfflineMessage>& messages) {
  UdpSocket socket;
  if (!socket.Valid()) return;
  for (const auto& m : messages) socket.SendTo(ip, port, m.SendContent);
}

// `TSearchOfflineInfoThread`, after the delivery delay.
void DeliverMessages(const OfflineOwners& owners, const std::string& name, const std::string& ip) {
  MutexLock lock(owners.offlineInfoLock);
  OfflineTables tables(owners.db);
  Result<std::vector<StoredOfflineMessage>> read = tables.MessagesFor(name);
  if (!read.IsOk()) {
    // Nothing was read, so nothing is deleted: the messages wait for the
    // next login.
    NoteQuietFailure("offline message delivery", read.GetStatus().Message());
    return;
  }
  auto messages = std::make_shared<std::vector<StoredOfflineMessage>>(std::move(read).Value());
  if (messages->empty()) return;
  const std::uint16_t port = owners.offlineInfoPort;
  owners.run.PostJob([ip, port, messages] { SendMessages(ip, port, *messages); });
  // Exactly the rows read; a message that arrived meanwhile stays for the
  // next login.
  std::vector<std::int64_t> rowids;
  rowids.reserve(messages->size());
  for (const auto& m : *messages) rowids.push_back(m.rowid);
  Status deleted = tables.DeleteMessages(rowids);
  // The messages were sent; their rows stay and they are sent again at the
  // next login. Quiet by design: the client has its messages.
  if (!deleted.IsOk()) NoteQuietFailure("offline message delivery", "sent rows not deleted: " + deleted.Message());
}

}  // namespace

void StoreOfflineMessage(const OfflineOwners& owners, std::string body) {
  // Too short to hold the two names, or too long for the one datagram it
  // would be delivered in: not stored.
  if (body.size() > kMaxOfflineInfoFrame) return;
  auto names = ParseOfflineMessageNames(body);
  if (!names) return;
  auto queue = QueueFor(owners);
  bool startJob = false;
  {
    MutexLock lock(queue->mutex);
    queue->items.push_back({std::move(*names), std::move(body)});
    if (!queue->draining) startJob = queue->draining = true;
  }
  if (startJob) owners.run.PostOfflineInfoLane([owners, queue] { DrainStoreQueue(owners, queue); });
}

void SearchOfflineInfoNow(const OfflineOwners& owners, const std::string& name, std::string ip) {
  // The search waits for the lock in the offline-info lane.
  owners.run.PostOfflineInfoLane(
      [owners, name = AsciiUpper(name), ip = std::move(ip)] { DeliverMessages(owners, name, ip); });
}

}  // namespace corvan
