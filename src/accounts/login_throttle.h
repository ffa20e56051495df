// The throttle of failed logins: counted per account and per client address,
// for directory and local accounts alike. After a few failures in a short
// window, further attempts of that account (or from that address) are
// refused without asking the directory or checking the password, for a delay
// that grows with every further failure. The refusal is the usual
// wrong-password answer.
//
// The numbers are chosen against a directory's lockout policy, since a
// directory login is a bind as the person: an account gets two attempts,
// then waits 1 minute, then 8, then 60 after every further failure. A
// persistent guesser so makes at most four failed binds before a pause of
// more than 30 minutes, below the lockout threshold of 5 that hardened
// Active Directory policies use with a 15 to 30 minute reset of the count,
// and far below the 10 in 10 minutes of the current Windows baseline; a user
// who mistypes twice waits one minute. An address gets twenty failures (a
// terminal server may hold many people), then waits 1, 2, 4, 8 and at most
// 15 minutes: password spraying from one machine stays at a few guesses an
// hour. A key forgets its failures after 15 quiet minutes past its last
// delay, and a right password clears the account's count.
//
// `LoginThrottle` is pure (the caller passes the time and holds the lock);
// `SharedLoginThrottle` is the server's, behind a mutex (accounts/wiring.h
// gives it to the server).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/thread_annotations.h"
#include "server/modules.h"

namespace corvan {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  struct Policy {
    int freeFailures;                 // failures that pass before the first delay
    std::chrono::seconds firstDelay;  // after the failure that uses up the free ones
    int growth;                       // each later delay is this many times longer
    std::chrono::seconds maxDelay;
    std::chrono::seconds forget;  // quiet time after the last delay that clears the count
  };
  static constexpr Policy kAccountPolicy{2, std::chrono::minutes(1), 8, std::chrono::minutes(60),
                                         std::chrono::minutes(15)};
  static constexpr Policy kAddressPolicy{20, std::chrono::minutes(1), 2, std::chrono::minutes(15),
                                         std::chrono::minutes(15)};
  // Keys kept of each kind. Only attempts on existing accounts make keys,
  // and a key goes once it has nothing to count, so made-up names never
  // grow it; when full, forgotten keys go first, then those whose last
  // failure is oldest.
  static constexpr std::size_t kMaxKeys = 4096;

  enum class Key { kAccount, kAddress };
  using Outcome = LoginOutcome;
  struct Verdict {
    bool refused = false;
    Key key = Key::kAccount;           // which count refused
    bool firstOfBurst = false;         // the first refusal since the last failure
    std::chrono::seconds remaining{};  // until the delay ends, rounded up (0: attempts in flight)
  };

  explicit LoginThrottle(Policy account = kAccountPolicy, Policy address = kAddressPolicy,
                         std::size_t maxKeys = kMaxKeys)
      : accounts_(account, maxKeys), addresses_(address, maxKeys) {}

  // An attempt of `account` from `address` whose password is about to be
  // checked: refused (the address is asked first), or counted as in flight
  // until `End`. An attempt in flight counts as a possible failure, so
  // parallel attempts cannot outrun the count: no more are let through at
  // once than failures are left before the next delay.
  Verdict Begin(std::string_view account, std::string_view address, Time now);
  // The outcome of an attempt `Begin` let through.
  void End(std::string_view account, std::string_view address, Outcome outcome, Time now);

  std::size_t Keys() const { return accounts_.Size() + addresses_.Size(); }

 private:
  class Counts {
   public:
    Counts(Policy policy, std::size_t maxKeys) : policy_(policy), maxKeys_(maxKeys) {}
    // True when refused (`verdict` then filled); else the attempt is in flight.
    bool Begin(std::string_view key, Time now, Verdict* verdict);
    void End(std::string_view key, Outcome outcome, bool clearOnRight, Time now);
    std::size_t Size() const { return map_.size(); }

   private:
    struct Entry {
      int failures = 0;
      int inFlight = 0;
      Time until{};  // the end of the current delay (the last failure when none)
      bool burstLogged = false;
    };
    Entry& Find(std::string_view key, Time now);
    void MakeRoom(Time now);

    Policy policy_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, Entry> map_;
  };

  Counts accounts_;
  Counts addresses_;
};

// The server's throttle: one per core, behind a leaf mutex.
class SharedLoginThrottle {
 public:
  explicit SharedLoginThrottle(std::function<LoginThrottle::Time()> clock) : clock_(std::move(clock)) {}

  struct Begun {
    bool go = true;         // false: refuse the attempt without checking it
    std::string burstLine;  // the status-log line of a burst's first refusal
  };
  Begun Begin(const std::string& name, const std::string& address);
  void End(const std::string& name, const std::string& address, LoginOutcome outcome);

 private:
  const std::function<LoginThrottle::Time()> clock_;
  Mutex mutex_;
  LoginThrottle throttle_ CORVAN_GUARDED_BY(mutex_);
};

// One attempt of a handler that checks a password, through the core's
// throttle (when it has one): `Refused` says to answer as for a wrong
// password without checking it; otherwise the attempt counts as in flight
// until `End`, or until it is dropped (then its password was not judged).
class LoginAttempt {
 public:
  LoginAttempt(LoginHooks hooks, std::string name, std::string address);
  ~LoginAttempt();
  LoginAttempt(const LoginAttempt&) = delete;
  LoginAttempt& operator=(const LoginAttempt&) = delete;

  bool Refused() const { return refused_; }
  void End(LoginOutcome outcome);

 private:
  const LoginHooks hooks_;
  std::string name_;
  std::string address_;
  bool refused_ = false;
  bool open_ = false;
};

}  // namespace corvan
