// The points where the server core hands work to the other parts of the
// server: presence (UDP, the status scan, the stop notice) and offline
// delivery (stored messages, uploads, purges). The program passes the real
// implementations in `CoreOptions`; tests replace single entries with fakes.
// An empty entry hands nothing over.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/udp.h"

namespace corvan {

class ServerCore;
class UploadSession;

// kDisabled: the person is disabled in the directory.
enum class DirectoryVerdict { kRight, kWrong, kUnreachable, kDisabled };

// What a "directory-sync" is asked to do.
struct DirectorySyncRequest {
  bool dryRun = false;         // only list the changes
  bool removeMissing = false;  // remove accounts gone from the directory
  bool force = false;          // even more of them than the settings' share
};

// What a checked password turned out to be; unjudged when the check ended
// without a verdict (the directory unreachable, the request dropped).
enum class LoginOutcome { kRight, kWrong, kUnjudged };

struct DirectorySyncOutcome {
  bool ok = false;
  std::vector<std::string> lines;  // the plan, or what was done
  std::string message;             // the summary or the reason of a failure
};

struct CoreModules {
  // A frame whose head is "OfflineInfo": store the message (on a worker).
  std::function<void(ServerCore&, std::string body)> StoreOfflineMessage;
  // A frame whose head begins "OfflineFiles": returns the session that takes
  // the content from the connection, or null when nothing more is read.
  // `bodySize` is the whole frame body's size.
  std::function<std::unique_ptr<UploadSession>(ServerCore&, std::string header, std::size_t bodySize)> BeginUpload;
  // One UDP datagram, called on the UDP listener thread with `OnlineLock`
  // NOT yet held (the handler takes it).
  std::function<void(ServerCore&, std::string_view payload, const std::string& ip, std::uint16_t port)> UdpRead;
  // A `TimerStatus` tick: the status scan.
  std::function<void(ServerCore&)> StatusTick;
  // At stop, with `OnlineLock` held: queues the "ServerStop" notice to these
  // recipients, every online entry (the core then waits until it has left).
  std::function<void(ServerCore&, std::shared_ptr<const RecipientList> to)> SendServerStop;
  // At every start: the two purges of old offline data.
  std::function<void(ServerCore&, int days)> StartPurges;

  // --- The organisation's directory (filled in by the directory sync) ---
  // After each start of the server: loads the directory settings and starts
  // the background sync when one is set.
  std::function<void(ServerCore&)> DirectoryStarted;
  // Whether the password of `username` is checked by the directory instead
  // of the stored one.
  std::function<bool(ServerCore&, const std::string& username)> PasswordFromDirectory;
  // Whether the account is locked: its person is disabled in the directory.
  // A locked account keeps its data and cannot log in.
  std::function<bool(ServerCore&, const std::string& username)> AccountLocked;
  // Checks such a password off the request lanes; `done` is called once, on
  // a worker, with the verdict.
  std::function<void(ServerCore&, std::string username, std::string password,
                     std::function<void(DirectoryVerdict)> done)>
      CheckDirectoryPassword;
  // --- Failed logins (filled in by the accounts' throttle) ---
  // Asked before a password of `username` from `address` is checked: false
  // refuses the attempt as a wrong password, without checking it; true
  // counts it until `EndLogin` gives its outcome.
  std::function<bool(ServerCore&, const std::string& username, const std::string& address)> BeginLogin;
  std::function<void(ServerCore&, const std::string& username, const std::string& address, LoginOutcome)> EndLogin;

  // "directory-sync": reads the directory and applies (or with `dryRun`
  // only lists) the changes. `progress` receives (done, total) steps.
  std::function<DirectorySyncOutcome(ServerCore&, const DirectorySyncRequest& request,
                                     const std::function<void(int done, int total)>& progress)>
      DirectorySync;
};

// The hooks of a login that the accounts call, bound to the core they serve:
// the accounts hold these, never the core itself. A missing hook answers as
// if it were not there: nothing locked, every password checked here, no
// throttle.
class LoginHooks {
 public:
  LoginHooks(const CoreModules& modules, ServerCore& core) : modules_(&modules), core_(&core) {}

  bool AccountLocked(const std::string& username) const {
    return modules_->AccountLocked && modules_->AccountLocked(*core_, username);
  }
  bool PasswordFromDirectory(const std::string& username) const {
    return modules_->PasswordFromDirectory && modules_->PasswordFromDirectory(*core_, username);
  }
  bool CanCheckDirectoryPassword() const { return static_cast<bool>(modules_->CheckDirectoryPassword); }
  void CheckDirectoryPassword(std::string username, std::string password,
                              std::function<void(DirectoryVerdict)> done) const {
    modules_->CheckDirectoryPassword(*core_, std::move(username), std::move(password), std::move(done));
  }
  bool Throttled() const { return modules_->BeginLogin && modules_->EndLogin; }
  bool BeginLogin(const std::string& username, const std::string& address) const {
    return modules_->BeginLogin(*core_, username, address);
  }
  void EndLogin(const std::string& username, const std::string& address, LoginOutcome outcome) const {
    modules_->EndLogin(*core_, username, address, outcome);
  }

 private:
  const CoreModules* modules_;
  ServerCore* core_;
};

}  // namespace corvan
