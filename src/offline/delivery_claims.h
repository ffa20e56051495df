// The stored items on their way to a client right now.
//
// An item's row stays in table OfflineFiles until its transfer has
// completed, so a crash at any moment of a delivery leaves the item for the
// next login. While a delivery runs, its claim here keeps a second delivery
// of the same item (a login racing another one) and the purge away from it.
// Items are keyed by their FilePath, which is unique: every upload has a
// folder of its own. Process-wide; the mutex is a leaf lock held only inside
// these calls.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "base/thread_annotations.h"

namespace corvan {

class DeliveryClaims {
 public:
  static DeliveryClaims& Instance();

  // Holds the claim on one item while it lives.
  class Claim {
   public:
    Claim(Claim&& o) noexcept : key_(std::move(o.key_)), held_(o.held_) { o.held_ = false; }
    Claim& operator=(Claim&&) = delete;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim();

   private:
    friend class DeliveryClaims;
    explicit Claim(std::string key) : key_(std::move(key)), held_(true) {}
    std::string key_;
    bool held_;
  };

  // The claim on the item at `filePath`, or nothing when another delivery
  // holds it.
  std::optional<Claim> TryClaim(const std::string& filePath);
  bool Claimed(const std::string& filePath) const;

 private:
  mutable Mutex mutex_;
  std::set<std::string> items_ CORVAN_GUARDED_BY(mutex_);
};

}  // namespace corvan
