#include "server/online_users.h"

#include <algorithm>

namespace corvan {

TUserOnlineInfo* OnlineUserList::Find(std::string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.UserName == name; });
  return it == entries_.end() ? nullptr : &*it;
}

TUserOnlineInfo* OnlineUserList::FindByIp(std::string_view ip) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.IP == ip; });
  return it == entries_.end() ? nullptr : &*it;
}

bool OnlineUserList::Remove(std::string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.UserName == name; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

std::vector<std::string> OnlineUserList::Addresses() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.IP);
  return out;
}

}  // namespace corvan
