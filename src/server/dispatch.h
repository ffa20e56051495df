// Dispatch of XML requests to their handlers.
//
// A request is parsed on the request pool. Handlers that need no lock
// ("GetOrglist", "GetUserlist") run right there. Handlers that run under
// `OnlineLock` or `AccountLock` are queued on that lock's lane, a serial
// queue that occupies at most one thread, so requests waiting for a lock
// never hold up the unlocked ones.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvan {

class ServerCore;
class Connection;
struct Request;

enum class RequestLock { kNone, kOnline, kAccount };

using RequestHandler = void (*)(Request&);

struct DispatchEntry {
  std::string_view type;
  RequestHandler handler;
  RequestLock lock;
};

// The handler for a `Type`, compared exactly in table order; null when none.
const DispatchEntry* FindHandler(std::string_view type);

// Queues a request body for parsing and handling. The connection has
// counted it as in flight; Connection::RequestDone is called once it is done.
void DispatchRequest(ServerCore& core, std::shared_ptr<Connection> connection, std::string body);

}  // namespace corvan
