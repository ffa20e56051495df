// The online-user list. Every read or change happens while holding
// `ServerCore::OnlineLock`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace corvan {

struct TUserOnlineInfo {
  std::string UserName;  // upper case; unique in the list
  std::string NickName;
  std::string IP;  // dotted IPv4
  std::string Mac;
  std::string Status;
  Clock::time_point LastSeen{};
};

// Ordered by arrival. Lookups are exact and take the first match.
class OnlineUserList {
 public:
  std::vector<TUserOnlineInfo>& Entries() { return entries_; }
  const std::vector<TUserOnlineInfo>& Entries() const { return entries_; }

  TUserOnlineInfo* Find(std::string_view name);
  TUserOnlineInfo* FindByIp(std::string_view ip);
  // Removes the first entry with this name; true if one was removed.
  bool Remove(std::string_view name);
  void Clear() { entries_.clear(); }
  std::size_t Size() const { return entries_.size(); }
  // Every entry's IP, in list order (duplicates kept).
  std::vector<std::string> Addresses() const;

 private:
  std::vector<TUserOnlineInfo> entries_;
};

}  // namespace corvan
