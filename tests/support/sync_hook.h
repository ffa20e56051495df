// Every fsync of a test program that uses this passes through `SyncHook`:
// tests see which files and folders were synced, in which order and in what
// state, and make chosen syncs fail.
#pragma once

#include <filesystem>
#include <functional>

namespace corvan::test {

class SyncHook {
 public:
  // Called with the path of every descriptor synced while the hook lives; a
  // non-zero return fails that fsync with that errno, zero lets it run.
  // Called outside any lock of the hook; it must not sync itself.
  using Handler = std::function<int(const std::filesystem::path&)>;
  explicit SyncHook(Handler handler);
  ~SyncHook();
  SyncHook(const SyncHook&) = delete;
  SyncHook& operator=(const SyncHook&) = delete;
};

}  // namespace corvan::test
