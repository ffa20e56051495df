// Presence: the UDP datagram handler, the status scan and its polls, and the
// notice jobs that tell online clients who came, went, changed status or
// registered.
//
// Each `Start...` function posts one short job to the core's job pool and
// returns at once; the job owns copies of its arguments and nobody waits for
// it. Jobs that read `OnlineUsers` take `OnlineLock` themselves; none holds
// another of the server's four locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "server/online_users.h"

namespace corvan {

class ServerCore;

// Handles one datagram received on the UDP listener (takes `OnlineLock`).
void UDPServerUDPRead(ServerCore& core, std::string_view payload, const std::string& ip, std::uint16_t port);
// Posts the status scan of a `TimerStatus` tick (`TSearchStatusThread`):
// every entry silent for at least the silence limit is polled, the polls of
// one scan side by side.
void StartStatusScan(ServerCore& core);
// Sends "ServerStop" to every address given (at server stop).
void SendServerStop(ServerCore& core, const std::vector<std::string>& addresses);

// Posts the poll of one user (`TSendGetStatusThread`): "GetStatus" to the
// address captured when the poll was started, and the wait for the answer
// without holding `OnlineLock`; an answer refreshes the entry, silence
// removes it and announces "Offline". The wait is an asynchronous socket read
// with a timer on the core's io threads, so hundreds of polls need no thread
// each.
void StartStatusPoll(ServerCore& core, std::string name, std::string ip);
// Posts "Offline" {username, ip} to every online entry, from a fresh socket
// (`TSendUserOfflineThread`).
void StartOfflineNotice(ServerCore& core, std::string name, std::string ip);
// A client reported a colleague unreachable: posts a job that polls that user
// now (`TGetNetBlockThread`).
void StartNetBlockPoll(ServerCore& core, std::string name);
// After an administrator edits an account: posts the job by which the online
// entry of the old name takes the new name and nickname
// (`TUpdateOnlineInfoThread`).
void StartUpdateOnlineInfo(ServerCore& core, std::string oldName, std::string newName, std::string nickname);
// Posts "Status" {username, Status} to the addresses given
// (`TSendUserStatusthread`).
void StartStatusNotice(ServerCore& core, std::string name, std::vector<std::string> addresses, std::string status);
// Posts "NewUserReg" {username, nickname, orgNo} to every online entry
// (`TSendNewUserRegThread`).
void StartNewUserRegNotice(ServerCore& core, std::string name, std::string nickname, std::string orgNo);

// A copy of the online list taken under `OnlineLock` (for the console).
std::vector<TUserOnlineInfo> ListOnlineUsers(ServerCore& core);

// --- Pure rules, exposed for tests -----------------------------------------

// Whether an entry last seen at `lastSeen` is due for a poll at `now`. An
// entry never seen (epoch) is not polled.
bool DueForPoll(Clock::time_point lastSeen, Clock::time_point now, std::chrono::milliseconds silenceLimit);

}  // namespace corvan
