// The run-time check of the lock order (see thread_annotations.h): each
// thread keeps the ranked locks it holds, in the order it took them.
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "base/thread_annotations.h"

#if defined(CORVAN_LOCK_ORDER_CHECK)

namespace corvan::lock_order {

namespace {

struct Held {
  const void* id;
  LockRank rank;
  const char* name;
};

std::vector<Held>& HeldByThisThread() {
  thread_local std::vector<Held> held;
  return held;
}

// Adds a lock to this thread's record. A record that cannot grow (no memory
// left) cannot check the order any more: the check build ends there.
void Record(std::vector<Held>& held, const Held& lock) noexcept {
  try {
    held.push_back(lock);
  } catch (...) {
    std::fprintf(stderr, "corvan: lock order check: no memory left to record %s\n", lock.name);
    std::fflush(stderr);
    std::abort();
  }
}

[[noreturn]] void Inverted(const char* taking, LockRank takingRank, const Held& held) {
  std::fprintf(stderr, "corvan: lock order violated: taking %s (rank %d) while holding %s (rank %d)\n", taking,
               static_cast<int>(takingRank), held.name, static_cast<int>(held.rank));
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void Acquire(const void* id, LockRank rank, const char* name, bool recursive) noexcept {
  if (rank == LockRank::kUnranked) return;
  std::vector<Held>& held = HeldByThisThread();
  for (const Held& h : held) {
    if (h.id != id) continue;
    // Taking a lock this thread holds already cannot wait for another
    // thread; a plain mutex would wait for ever.
    if (!recursive) {
      std::fprintf(stderr, "corvan: lock order violated: taking %s again on the thread that holds it\n", name);
      std::fflush(stderr);
      std::abort();
    }
    Record(held, {id, rank, name});
    return;
  }
  for (const Held& h : held) {
    if (h.rank > rank) Inverted(name, rank, h);
  }
  Record(held, {id, rank, name});
}

void Acquired(const void* id, LockRank rank, const char* name) noexcept {
  if (rank == LockRank::kUnranked) return;
  Record(HeldByThisThread(), {id, rank, name});
}

void Release(const void* id) noexcept {
  std::vector<Held>& held = HeldByThisThread();
  // Locks are usually let go in the reverse order of taking, but need not be.
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->id == id) {
      held.erase(std::next(it).base());
      return;
    }
  }
}

void CheckHeld(const void* id, LockRank rank, const char* name) noexcept {
  if (rank == LockRank::kUnranked) return;
  for (const Held& h : HeldByThisThread()) {
    if (h.id == id) return;
  }
  std::fprintf(stderr, "corvan: lock order violated: %s is not held by the thread that relies on it\n", name);
  std::fflush(stderr);
  std::abort();
}

}  // namespace corvan::lock_order

#endif
