#include "offline/active_folders.h"

namespace corvan {

namespace {
std::string Key(const std::filesystem::path& p) { return p.lexically_normal().string(); }
}  // namespace

ActiveFolders& ActiveFolders::Instance() {
  static ActiveFolders instance;
  return instance;
}

ActiveFolders::Registration::Registration(std::filesystem::path path) : path_(std::move(path)), held_(true) {
  ActiveFolders::Instance().Add(Key(path_));
}

ActiveFolders::Registration& ActiveFolders::Registration::operator=(Registration&& o) noexcept {
  if (this != &o) {
    Release();
    path_ = std::move(o.path_);
    held_ = o.held_;
    o.held_ = false;
  }
  return *this;
}

void ActiveFolders::Registration::Release() {
  if (!held_) return;
  held_ = false;
  ActiveFolders::Instance().Remove(Key(path_));
}

bool ActiveFolders::Contains(const std::filesystem::path& path) const {
  MutexLock lock(mutex_);
  return folders_.count(Key(path)) > 0;
}

void ActiveFolders::Add(const std::string& key) {
  MutexLock lock(mutex_);
  folders_.insert(key);
}

void ActiveFolders::Remove(const std::string& key) {
  MutexLock lock(mutex_);
  auto it = folders_.find(key);
  if (it != folders_.end()) folders_.erase(it);
}

}  // namespace corvan
