// Dispatch of XML requests to their handlers.
//
// A request is parsed on the thread that read it. A cheap handler (one the
// table marks to run on the reader) is answered right there when nothing
// earlier from the same connection is still being handled, so its reply
// cannot overtake an earlier one; under `OnlineLock` only when the lock is
// free at once. Handlers that run under `OnlineLock` or `AccountLock` are
// otherwise queued on that lock's lane, a serial queue that occupies at most
// one thread, so requests waiting for a lock never hold up the unlocked ones;
// the rest run on the request pool. A large body is parsed on the pool too,
// so that no reading thread is held up by it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

class ServerCore;
class Connection;
struct Request;

enum class RequestLock { kNone, kOnline, kAccount };

using RequestHandler = void (*)(Request&);

// Where a request may be answered: only on a worker, or also on the thread
// that read it. The latter is for handlers that do not wait on anything
// (no other lock, no I/O but the reply) and take a few microseconds; a
// directory list qualifies because each snapshot builds its frame once.
enum class RequestPlace { kWorker, kReader };

struct DispatchEntry {
  std::string_view type;
  RequestHandler handler;
  RequestLock lock;
  RequestPlace place;
};

// The request types served, with their handlers; the program passes its
// table in `CoreOptions`. Entries are made with server/request_table.h, which
// ties each handler's lock to its entry's.
using RequestTable = std::vector<DispatchEntry>;

// The handler for a `Type`, compared exactly in table order; null when none.
const DispatchEntry* FindHandler(const RequestTable& table, std::string_view type);

// Counts a reply whose result is "Fail" against the request type `type`
// (see server/counters.h).
void CountFailedResult(ServerCore& core, std::string_view type);

// Bodies up to this size are parsed on the thread that read them.
constexpr std::size_t kReaderParseMaxBytes = 64 * 1024;

// Parses a request body and answers or queues it. The connection has counted
// it as in flight; Connection::RequestDone is called once it is done.
// `nothingEarlier` says whether every earlier request of the connection is
// done, which allows answering this one on the calling thread.
void DispatchRequest(ServerCore& core, std::shared_ptr<Connection> connection, std::string body, bool nothingEarlier);

}  // namespace corvan
