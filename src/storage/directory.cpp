#include "storage/directory.h"

#include "base/text.h"
#include "storage/account_fields.h"

namespace corvan {

std::int64_t ClampDisplayOrder(std::int64_t v) { return (v < 0 || v > 10000) ? 0 : v; }

std::string StoredText(std::string_view text) { return CarriableText(text, kMaxTextChars); }

namespace {

// Replaces `text` by its stored form; true when that differs.
bool Store(std::string& text) {
  std::string stored = StoredText(text);
  if (stored == text) return false;
  text = std::move(stored);
  return true;
}

}  // namespace

bool MakeStorable(TUserInfo& u) {
  // The department name is not an account field (it is looked up), but an
  // entry carries it to clients all the same.
  bool changed = Store(u.organizename);
  for (const auto& f : kAccountFields) changed = Store(u.*f.member) || changed;
  return changed;
}

bool MakeStorable(TorgInfo& org) {
  bool changed = false;
  for (std::string* text : {&org.organizename, &org.organizeNo, &org.parNo}) changed = Store(*text) || changed;
  return changed;
}

DerivedBytesSlot& DerivedBytesSlot::operator=(const DerivedBytesSlot& other) noexcept {
  if (this == &other) return *this;
  // The bytes belonged to the contents this object held before.
  MutexLock lock(valueMutex_);
  bytes_.reset();
  return *this;
}

DerivedBytesSlot::Bytes DerivedBytesSlot::Kept() const {
  MutexLock lock(valueMutex_);
  return bytes_;
}

DerivedBytesSlot::Bytes DerivedBytesSlot::Get(const std::function<std::string()>& build) const {
  if (Bytes bytes = Kept()) return bytes;
  // Building is pure work over the snapshot (no I/O), so it may run under
  // the slot's own mutex; only first callers of this one snapshot wait.
  MutexLock building(buildMutex_);
  if (Bytes bytes = Kept()) return bytes;
  Bytes bytes = std::make_shared<const std::string>(build());
  MutexLock lock(valueMutex_);
  bytes_ = bytes;
  return bytes;
}

DirectorySnapshot::DirectorySnapshot(std::string companyName, std::vector<OrgPtr> orgs, std::vector<UserPtr> users)
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

std::optional<std::size_t> DirectorySnapshot::UserPosition(std::string_view name) const {
  auto it = userIndex_.find(name);
  if (it == userIndex_.end()) return std::nullopt;
  return it->second;
}

const TorgInfo* DirectorySnapshot::FindOrg(std::string_view code) const {
  auto it = orgIndex_.find(code);
  return it == orgIndex_.end() ? nullptr : orgs_[it->second].get();
}

std::string DirectorySnapshot::OrgName(std::string_view code) const {
  const TorgInfo* org = FindOrg(code);
  return org ? org->organizename : std::string();
}

// One listener. `running` is held while the listener runs, so that ending a
// subscription waits for a call in progress on another thread; it is
// recursive so that a listener may change the directory again on its own
// thread.
struct Directory::Listener {
  std::function<void()> call;
  RecursiveMutex running;
  bool active CORVAN_GUARDED_BY(running) = true;
};

struct Directory::Listeners {
  Mutex mutex;
  std::vector<std::shared_ptr<Listener>> list CORVAN_GUARDED_BY(mutex);
};

Directory::Subscription& Directory::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    Reset();
    listeners_ = std::move(other.listeners_);
    listener_ = std::move(other.listener_);
  }
  return *this;
}

void Directory::Subscription::Reset() {
  if (!listener_) return;
  if (auto listeners = listeners_.lock()) {
    MutexLock lock(listeners->mutex);
    std::erase(listeners->list, listener_);
  }
  {
    // Waits for a call in progress; none starts after this.
    RecursiveMutexLock running(listener_->running);
    listener_->active = false;
  }
  listener_.reset();
  listeners_.reset();
}

Directory::Directory()
    : current_(std::make_shared<const DirectorySnapshot>()), listeners_(std::make_shared<Listeners>()) {}

Directory::~Directory() = default;

Directory::Subscription Directory::Subscribe(std::function<void()> listener) {
  Subscription subscription;
  subscription.listener_ = std::make_shared<Listener>();
  subscription.listener_->call = std::move(listener);
  subscription.listeners_ = listeners_;
  MutexLock lock(listeners_->mutex);
  listeners_->list.push_back(subscription.listener_);
  return subscription;
}

void Directory::NotifyListeners() {
  std::vector<std::shared_ptr<Listener>> listeners;
  {
    MutexLock lock(listeners_->mutex);
    listeners = listeners_->list;
  }
  for (const auto& listener : listeners) {
    RecursiveMutexLock running(listener->running);
    if (listener->active && listener->call) listener->call();
  }
}

std::unique_lock<std::mutex> Directory::LockWriter() {
  writersWaiting_.fetch_add(1, std::memory_order_relaxed);
  std::unique_lock lock(writerMutex_);
  writersWaiting_.fetch_sub(1, std::memory_order_relaxed);
  return lock;
}

bool Directory::Update(const std::function<bool(Draft&)>& change) {
  {
    std::unique_lock lock = LockWriter();
    Snapshot cur = current_.load(std::memory_order_acquire);
    Draft draft{cur->CompanyName(), cur->Orgs(), cur->Users(), cur};
    if (!change(draft)) return false;
    current_.store(std::make_shared<const DirectorySnapshot>(std::move(draft.companyName), std::move(draft.orgs),
                                                             std::move(draft.users)),
                   std::memory_order_release);
  }
  NotifyListeners();
  return true;
}

void Directory::Replace(std::string companyName, std::vector<DirectorySnapshot::OrgPtr> orgs,
                        std::vector<DirectorySnapshot::UserPtr> users) {
  {
    std::unique_lock lock = LockWriter();
    current_.store(std::make_shared<const DirectorySnapshot>(std::move(companyName), std::move(orgs), std::move(users)),
                   std::memory_order_release);
  }
  NotifyListeners();
}

}  // namespace corvan
