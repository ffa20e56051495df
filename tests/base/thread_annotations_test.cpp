#include "base/thread_annotations.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

namespace corvan {
namespace {

using namespace std::chrono_literals;

// Whether another thread can take `mutex` now (it gives it back at once).
bool FreeElsewhere(Mutex& mutex) {
  return std::async(std::launch::async,
                    [&mutex] {
                      if (!mutex.try_lock()) return false;
                      mutex.unlock();
                      return true;
                    })
      .get();
}

// Take and give back a mutex outside any scope the analysis follows, as an
// unrelated owner would.
void TakeAside(Mutex& mutex) CORVAN_NO_THREAD_SAFETY_ANALYSIS { mutex.lock(); }
void GiveBackAside(Mutex& mutex) CORVAN_NO_THREAD_SAFETY_ANALYSIS { mutex.unlock(); }

TEST(MutexLock, HoldsForItsScopeAndLetsGoEarlyOnlyOnce) {
  Mutex mutex;
  {
    MutexLock lock(mutex);
    EXPECT_FALSE(FreeElsewhere(mutex));
  }
  EXPECT_TRUE(FreeElsewhere(mutex));

  {
    MutexLock lock(mutex);
    lock.Unlock();
    EXPECT_TRUE(FreeElsewhere(mutex));
    // Taken by someone else after the early release: the scope's end must
    // not release it a second time.
    TakeAside(mutex);
  }
  EXPECT_FALSE(FreeElsewhere(mutex));
  GiveBackAside(mutex);
  EXPECT_TRUE(FreeElsewhere(mutex));
}

TEST(Mutex, ConditionVariableAnyWaitsOnItAndWakes) {
  Mutex mutex;
  std::condition_variable_any changed;
  bool ready = false;  // under mutex
  std::thread setter([&] {
    MutexLock lock(mutex);
    ready = true;
    changed.notify_all();
  });
  bool seen = false;
  {
    MutexLock lock(mutex);
    // The wait releases the mutex while it sleeps, so the setter gets in.
    seen = changed.wait_for(mutex, 10s, [&] { return ready; });
  }
  setter.join();
  EXPECT_TRUE(seen);
}

#if defined(CORVAN_LOCK_ORDER_CHECK)

// Takes `first`, then `second` while still holding it.
void TakeNested(Mutex& first, Mutex& second) {
  MutexLock outer(first);
  MutexLock inner(second);
}

TEST(LockOrderDeathTest, TakingAnOuterLockUnderAnInnerOneAbortsNamingBoth) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex account(LockRank::kAccount, "AccountLock");
  Mutex database(LockRank::kDatabase, "database connection");
  TakeNested(account, database);  // the written order passes
  EXPECT_DEATH(TakeNested(database, account),
               "lock order violated: taking AccountLock \\(rank 20\\) while holding database connection");
}

// A claim that the lock is held, as a request's owners make it.
void ClaimHeld(const Mutex& mutex) { mutex.AssertHeld(); }

TEST(LockOrderDeathTest, ClaimingALockThisThreadDoesNotHoldAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Mutex online(LockRank::kOnline, "OnlineLock");
  {
    MutexLock held(online);
    ClaimHeld(online);
  }
  EXPECT_DEATH(ClaimHeld(online), "OnlineLock is not held by the thread that relies on it");
}

TEST(LockOrder, UnrankedLocksAndLocksLetGoInBetweenAreNotChecked) {
  // Two unranked locks, so that the nesting below draws no cycle for
  // ThreadSanitizer's own lock-order check.
  Mutex unrankedInner;
  Mutex unrankedOuter;
  Mutex online(LockRank::kOnline, "OnlineLock");
  Mutex settings(LockRank::kSettings, "settings");
  TakeNested(settings, unrankedInner);
  TakeNested(unrankedOuter, online);
  { MutexLock inner(settings); }
  MutexLock outer(online);  // settings was let go: nothing held after it
  std::condition_variable_any never;
  // A wait lets the lock go and takes it again; the record follows.
  never.wait_for(online, 1ms);
  MutexLock inner(settings);
}

// Takes a lock the caller may hold already (as a call back into its owner
// does).
void TakeAgain(RecursiveMutex& mutex) { RecursiveMutexLock lock(mutex); }

TEST(LockOrder, ARecursiveLockIsTakenAgainByItsThread) {
  RecursiveMutex lifecycle(LockRank::kLifecycle, "server lifecycle");
  Mutex settings(LockRank::kSettings, "settings");
  RecursiveMutexLock outer(lifecycle);
  MutexLock inner(settings);
  TakeAgain(lifecycle);
}

#endif

}  // namespace
}  // namespace corvan
