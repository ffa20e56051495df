#include "web/sessions.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "base/text.h"

namespace corvan {

std::string RandomToken() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("libsodium cannot be initialised");
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  static const char* const kHex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0xF];
  }
  return token;
}

void SessionStore::SetPolicy(const SessionPolicy& policy) {
  MutexLock lock(mutex_);
  policy_ = policy;
}

SessionPolicy SessionStore::Policy() const {
  MutexLock lock(mutex_);
  return policy_;
}

namespace {

bool Alive(const WebSession& s, const SessionPolicy& policy, std::chrono::steady_clock::time_point now) {
  return now - s.lastUsed < policy.idleTimeout && now - s.opened < policy.lifetime;
}

}  // namespace

std::string SessionStore::Open(const std::string& admin, const std::string& passwordHash, Clock::time_point now) {
  std::string token = RandomToken();
  WebSession session{admin, passwordHash, RandomToken(), now, now};
  MutexLock lock(mutex_);
  if (sessions_.size() >= policy_.maxSessions) {
    const SessionPolicy policy = policy_;
    std::erase_if(sessions_, [&](const auto& item) { return !Alive(item.second, policy, now); });
    if (sessions_.size() >= policy_.maxSessions) {
      auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
        return a.second.lastUsed < b.second.lastUsed;
      });
      if (oldest != sessions_.end()) sessions_.erase(oldest);
    }
  }
  sessions_.emplace(token, std::move(session));
  return token;
}

std::optional<WebSession> SessionStore::Use(const std::string& token, Clock::time_point now, bool touch) {
  MutexLock lock(mutex_);
  auto it = sessions_.find(token);
  if (it == sessions_.end()) return std::nullopt;
  if (!Alive(it->second, policy_, now)) {
    sessions_.erase(it);
    return std::nullopt;
  }
  if (touch) it->second.lastUsed = now;
  return it->second;
}

void SessionStore::Close(const std::string& token) {
  MutexLock lock(mutex_);
  sessions_.erase(token);
}

void SessionStore::CloseAllOf(const std::string& admin) {
  MutexLock lock(mutex_);
  std::erase_if(sessions_, [&](const auto& item) { return AsciiEqualsNoCase(item.second.admin, admin); });
}

std::size_t SessionStore::Count() const {
  MutexLock lock(mutex_);
  return sessions_.size();
}

}  // namespace corvan
