#include "server/removal_service.h"

#include <future>

namespace corvan {

RemovalService::RemovalService() : thread_([this] { Run(); }) {}

RemovalService::~RemovalService() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void RemovalService::Remove(Kind kind, const std::filesystem::path& path) {
  std::packaged_task<void()> task([kind, path] {
    std::error_code ec;
    if (kind == Kind::kFile) {
      if (!std::filesystem::is_directory(path, ec)) std::filesystem::remove(path, ec);
    } else {
      std::filesystem::remove_all(path, ec);
    }
  });
  std::future<void> done = task.get_future();
  {
    MutexLock lock(mutex_);
    if (stopping_) return;
    queue_.emplace_back([&task] { task(); });
  }
  wake_.notify_one();
  done.wait();
}

void RemovalService::Run() {
  for (;;) {
    std::function<void()> job;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && queue_.empty()) wake_.wait(mutex_);
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace corvan
