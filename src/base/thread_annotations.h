// Lock annotations checked by Clang's thread-safety analysis
// (-Wthread-safety), and a mutex that carries them.
//
// State shared between threads is declared `CORVAN_GUARDED_BY(lock)`; a
// function that expects its caller to hold a lock is declared
// `CORVAN_REQUIRES(lock)`. Clang then refuses, at compile time, any access
// made without the lock. Other compilers see plain declarations.
//
// libstdc++'s std::mutex and std::lock_guard carry no annotations, so the
// analysis cannot see them take a lock: guarded state is locked through
// `Mutex` and `MutexLock` below.
#pragma once

#include <mutex>

#if defined(__clang__)
#define CORVAN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVAN_THREAD_ANNOTATION(x)
#endif

#define CORVAN_CAPABILITY(x) CORVAN_THREAD_ANNOTATION(capability(x))
#define CORVAN_SCOPED_CAPABILITY CORVAN_THREAD_ANNOTATION(scoped_lockable)
#define CORVAN_GUARDED_BY(x) CORVAN_THREAD_ANNOTATION(guarded_by(x))
#define CORVAN_PT_GUARDED_BY(x) CORVAN_THREAD_ANNOTATION(pt_guarded_by(x))
#define CORVAN_ACQUIRED_BEFORE(...) CORVAN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define CORVAN_ACQUIRED_AFTER(...) CORVAN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define CORVAN_REQUIRES(...) CORVAN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define CORVAN_ACQUIRE(...) CORVAN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define CORVAN_RELEASE(...) CORVAN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define CORVAN_TRY_ACQUIRE(...) CORVAN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define CORVAN_EXCLUDES(...) CORVAN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define CORVAN_ASSERT_CAPABILITY(x) CORVAN_THREAD_ANNOTATION(assert_capability(x))
#define CORVAN_RETURN_CAPABILITY(x) CORVAN_THREAD_ANNOTATION(lock_returned(x))
#define CORVAN_NO_THREAD_SAFETY_ANALYSIS CORVAN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace corvan {

// The lock order. A thread that holds a ranked lock takes only locks ranked
// after it (further down this list); the list runs outermost first:
//
//   kLifecycle       ServerCore's start / stop / first show (recursive)
//   kAccount         AccountLock: registrations, profile and password changes
//   kOnline          OnlineLock: the online-user list and the login turns
//   kOfflineInfo     OfflineInfoLock: table OfflineInfo
//   kOfflineFiles    OfflineFilesLock: table OfflineFiles and its folder
//   kDatabase        the database connection
//   kSettings        the settings (copied in or out)
//   kNoticeQueue     the fan-out lane's queue (after its stop, a notice is
//                    sent under it through the UDP listener)
//   kUdpSend         the UDP listener as seen by senders
//   kConnections     the set of open client connections
//   kReplyQueue      one connection's reply queue
//   kStatusLog       the status log (its sink runs under it)
//
// Unranked locks (the default) are leaves of their own owners and are not
// checked. In builds with CORVAN_LOCK_ORDER_CHECK defined, every thread
// keeps the ranks it holds, and taking a lock ranked before one it holds
// aborts the process naming both locks; other builds keep no ranks at all.
enum class LockRank : int {
  kUnranked = 0,
  kLifecycle = 10,
  kAccount = 20,
  kOnline = 30,
  kOfflineInfo = 40,
  kOfflineFiles = 50,
  kDatabase = 60,
  kSettings = 70,
  kNoticeQueue = 80,
  kUdpSend = 90,
  kConnections = 100,
  kReplyQueue = 110,
  kStatusLog = 120,
};

namespace lock_order {
#if defined(CORVAN_LOCK_ORDER_CHECK)
// Records that this thread takes the lock `id`; aborts, naming both locks,
// when it holds a lock ranked after `rank`. A lock already held by this
// thread may be taken again only when `recursive`.
void Acquire(const void* id, LockRank rank, const char* name, bool recursive) noexcept;
// Records a lock taken without waiting (try_lock): no order is checked, since
// a lock that is only tried cannot deadlock.
void Acquired(const void* id, LockRank rank, const char* name) noexcept;
void Release(const void* id) noexcept;
// Aborts, naming the lock, unless this thread holds the ranked lock `id`.
void CheckHeld(const void* id, LockRank rank, const char* name) noexcept;
#endif
}  // namespace lock_order

// A standard mutex the analysis knows as a lock, with its place in the lock
// order. Satisfies BasicLockable and Lockable, so
// std::condition_variable_any can wait on it.
template <typename StdMutex, bool kRecursive>
class CORVAN_CAPABILITY("mutex") BasicMutex {
 public:
  BasicMutex() = default;
  // A lock with a place in the lock order; `name` is what an abort names.
  constexpr BasicMutex(LockRank rank, const char* name)
#if defined(CORVAN_LOCK_ORDER_CHECK)
      : rank_(rank),
        name_(name)
#endif
  {
  }
  BasicMutex(const BasicMutex&) = delete;
  BasicMutex& operator=(const BasicMutex&) = delete;

  void lock() CORVAN_ACQUIRE() {
#if defined(CORVAN_LOCK_ORDER_CHECK)
    lock_order::Acquire(this, rank_, name_, kRecursive);
#endif
    mutex_.lock();
  }
  void unlock() CORVAN_RELEASE() {
#if defined(CORVAN_LOCK_ORDER_CHECK)
    lock_order::Release(this);
#endif
    mutex_.unlock();
  }
  bool try_lock() CORVAN_TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
#if defined(CORVAN_LOCK_ORDER_CHECK)
    lock_order::Acquired(this, rank_, name_);
#endif
    return true;
  }
  // Tells the analysis that the caller holds this mutex, where it cannot see
  // it: in a job run by code that holds it, or where the lock is reached by
  // another path than the one it was taken by. Builds with the lock-order
  // check abort when a ranked lock is not in fact held by this thread.
  void AssertHeld() const CORVAN_ASSERT_CAPABILITY(this) {
#if defined(CORVAN_LOCK_ORDER_CHECK)
    lock_order::CheckHeld(this, rank_, name_);
#endif
  }

 private:
  StdMutex mutex_;
#if defined(CORVAN_LOCK_ORDER_CHECK)
  LockRank rank_ = LockRank::kUnranked;
  const char* name_ = "unnamed lock";
#endif
};

using Mutex = BasicMutex<std::mutex, false>;
// The thread that holds it may take it again (a front end called back
// during a start asks about the start).
using RecursiveMutex = BasicMutex<std::recursive_mutex, true>;

// Holds a Mutex (or RecursiveMutex) for its scope; Unlock() lets it go early
// (once).
template <typename M>
class CORVAN_SCOPED_CAPABILITY BasicMutexLock {
 public:
  explicit BasicMutexLock(M& mutex) CORVAN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~BasicMutexLock() CORVAN_RELEASE() {
    if (held_) mutex_.unlock();
  }
  BasicMutexLock(const BasicMutexLock&) = delete;
  BasicMutexLock& operator=(const BasicMutexLock&) = delete;

  void Unlock() CORVAN_RELEASE() {
    mutex_.unlock();
    held_ = false;
  }

 private:
  M& mutex_;
  bool held_ = true;
};

using MutexLock = BasicMutexLock<Mutex>;
using RecursiveMutexLock = BasicMutexLock<RecursiveMutex>;

}  // namespace corvan
