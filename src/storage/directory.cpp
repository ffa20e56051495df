#include "storage/directory.h"

namespace corvan {

std::int64_t ClampDisplayOrder(std::int64_t v) { return (v < 0 || v > 10000) ? 0 : v; }

DirectorySnapshot::DirectorySnapshot(std::string companyName, std::vector<OrgPtr> orgs,
                                     std::vector<UserPtr> users)
    : companyName_(std::move(companyName)), orgs_(std::move(orgs)), users_(std::move(users)) {
  userIndex_.reserve(users_.size());
  for (std::size_t i = 0; i < users_.size(); ++i) userIndex_.try_emplace(users_[i]->username, i);
  orgIndex_.reserve(orgs_.size());
  for (std::size_t i = 0; i < orgs_.size(); ++i) orgIndex_.try_emplace(orgs_[i]->organizeNo, i);
}

const TUserInfo* DirectorySnapshot::FindUser(std::string_view name) const {
  auto it = userIndex_.find(name);
  return it == userIndex_.end() ? nullptr : users_[it->second].get();
}

const TorgInfo* DirectorySnapshot::FindOrg(std::string_view code) const {
  auto it = orgIndex_.find(code);
  return it == orgIndex_.end() ? nullptr : orgs_[it->second].get();
}

std::string DirectorySnapshot::OrgName(std::string_view code) const {
  const TorgInfo* org = FindOrg(code);
  return org ? org->organizename : std::string();
}

Directory::Directory() : current_(std::make_shared<const DirectorySnapshot>()) {}

bool Directory::Update(const std::function<bool(Draft&)>& change) {
  std::lock_guard lock(writerMutex_);
  Snapshot cur = current_.load(std::memory_order_acquire);
  Draft draft{cur->CompanyName(), cur->Orgs(), cur->Users()};
  if (!change(draft)) return false;
  current_.store(std::make_shared<const DirectorySnapshot>(std::move(draft.companyName), std::move(draft.orgs),
                                                           std::move(draft.users)),
                 std::memory_order_release);
  return true;
}

void Directory::Replace(std::string companyName, std::vector<DirectorySnapshot::OrgPtr> orgs,
                        std::vector<DirectorySnapshot::UserPtr> users) {
  std::lock_guard lock(writerMutex_);
  current_.store(std::make_shared<const DirectorySnapshot>(std::move(companyName), std::move(orgs), std::move(users)),
                 std::memory_order_release);
}

}  // namespace corvan
