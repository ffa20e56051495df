// Presence: the UDP datagram handler, the status scan and its polls, and the
// notices that tell online clients who came, went, changed status or
// registered.
//
// Every notice leaves from the core's fan-out lane. The `Queue...` functions
// take their recipients from `OnlineUsers` at the moment of the event and
// queue the notice there and then, under `OnlineLock`, so that observers
// receive one user's notices in the order of that user's events. The
// `Start...` functions post one short job to the core's job pool and return
// at once; the job owns copies of its arguments and nobody waits for it. Jobs
// that read `OnlineUsers` take `OnlineLock` themselves; none holds another of
// the server's four locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "server/online_registry.h"
#include "server/online_users.h"

namespace corvan {

class Directory;
class Executors;
class NoticeFanout;
class ServerLifecycle;
class StatusLog;

// What the notices to online clients use: the job pool that starts them, the
// online list they go to, the lane they leave from and the clients' port.
// The jobs hold a copy; the core keeps the owners alive until its pools end.
struct NoticeOwners {
  Executors& run;
  OnlineRegistry& online;
  NoticeFanout& fanout;
  std::uint16_t clientPort;
};

// What presence uses of the server beyond its notices: the published
// directory (a heartbeat of an unknown name is ignored), the status log, the
// listener's socket (the discovery answer leaves from it), and how long a
// "GetStatus" poll waits and a user may stay silent.
struct PresenceOwners : NoticeOwners {
  Directory& directory;
  StatusLog& log;
  ServerLifecycle& lifecycle;
  std::chrono::milliseconds probeTimeout;
  std::chrono::milliseconds silenceLimit;
};

// Handles one datagram received on the UDP listener (takes `OnlineLock`).
void UDPServerUDPRead(const PresenceOwners& owners, std::string_view payload, const std::string& ip,
                      std::uint16_t port);
// Posts the status scan of a `TimerStatus` tick (`TSearchStatusThread`):
// every entry silent for at least the silence limit is polled, the polls of
// one scan side by side.
void StartStatusScan(const PresenceOwners& owners);
// Queues "ServerStop" to `to` (at server stop, `OnlineLock` held by the core).
void SendServerStop(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to);

// What one "GetStatus" exchange came to.
enum class ProbeResult {
  kAnswered,     // a valid answer: the machine is logged in as that user
  kSilent,       // nothing within the time limit, or the wait failed
  kOtherAnswer,  // an answer that lacks an element or names somebody else
  kNotXml,       // an answer that is not a well-formed document
  kSendFailed,   // the request could not be sent
};
// Asks the machine at `ip` whether it is logged in as `name`: "GetStatus"
// {username} to its client port from a fresh socket, then a wait of up to
// the probe time-out for one answer on that socket. The wait is an
// asynchronous read with a timer on the core's io threads, holding no lock
// and no thread; `done` is called once, on an io thread, with the outcome.
void AskStatus(const PresenceOwners& owners, std::string name, std::string ip, std::function<void(ProbeResult)> done);

// Posts the poll of one user (`TSendGetStatusThread`): "GetStatus" to the
// address captured when the poll was started (AskStatus), without holding
// `OnlineLock`; an answer refreshes the entry, anything else removes it and
// announces "Offline".
void StartStatusPoll(const PresenceOwners& owners, std::string name, std::string ip);
// A client reported a colleague unreachable: posts a job that polls that user
// now (`TGetNetBlockThread`).
void StartNetBlockPoll(const PresenceOwners& owners, std::string name);
// After an administrator edits an account: posts the job by which the online
// entry of the old name takes the new name and nickname
// (`TUpdateOnlineInfoThread`).
void StartUpdateOnlineInfo(const NoticeOwners& owners, std::string oldName, std::string newName, std::string nickname);

// Queues `datagram` to `to` behind every notice queued before it; from the
// UDP listener's socket when `fromListener`.
void QueueNotice(const NoticeOwners& owners, std::shared_ptr<const RecipientList> to, std::string datagram,
                 bool fromListener = false);
// Queues "Offline" {username, ip} to every online entry as the list stands
// now (`TSendUserOfflineThread`): a user just removed does not receive it.
void QueueOfflineNotice(const NoticeOwners& owners, const std::string& name, const std::string& ip)
    CORVAN_REQUIRES(owners.online.OnlineLock);
// Queues "Status" {username, Status} to every online entry as the list
// stands now, the sender's own entry included (`TSendUserStatusthread`).
void QueueStatusNotice(const NoticeOwners& owners, const std::string& name, const std::string& status)
    CORVAN_REQUIRES(owners.online.OnlineLock);
// Posts the job that queues "NewUserReg" {username, nickname, orgNo} to every
// online entry (`TSendNewUserRegThread`); callable holding any lock.
void StartNewUserRegNotice(const NoticeOwners& owners, std::string name, std::string nickname, std::string orgNo);

// A copy of the online list taken under `OnlineLock` (for the console).
std::vector<TUserOnlineInfo> ListOnlineUsers(OnlineRegistry& online);

// --- Pure rules, exposed for tests -----------------------------------------

// Whether an entry last seen at `lastSeen` is due for a poll at `now`. An
// entry never seen (epoch) is not polled.
bool DueForPoll(Clock::time_point lastSeen, Clock::time_point now, std::chrono::milliseconds silenceLimit);

}  // namespace corvan
