#include "server/online_users.h"

#include <algorithm>
#include <functional>

namespace corvan {

TUserOnlineInfo* OnlineUserList::Find(std::string_view name) {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : &entries_[it->second];
}

const TUserOnlineInfo* OnlineUserList::Find(std::string_view name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : &entries_[it->second];
}

TUserOnlineInfo* OnlineUserList::FindByIp(std::string_view ip) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.IP == ip; });
  return it == entries_.end() ? nullptr : &*it;
}

TUserOnlineInfo& OnlineUserList::Add(TUserOnlineInfo entry) {
  const std::size_t position = entries_.size();
  ipv4_.push_back(Ipv4OrZero(entry.IP));
  recipients_.reset();
  entries_.push_back(std::move(entry));
  // An earlier entry with the same name stays the first match.
  byName_.try_emplace(entries_.back().UserName, position);
  return entries_.back();
}

bool OnlineUserList::Remove(std::string_view name) {
  auto it = byName_.find(name);
  if (it == byName_.end()) return false;
  EraseAt(it->second);
  return true;
}

bool OnlineUserList::Remove(const TUserOnlineInfo* entry) {
  // std::less orders any two pointers, also one from outside the list.
  const std::less<const TUserOnlineInfo*> before;
  if (entry == nullptr || before(entry, entries_.data()) || !before(entry, entries_.data() + entries_.size())) {
    return false;
  }
  EraseAt(static_cast<std::size_t>(entry - entries_.data()));
  return true;
}

bool OnlineUserList::Rename(std::string_view oldName, std::string newName, std::string nickname) {
  auto it = byName_.find(oldName);
  if (it == byName_.end()) return false;
  const std::size_t position = it->second;
  TUserOnlineInfo& entry = entries_[position];
  entry.NickName = std::move(nickname);
  if (entry.UserName == newName) return true;
  const std::string oldKey = entry.UserName;
  entry.UserName = std::move(newName);
  ReindexFrom(oldKey, position + 1);
  auto [slot, inserted] = byName_.try_emplace(entry.UserName, position);
  if (!inserted && slot->second > position) slot->second = position;
  return true;
}

void OnlineUserList::SetIp(TUserOnlineInfo* entry, std::string ip) {
  const std::size_t position = static_cast<std::size_t>(entry - entries_.data());
  ipv4_[position] = Ipv4OrZero(ip);
  entry->IP = std::move(ip);
  recipients_.reset();
}

void OnlineUserList::Clear() {
  entries_.clear();
  byName_.clear();
  ipv4_.clear();
  recipients_.reset();
}

std::shared_ptr<const RecipientList> OnlineUserList::Recipients() const {
  if (!recipients_) recipients_ = std::make_shared<const RecipientList>(ipv4_);
  return recipients_;
}

bool OnlineUserList::IndexConsistent() const {
  Index expected;
  RecipientList addresses;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    expected.try_emplace(entries_[i].UserName, i);
    addresses.push_back(Ipv4OrZero(entries_[i].IP));
  }
  return expected == byName_ && addresses == ipv4_ && (!recipients_ || *recipients_ == ipv4_);
}

void OnlineUserList::EraseAt(std::size_t position) {
  const std::string name = entries_[position].UserName;
  const bool wasFirst = [&] {
    auto it = byName_.find(name);
    return it != byName_.end() && it->second == position;
  }();
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  ipv4_.erase(ipv4_.begin() + static_cast<std::ptrdiff_t>(position));
  recipients_.reset();
  // Every entry after the gap moved down by one; only first matches are
  // indexed, so a later namesake is left alone unless it now becomes first.
  for (std::size_t i = position; i < entries_.size(); ++i) {
    auto it = byName_.find(entries_[i].UserName);
    if (it != byName_.end() && it->second == i + 1) it->second = i;
  }
  if (wasFirst) ReindexFrom(name, position);
}

void OnlineUserList::ReindexFrom(const std::string& name, std::size_t from) {
  for (std::size_t i = from; i < entries_.size(); ++i) {
    if (entries_[i].UserName == name) {
      byName_[name] = i;
      return;
    }
  }
  byName_.erase(name);
}

}  // namespace corvan
