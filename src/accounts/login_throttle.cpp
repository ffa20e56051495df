#include "accounts/login_throttle.h"

#include <algorithm>
#include <memory>

#include "base/quiet_failure.h"
#include "base/thread_annotations.h"

namespace corvan {

namespace {

std::chrono::seconds DelayAfter(const LoginThrottle::Policy& p, int failures) {
  std::chrono::seconds delay = p.firstDelay;
  for (int k = p.freeFailures; k < failures && delay < p.maxDelay; ++k) delay *= p.growth;
  return std::min(delay, p.maxDelay);
}

std::chrono::seconds SecondsUntil(LoginThrottle::Time until, LoginThrottle::Time now) {
  return std::chrono::ceil<std::chrono::seconds>(until - now);
}

}  // namespace

LoginThrottle::Counts::Entry& LoginThrottle::Counts::Find(std::string_view key, Time now) {
  auto it = map_.find(std::string(key));
  if (it != map_.end()) return it->second;
  if (map_.size() >= maxKeys_) MakeRoom(now);
  return map_[std::string(key)];
}

void LoginThrottle::Counts::MakeRoom(Time now) {
  std::erase_if(map_,
                [&](const auto& kv) { return kv.second.inFlight == 0 && now >= kv.second.until + policy_.forget; });
  if (map_.size() < maxKeys_) return;
  auto oldest = std::min_element(map_.begin(), map_.end(),
                                 [](const auto& a, const auto& b) { return a.second.until < b.second.until; });
  map_.erase(oldest);
}

bool LoginThrottle::Counts::Begin(std::string_view key, Time now, Verdict* verdict) {
  auto it = map_.find(std::string(key));
  if (it != map_.end()) {
    Entry& e = it->second;
    if (e.inFlight == 0 && now >= e.until + policy_.forget) e.failures = 0;
    const int allowed = e.failures < policy_.freeFailures ? policy_.freeFailures - e.failures : 1;
    if (now < e.until || e.inFlight >= allowed) {
      verdict->refused = true;
      verdict->firstOfBurst = !e.burstLogged;
      verdict->remaining = now < e.until ? SecondsUntil(e.until, now) : std::chrono::seconds(0);
      e.burstLogged = true;
      return true;
    }
  }
  ++Find(key, now).inFlight;
  return false;
}

void LoginThrottle::Counts::End(std::string_view key, Outcome outcome, bool clearOnRight, Time now) {
  auto it = map_.find(std::string(key));
  if (it == map_.end()) {
    // The key was dropped to make room while its attempt was in flight.
    if (outcome != Outcome::kWrong) return;
    Find(key, now);
    it = map_.find(std::string(key));
  }
  Entry& e = it->second;
  if (e.inFlight > 0) --e.inFlight;
  if (outcome == Outcome::kWrong) {
    if (now >= e.until + policy_.forget) e.failures = 0;
    ++e.failures;
    e.until = e.failures >= policy_.freeFailures ? now + DelayAfter(policy_, e.failures) : now;
    e.burstLogged = false;
  } else if (outcome == Outcome::kRight && clearOnRight) {
    e.failures = 0;
  }
  if (e.failures == 0 && e.inFlight == 0) map_.erase(it);
}

LoginThrottle::Verdict LoginThrottle::Begin(std::string_view account, std::string_view address, Time now) {
  Verdict verdict;
  verdict.key = Key::kAddress;
  if (addresses_.Begin(address, now, &verdict)) return verdict;
  verdict.key = Key::kAccount;
  if (accounts_.Begin(account, now, &verdict)) {
    addresses_.End(address, Outcome::kUnjudged, false, now);
    return verdict;
  }
  return verdict;
}

void LoginThrottle::End(std::string_view account, std::string_view address, Outcome outcome, Time now) {
  accounts_.End(account, outcome, true, now);
  // A right password of one account says nothing about the other guesses
  // made from the same machine.
  addresses_.End(address, outcome, false, now);
}

SharedLoginThrottle::Begun SharedLoginThrottle::Begin(const std::string& name, const std::string& address) {
  LoginThrottle::Verdict v;
  {
    MutexLock lock(mutex_);
    v = throttle_.Begin(name, address, clock_());
  }
  Begun begun{!v.refused, {}};
  if (v.refused && v.firstOfBurst) {
    begun.burstLine = v.key == LoginThrottle::Key::kAccount
                          ? "用户：" + name + "密码错误次数过多，暂不验证其登录（来自 " + address + "）"
                          : "地址：" + address + "登录密码错误次数过多，暂不验证来自该地址的登录（用户 " + name + "）";
    if (v.remaining.count() > 0) begun.burstLine += "，" + std::to_string(v.remaining.count()) + "秒后恢复";
  }
  return begun;
}

void SharedLoginThrottle::End(const std::string& name, const std::string& address, LoginOutcome outcome) {
  MutexLock lock(mutex_);
  throttle_.End(name, address, outcome, clock_());
}

LoginAttempt::LoginAttempt(LoginHooks hooks, std::string name, std::string address)
    : hooks_(hooks), name_(std::move(name)), address_(std::move(address)) {
  if (!hooks_.Throttled()) return;
  refused_ = !hooks_.BeginLogin(name_, address_);
  open_ = !refused_;
}

LoginAttempt::~LoginAttempt() {
  try {
    End(LoginOutcome::kUnjudged);
  } catch (...) {
    // Quiet by design: only memory can fail here; the count of this one
    // attempt stays in flight until its key is dropped.
    NoteQuietFailure("login throttle");
  }
}

void LoginAttempt::End(LoginOutcome outcome) {
  if (!open_) return;
  open_ = false;
  hooks_.EndLogin(name_, address_, outcome);
}

}  // namespace corvan
