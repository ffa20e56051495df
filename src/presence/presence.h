// Presence: the UDP datagram handler, the status scan and its polls, and the
// notice jobs that tell online clients who came, went, changed status or
// registered.
//
// Each `T...Thread` class is one short job: its constructor copies its
// arguments, `Start` posts it to the core's job pool, where `Execute` runs
// once and the job (owning its copies) is destroyed. Nobody waits for it.
// Jobs that read `OnlineUsers` take `OnlineLock` themselves; none holds
// another of the server's four locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/online_users.h"
#include "base/text.h"

namespace corvan {

class ServerCore;

// Handles one datagram received on the UDP listener (takes `OnlineLock`).
void UDPServerUDPRead(ServerCore& core, std::string_view payload, const std::string& ip, std::uint16_t port);
// Starts the status scan (`TSearchStatusThread`) of a `TimerStatus` tick.
void StartStatusScan(ServerCore& core);
// Sends "ServerStop" to every address given (at server stop).
void SendServerStop(ServerCore& core, std::vector<std::string> addresses);

// The scan of a tick: every entry silent for at least the silence limit is
// polled. The polls of one scan run side by side.
class TSearchStatusThread {
 public:
  explicit TSearchStatusThread(ServerCore& core) : core_(core) {}
  static void Start(ServerCore& core);
  void Execute();

 private:
  ServerCore& core_;
};

// Polls one user with "GetStatus" and waits for the answer without holding
// `OnlineLock`; an answer refreshes the entry, silence removes it and
// announces "Offline". The wait is an asynchronous socket read with a timer
// on the core's io threads, so hundreds of polls need no thread each.
class TSendGetStatusThread {
 public:
  TSendGetStatusThread(ServerCore& core, std::string name, std::string ip)
      : core_(core), name_(std::move(name)), ip_(std::move(ip)) {}
  static void Start(ServerCore& core, std::string name, std::string ip);
  void Execute();

 private:
  ServerCore& core_;
  std::string name_;
  std::string ip_;  // the address captured when the poll was started
};

// "Offline" {username, ip} to every online entry, from a fresh socket.
class TSendUserOfflineThread {
 public:
  TSendUserOfflineThread(ServerCore& core, std::string name, std::string ip)
      : core_(core), name_(std::move(name)), ip_(std::move(ip)) {}
  static void Start(ServerCore& core, std::string name, std::string ip);
  void Execute();

 private:
  ServerCore& core_;
  std::string name_;
  std::string ip_;
};

// A client reported a colleague unreachable: poll that user now.
class TGetNetBlockThread {
 public:
  TGetNetBlockThread(ServerCore& core, std::string name) : core_(core), name_(std::move(name)) {}
  static void Start(ServerCore& core, std::string name);
  void Execute();

 private:
  ServerCore& core_;
  std::string name_;
};

// After an administrator edits an account: the online entry of the old name
// takes the new name and nickname.
class TUpdateOnlineInfoThread {
 public:
  TUpdateOnlineInfoThread(ServerCore& core, std::string oldName, std::string newName, std::string nickname)
      : core_(core), oldName_(std::move(oldName)), newName_(std::move(newName)), nickname_(std::move(nickname)) {}
  static void Start(ServerCore& core, std::string oldName, std::string newName, std::string nickname);
  void Execute();

 private:
  ServerCore& core_;
  std::string oldName_;
  std::string newName_;
  std::string nickname_;
};

// "Status" {username, Status} to its own copy of the addresses.
class TSendUserStatusthread {
 public:
  TSendUserStatusthread(ServerCore& core, std::string name, std::vector<std::string> addresses, std::string status)
      : core_(core), name_(std::move(name)), addresses_(std::move(addresses)), status_(std::move(status)) {}
  static void Start(ServerCore& core, std::string name, std::vector<std::string> addresses, std::string status);
  void Execute();

 private:
  ServerCore& core_;
  std::string name_;
  std::vector<std::string> addresses_;
  std::string status_;
};

// "NewUserReg" {username, nickname, orgNo} to every online entry.
class TSendNewUserRegThread {
 public:
  TSendNewUserRegThread(ServerCore& core, std::string name, std::string nickname, std::string orgNo)
      : core_(core), name_(std::move(name)), nickname_(std::move(nickname)), orgNo_(std::move(orgNo)) {}
  static void Start(ServerCore& core, std::string name, std::string nickname, std::string orgNo);
  void Execute();

 private:
  ServerCore& core_;
  std::string name_;
  std::string nickname_;
  std::string orgNo_;
};

// For the console: start the notices its account editor needs.
inline void StartNewUserRegNotice(ServerCore& core, std::string name, std::string nickname, std::string orgNo) {
  TSendNewUserRegThread::Start(core, std::move(name), std::move(nickname), std::move(orgNo));
}
inline void StartUpdateOnlineInfo(ServerCore& core, std::string oldName, std::string newName, std::string nickname) {
  TUpdateOnlineInfoThread::Start(core, std::move(oldName), std::move(newName), std::move(nickname));
}

// A copy of the online list taken under `OnlineLock` (for the console).
std::vector<TUserOnlineInfo> ListOnlineUsers(ServerCore& core);

// --- Pure rules, exposed for tests -----------------------------------------

// Whether an entry last seen at `lastSeen` is due for a poll at `now`. An
// entry never seen (epoch) is not polled.
bool DueForPoll(Clock::time_point lastSeen, Clock::time_point now, std::chrono::milliseconds silenceLimit);

}  // namespace corvan
