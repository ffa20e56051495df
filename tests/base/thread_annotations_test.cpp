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

}  // namespace
}  // namespace corvan
