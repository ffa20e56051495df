// The online-user list. Every read or change happens while holding
// `OnlineRegistry::OnlineLock`.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/text.h"
#include "server/udp.h"

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
//
// Lookups by name go through an index (name -> position of the first entry
// with that name) so a heartbeat costs one hash probe whatever the list's
// length. Beside the entries the list keeps their addresses in binary form,
// so that a notice takes its recipients as one copy of a flat array. Every
// change goes through the methods below, which keep both right; entries are
// read-only from outside except through `Find`, whose result may be changed
// in every field but `UserName` (use `Rename`) and `IP` (use `SetIp`).
class OnlineUserList {
 public:
  const std::vector<TUserOnlineInfo>& Entries() const { return entries_; }

  TUserOnlineInfo* Find(std::string_view name);
  const TUserOnlineInfo* Find(std::string_view name) const;
  TUserOnlineInfo* FindByIp(std::string_view ip);
  // Appends at the end of the list (the newest arrival).
  TUserOnlineInfo& Add(TUserOnlineInfo entry);
  // Removes the first entry with this name; true if one was removed.
  bool Remove(std::string_view name);
  // Removes this entry (a pointer from `Find` or `FindByIp`); true if it was
  // one of the list's entries.
  bool Remove(const TUserOnlineInfo* entry);
  // Gives the first entry named `oldName` a new name and nickname; false
  // when nobody by that name is listed.
  bool Rename(std::string_view oldName, std::string newName, std::string nickname);
  // Gives an entry (a pointer from `Find` or `FindByIp`) a new address.
  void SetIp(TUserOnlineInfo* entry, std::string ip);
  void Clear();
  std::size_t Size() const { return entries_.size(); }
  // Every entry's address, in list order (duplicates kept), as one shared,
  // unchanging list. Notices taken while the list does not change share one
  // copy.
  std::shared_ptr<const RecipientList> Recipients() const;

  // True when the index and the binary addresses match a linear walk of the
  // list (for tests).
  bool IndexConsistent() const;

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  using Index = std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>;

  void EraseAt(std::size_t position);
  // Points the index for `name` at its first entry from `from` on, or drops
  // it when there is none.
  void ReindexFrom(const std::string& name, std::size_t from);

  std::vector<TUserOnlineInfo> entries_;
  Index byName_;
  RecipientList ipv4_;  // entries_[i].IP in binary form, at the same position
  // The last list handed out by Recipients(); dropped by every change.
  mutable std::shared_ptr<const RecipientList> recipients_;
};

}  // namespace corvan
