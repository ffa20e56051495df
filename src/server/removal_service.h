// The path removal service: deletes files and folder trees one at a time on
// its own executor thread; the asking thread waits until the deletion is
// done. The executor takes no lock of the server, so a worker may ask while
// holding `OfflineFilesLock` without any risk of a deadlock.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <thread>

#include "base/thread_annotations.h"

namespace corvan {

class RemovalService {
 public:
  enum class Kind { kFile = 1, kFolder = 2 };

  RemovalService();
  ~RemovalService();
  RemovalService(const RemovalService&) = delete;
  RemovalService& operator=(const RemovalService&) = delete;

  // Deletes the file (kFile) or the folder with everything in it (kFolder)
  // and returns when it is done. Failures are ignored.
  void Remove(Kind kind, const std::filesystem::path& path);

 private:
  void Run();

  Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> queue_ CORVAN_GUARDED_BY(mutex_);
  bool stopping_ CORVAN_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace corvan
