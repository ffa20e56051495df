// The administration endpoint: a Unix domain socket in the data folder
// through which the command-line tool manages the running server.
//
// One request per connection: the client sends one JSON line (see
// admin_codec.h), the endpoint answers with one JSON line and closes. Only
// a peer running as the server's own user, or root, is served (checked with
// SO_PEERCRED); the socket file is mode 0600 as well. The endpoint never
// listens on the network.
//
// Thread rules: the endpoint has one thread of its own that accepts, reads,
// runs the command and writes the reply, one connection at a time, so
// commands never run on the core's io threads and never overlap each other.
// Every read and write has a time bound; a peer that stalls is dropped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "admin/admin_codec.h"
#include "base/status.h"
#include "server/udp.h"

namespace corvan {

class ServerCore;

inline constexpr std::string_view kAdminSocketName = "corvan-admin.sock";

// The socket of the server running on `home`.
std::filesystem::path AdminSocketPath(const std::filesystem::path& home);

// Whether a peer running as `peerUid` may use the endpoint of a server
// running as `ownUid`: the same user, or root.
bool PeerAllowed(uid_t peerUid, uid_t ownUid);

class AdminEndpoint {
 public:
  struct Options {
    std::filesystem::path socketPath;
    uid_t ownUid = static_cast<uid_t>(-1);       // -1: the process's effective uid
    std::chrono::milliseconds ioTimeout{10000};  // reading the request, writing the reply
  };

  AdminEndpoint(ServerCore& core, Options options);
  ~AdminEndpoint();
  AdminEndpoint(const AdminEndpoint&) = delete;
  AdminEndpoint& operator=(const AdminEndpoint&) = delete;

  // Creates the socket (replacing a stale socket file left by an earlier
  // run; the caller holds the instance lock) and starts the thread. Fails,
  // with the step and the system's message, when the socket cannot be made.
  Status Start();
  // Ends the thread, closes and removes the socket. Idempotent.
  void Stop();

 private:
  void Run();
  void Serve(UniqueFd client);

  ServerCore& core_;
  const Options options_;
  uid_t ownUid_;
  UniqueFd listen_;
  UniqueFd wake_;  // eventfd that ends the thread's wait
  std::thread thread_;
};

// The client side: sends one request to the socket at `socketPath` and
// waits up to `timeout` for the reply. Fails, saying why, when the endpoint
// cannot be reached or answers with something that is not a reply.
Result<AdminReply> CallAdminEndpoint(const std::filesystem::path& socketPath, const AdminRequest& request,
                                     std::chrono::milliseconds timeout);

}  // namespace corvan
