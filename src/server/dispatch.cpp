#include "server/dispatch.h"

#include "base/quiet_failure.h"
#include "server/counters.h"
#include "server/request.h"
#include "server/server_core.h"

namespace corvan {

namespace {

// Runs a handler; a failing handler ends quietly (no reply unless it had
// already sent one) and the connection stays open.
void RunHandler(const DispatchEntry& entry, Request& request) {
  try {
    entry.handler(request);
  } catch (...) {
    // Quiet by design: no reply, no status-log line, the connection stays.
    NoteQuietFailure("request handler");
  }
}

// The lanes of the two locks: each runs a handler of an entry made for its
// lock (server/request_table.h), with that lock held.
void RunOnOnlineLane(const DispatchEntry& entry, Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock) {
  RunHandler(entry, request);
}

void RunOnAccountLane(const DispatchEntry& entry, Request& request) CORVAN_REQUIRES(request.core.AccountLock) {
  RunHandler(entry, request);
}

// Holds a connection's request slot: the slot is given back when the request
// is done with, whichever way it ends (no handler, a handler that fails).
class RequestSlot {
 public:
  RequestSlot(std::shared_ptr<Connection> connection, std::size_t bodyBytes)
      : connection_(std::move(connection)), bodyBytes_(bodyBytes) {}
  ~RequestSlot() { connection_->RequestDone(bodyBytes_); }
  RequestSlot(const RequestSlot&) = delete;
  RequestSlot& operator=(const RequestSlot&) = delete;

 private:
  std::shared_ptr<Connection> connection_;
  std::size_t bodyBytes_;
};

}  // namespace

const DispatchEntry* FindHandler(const RequestTable& table, std::string_view type) {
  for (const auto& e : table) {
    if (e.type == type) return &e;
  }
  return nullptr;
}

namespace {

// The handler of a request just read, counted by its type.
const DispatchEntry* CountedHandler(ServerCore& core, std::string_view type) {
  const RequestTable& table = core.Requests();
  const DispatchEntry* entry = FindHandler(table, type);
  if (entry == nullptr) Bump(Counters().unknownRequests);
  else Bump(Counters().Type(static_cast<std::size_t>(entry - table.data())).requests);
  return entry;
}

}  // namespace

void CountFailedResult(ServerCore& core, std::string_view type) {
  const RequestTable& table = core.Requests();
  if (const DispatchEntry* entry = FindHandler(table, type))
    Bump(Counters().Type(static_cast<std::size_t>(entry - table.data())).failures);
}

namespace {

// Queues a parsed request where its table entry says it runs.
void Queue(ServerCore& core, const DispatchEntry& entry, const std::shared_ptr<Request>& request,
           const std::shared_ptr<RequestSlot>& slot) {
  switch (entry.lock) {
    case RequestLock::kNone: core.Run().PostRequest([&entry, request, slot] { RunHandler(entry, *request); }); break;
    case RequestLock::kOnline:
      core.Run().PostOnlineLane([&entry, request, slot] {
        MutexLock lock(request->core.Online().OnlineLock);
        RunOnOnlineLane(entry, *request);
      });
      break;
    case RequestLock::kAccount:
      core.Run().PostAccountLane([&entry, request, slot] {
        MutexLock lock(request->core.AccountLock);
        RunOnAccountLane(entry, *request);
      });
      break;
  }
}

// Answers a cheap request on this thread; false when its lock is taken (it
// is then queued as usual).
bool AnswerHere(ServerCore& core, const DispatchEntry& entry, Request& request) {
  switch (entry.lock) {
    case RequestLock::kNone: RunHandler(entry, request); return true;
    case RequestLock::kOnline:
      // A lane may hold the lock for a while (a login's database work);
      // waiting for it here would stall every connection of this thread.
      if (!request.core.Online().OnlineLock.try_lock()) return false;
      RunOnOnlineLane(entry, request);  // never throws
      request.core.Online().OnlineLock.unlock();
      return true;
    case RequestLock::kAccount: return false;
  }
  return false;
}

}  // namespace

void DispatchRequest(ServerCore& core, std::shared_ptr<Connection> connection, std::string body, bool nothingEarlier) {
  auto slot = std::make_shared<RequestSlot>(connection, body.size());
  if (body.size() > kReaderParseMaxBytes) {
    // A large body is parsed on the pool, and never answered here.
    core.Run().PostRequest([&core, slot, connection = std::move(connection), body = std::move(body)]() mutable {
      std::optional<ParsedEnvelope> env = ParsedEnvelope::Read(body);
      if (!env) return;
      const DispatchEntry* entry = CountedHandler(core, env->Type());
      if (entry == nullptr) return;
      auto request = std::make_shared<Request>(Request{core, std::move(connection), std::move(*env), std::move(body)});
      if (entry->lock == RequestLock::kNone) return RunHandler(*entry, *request);
      Queue(core, *entry, request, slot);
    });
    return;
  }
  std::optional<ParsedEnvelope> env = ParsedEnvelope::Read(body);
  if (!env) return;
  const DispatchEntry* entry = CountedHandler(core, env->Type());
  if (entry == nullptr) return;
  auto request = std::make_shared<Request>(Request{core, std::move(connection), std::move(*env), std::move(body)});
  // Answered here only when no earlier request of the connection can still
  // be queued, so replies keep the order of the requests.
  if (nothingEarlier && entry->place == RequestPlace::kReader && AnswerHere(core, *entry, *request)) return;
  Queue(core, *entry, request, slot);
}

}  // namespace corvan
