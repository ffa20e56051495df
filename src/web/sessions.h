// The web console's sessions: a random token in a cookie names a session;
// each session has its own CSRF token that every change must carry in a
// header. A session ends when it has not been used for the idle timeout,
// when its lifetime is over, at logout, and when its administrator's
// password hash is no longer the one it was opened with (the caller checks
// that against the database on every use).
//
// Thread rules: the store has a lock of its own, held only to look up and
// change its map; times are passed in, so that tests need no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/thread_annotations.h"

namespace corvan {

struct WebSession {
  std::string admin;
  std::string passwordHash;  // the hash the session was opened with
  std::string csrfToken;
  std::chrono::steady_clock::time_point opened;
  std::chrono::steady_clock::time_point lastUsed;
};

struct SessionPolicy {
  std::chrono::seconds idleTimeout{1800};
  std::chrono::seconds lifetime{43200};
  std::size_t maxSessions = 1000;  // the oldest-used session makes room
};

// A new random token: 32 bytes from the system's generator, as hex.
std::string RandomToken();

class SessionStore {
 public:
  using Clock = std::chrono::steady_clock;

  void SetPolicy(const SessionPolicy& policy) CORVAN_EXCLUDES(mutex_);
  SessionPolicy Policy() const CORVAN_EXCLUDES(mutex_);

  // Opens a session and returns its token.
  std::string Open(const std::string& admin, const std::string& passwordHash, Clock::time_point now)
      CORVAN_EXCLUDES(mutex_);
  // The session of `token` when it is still alive at `now` (a dead one is
  // dropped). `touch`: the call is the administrator's activity and restarts
  // the idle timeout.
  std::optional<WebSession> Use(const std::string& token, Clock::time_point now, bool touch) CORVAN_EXCLUDES(mutex_);
  void Close(const std::string& token) CORVAN_EXCLUDES(mutex_);
  // Ends every session of `admin`.
  void CloseAllOf(const std::string& admin) CORVAN_EXCLUDES(mutex_);
  std::size_t Count() const CORVAN_EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  SessionPolicy policy_ CORVAN_GUARDED_BY(mutex_);
  std::unordered_map<std::string, WebSession> sessions_ CORVAN_GUARDED_BY(mutex_);
};

}  // namespace corvan
