// The upload folders in use right now: uploads still being received and
// items being delivered. The cleanup of unreferenced folders spares them.
//
// An upload registers its folder before creating it and unregisters only
// after its row is written, so a folder the cleanup finds unregistered is
// either referenced by a row by then or abandoned. Process-wide; the mutex
// is a leaf lock held only inside these calls.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>

#include "base/thread_annotations.h"

namespace corvan {

class ActiveFolders {
 public:
  static ActiveFolders& Instance();

  // Marks a folder as in use while it lives.
  class Registration {
   public:
    Registration() = default;
    explicit Registration(std::filesystem::path path);
    ~Registration() { Release(); }
    Registration(Registration&& o) noexcept : path_(std::move(o.path_)), held_(o.held_) { o.held_ = false; }
    Registration& operator=(Registration&& o) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    void Release();

   private:
    std::filesystem::path path_;
    bool held_ = false;
  };

  bool Contains(const std::filesystem::path& path) const;

 private:
  friend class Registration;
  void Add(const std::string& key);
  void Remove(const std::string& key);

  mutable Mutex mutex_;
  std::multiset<std::string> folders_ CORVAN_GUARDED_BY(mutex_);
};

}  // namespace corvan
