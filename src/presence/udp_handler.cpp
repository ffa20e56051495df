// The datagrams clients send to the server port: heartbeats, logouts, status
// changes, net-block reports and discovery. Each is handled whole under
// `OnlineLock`, one at a time in arrival order (the listener thread calls
// this for every datagram); the notices it causes are queued on the fan-out
// lane before the lock is released.
#include <mutex>

#include "base/quiet_failure.h"
#include "presence/notices.h"
#include "presence/presence.h"
#include "server/envelope.h"
#include "server/lifecycle.h"
#include "server/status_log.h"
#include "server/udp.h"
#include "storage/directory.h"

namespace corvan {

namespace {

std::string NameField(const ParsedEnvelope& env) { return AsciiUpper(env.Field("username").value_or(std::string())); }

// "Offline" through the listener's own socket to every entry, in list order;
// a failed send ends the broadcast.
void SendOfflineToAll(const PresenceOwners& owners, const std::string& name, const std::string& ip)
    CORVAN_REQUIRES(owners.online.OnlineLock) {
  QueueNotice(owners, owners.online.OnlineUsers.Recipients(), BuildOfflineNotice(name, ip), true);
}

void HandleLoginout(const PresenceOwners& owners, const ParsedEnvelope& env, const std::string& ip)
    CORVAN_REQUIRES(owners.online.OnlineLock) {
  if (!env.HasStruct()) return;
  const std::string name = NameField(env);
  // The leaving user is still listed and hears its own "Offline" too.
  SendOfflineToAll(owners, name, ip);
  owners.online.OnlineUsers.Remove(name);
  owners.log.AppendEvent("用户：" + name + "下线 ");
}

void HandleOnline(const PresenceOwners& owners, const ParsedEnvelope& env, const std::string& ip)
    CORVAN_REQUIRES(owners.online.OnlineLock) {
  if (!env.HasStruct()) return;
  const std::string name = NameField(env);
  if (TUserOnlineInfo* entry = owners.online.OnlineUsers.Find(name)) {
    entry->LastSeen = Clock::now();
    return;
  }
  if (!owners.directory.Get()->UserExists(name)) return;
  TUserOnlineInfo entry;
  entry.UserName = name;
  entry.IP = ip;
  entry.LastSeen = Clock::now();
  owners.online.OnlineUsers.Add(std::move(entry));
}

void HandleStatus(const PresenceOwners& owners, const ParsedEnvelope& env) CORVAN_REQUIRES(owners.online.OnlineLock) {
  auto name = env.Field("username");
  auto status = env.Field("Status");
  if (!name || !status) return;
  const std::string upper = AsciiUpper(*name);
  if (TUserOnlineInfo* entry = owners.online.OnlineUsers.Find(upper)) entry->Status = *status;
  // Every address receives the relay, the sender's own included.
  QueueStatusNotice(owners, upper, *status);
}

}  // namespace

void UDPServerUDPRead(const PresenceOwners& owners, std::string_view payload, const std::string& ip,
                      std::uint16_t port) {
  if (payload.size() > kMaxDatagram) return;
  MutexLock lock(owners.online.OnlineLock);
  try {
    std::optional<ParsedEnvelope> env = ParsedEnvelope::Read(payload);
    if (!env) return;
    const std::string& type = env->Type();
    if (type == "Loginout") {
      HandleLoginout(owners, *env, ip);
    } else if (type == "Online") {
      HandleOnline(owners, *env, ip);
    } else if (type == "UserNetBlock") {
      if (auto name = env->Field("username")) StartNetBlockPoll(owners, AsciiUpper(*name));
    } else if (type == "AutoGetServer") {
      owners.lifecycle.SendFromListener(ip, port, kDiscoveryAnswer);
    } else if (type == "Status") {
      HandleStatus(owners, *env);
    }
  } catch (const std::exception&) {
    // Quiet by design: a datagram that cannot be handled is dropped (UDP
    // has no answer to give); the next one is served.
    NoteQuietFailure("UDP datagram");
  }
}

}  // namespace corvan
