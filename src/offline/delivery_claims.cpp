#include "offline/delivery_claims.h"

#include <filesystem>

namespace corvan {

namespace {
std::string Key(const std::string& filePath) { return std::filesystem::path(filePath).lexically_normal().string(); }
}  // namespace

DeliveryClaims& DeliveryClaims::Instance() {
  static DeliveryClaims instance;
  return instance;
}

DeliveryClaims::Claim::~Claim() {
  if (!held_) return;
  DeliveryClaims& claims = DeliveryClaims::Instance();
  MutexLock lock(claims.mutex_);
  claims.items_.erase(key_);
}

std::optional<DeliveryClaims::Claim> DeliveryClaims::TryClaim(const std::string& filePath) {
  std::string key = Key(filePath);
  MutexLock lock(mutex_);
  if (!items_.insert(key).second) return std::nullopt;
  return Claim(std::move(key));
}

bool DeliveryClaims::Claimed(const std::string& filePath) const {
  MutexLock lock(mutex_);
  return items_.count(Key(filePath)) > 0;
}

}  // namespace corvan
