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

// A std::mutex the analysis knows as a lock. Satisfies BasicLockable and
// Lockable, so std::condition_variable_any can wait on it.
class CORVAN_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() CORVAN_ACQUIRE() { mutex_.lock(); }
  void unlock() CORVAN_RELEASE() { mutex_.unlock(); }
  bool try_lock() CORVAN_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds this mutex, where it cannot see
  // it: in a job run by code that holds it (checks nothing at run time).
  void AssertHeld() const CORVAN_ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope; Unlock() lets it go early (once).
class CORVAN_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) CORVAN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() CORVAN_RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() CORVAN_RELEASE() {
    mutex_.unlock();
    held_ = false;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace corvan
