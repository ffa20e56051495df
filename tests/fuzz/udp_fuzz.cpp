// The UDP datagram handler against a core that is not started: no listener
// (answers are dropped), two known accounts so that heartbeats add entries
// and logouts, status changes and net-block polls find someone. Jobs it
// starts run on the core's own pools.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "presence/presence.h"
#include "presence/wiring.h"
#include "server/server_core.h"

namespace {

corvan::ServerCore& Core() {
  // Reachable for the whole run through this pointer, so never a leak.
  static corvan::ServerCore* core = [] {
    char dir[] = "/tmp/corvan-fuzz-udp-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    corvan::CoreOptions options;
    options.home = dir;
    // Nothing listens on the discard port of loopback.
    options.ClientPort = 9;
    options.probeTimeout = std::chrono::milliseconds(1);
    options.jobThreads = 2;
    auto* c = new corvan::ServerCore(std::move(options));
    std::vector<corvan::DirectorySnapshot::UserPtr> users;
    for (const char* name : {"ALICE", "BOB"}) {
      auto u = std::make_shared<corvan::TUserInfo>();
      u->username = name;
      users.push_back(std::move(u));
    }
    c->Dir().Replace("Corvan", {}, std::move(users));
    return c;
  }();
  return *core;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  corvan::ServerCore& core = Core();
  std::string_view payload(reinterpret_cast<const char*>(bytes), size);
  corvan::UDPServerUDPRead(corvan::PresenceOwnersOf(core), payload, "127.0.0.1", 9);
  // Only accounts are ever listed, each once.
  corvan::MutexLock lock(core.Online().OnlineLock);
  if (core.Online().OnlineUsers.Entries().size() > 2) std::abort();
  return 0;
}
