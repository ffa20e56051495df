// The in-memory directory: departments (`Orgs`), accounts (`Users`) and the
// name of the root unit (`CompanyName`).
//
// Request handlers read the directory on worker threads without any of the
// server's four locks, while the console and self-registration change it.
// Readers therefore never see a list being changed: the directory is an
// immutable snapshot, published through an atomic shared pointer. A reader
// takes the current snapshot (`Directory::Get`) and keeps it alive for as
// long as it uses it; a writer builds the next snapshot from the current one
// under the writer mutex and publishes it in one step. Entries are shared
// between snapshots (they are immutable too), so a change copies pointers,
// not accounts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/thread_annotations.h"

namespace corvan {

// One department. Field order follows the directory's record layout.
struct TorgInfo {
  std::string organizename;
  std::string organizeNo;
  std::string parNo;
  std::int64_t orgID = 0;
};

// The texts of one account, as authreg and vcard keep them (the name of
// its department is looked up, never stored with it). The account
// editor's form holds the same texts as typed.
struct AccountTexts {
  std::string username;
  std::string pwd;
  std::string nickname;
  std::string organizeNo;
  std::string n_family;
  std::string n_given;
  std::string tel;
  std::string email;
  std::string adr_country;
  std::string adr_street;
  std::string org_orgname;
  std::string org_orgunit;
  std::string title;
  std::string bday;
  std::string url;
  std::string work_tel;
  std::string work_fax;
  std::string mobilephone;
  std::string work_adr;
  std::string sex;
  std::string self_desc;
};

// One account. `username` is upper-cased in ASCII.
struct TUserInfo : AccountTexts {
  std::string organizename;
  std::int64_t USERID = 0;
};

// Display orders outside 0..10000 are kept as 0 when an entry is made.
std::int64_t ClampDisplayOrder(std::int64_t v);

// The most characters an account or department text may hold; "Reg" and
// "UpdateInfo" refuse longer texts.
inline constexpr std::size_t kMaxTextChars = 255;

// A text as it is stored, whoever writes it: CarriableText (base/text.h) with
// kMaxTextChars, so that every reply that carries it stays well-formed XML
// and valid GBK. Every writer of an account or department text passes its
// value through this (MakeUser and MakeOrg do it for whole entries).
std::string StoredText(std::string_view text);
// Every text of the entry as stored; true when one of them changed.
bool MakeStorable(TUserInfo& user);
bool MakeStorable(TorgInfo& org);

// Bytes derived from one snapshot, built once on first use and then shared by
// every reader of that snapshot. The builder is supplied by whoever reads the
// slot, so this layer never knows what the bytes mean. A copy starts empty:
// it is built again for the copy when first asked for.
class DerivedBytesSlot {
 public:
  using Bytes = std::shared_ptr<const std::string>;

  DerivedBytesSlot() = default;
  DerivedBytesSlot(const DerivedBytesSlot&) noexcept {}
  DerivedBytesSlot& operator=(const DerivedBytesSlot&) noexcept;

  // The bytes, built by `build` if this is the first call. Concurrent first
  // callers wait for one build instead of each building their own. If
  // `build` throws, nothing is kept and the exception reaches the caller.
  Bytes Get(const std::function<std::string()>& build) const;

 private:
  // The bytes once built. Readers take a reference under `valueMutex_`
  // (held only for the copy); `buildMutex_` is taken first, by builders only.
  Bytes Kept() const;
  mutable Mutex buildMutex_;  // serialises the first build
  mutable Mutex valueMutex_;
  mutable Bytes bytes_ CORVAN_GUARDED_BY(valueMutex_);
};

// An immutable view of the whole directory.
class DirectorySnapshot {
 public:
  using OrgPtr = std::shared_ptr<const TorgInfo>;
  using UserPtr = std::shared_ptr<const TUserInfo>;

  DirectorySnapshot() = default;
  DirectorySnapshot(std::string companyName, std::vector<OrgPtr> orgs, std::vector<UserPtr> users);

  const std::string& CompanyName() const { return companyName_; }
  const std::vector<OrgPtr>& Orgs() const { return orgs_; }
  const std::vector<UserPtr>& Users() const { return users_; }

  // First account whose `username` equals `name` exactly, or null.
  const TUserInfo* FindUser(std::string_view name) const;
  // Its place in Users(), or nothing.
  std::optional<std::size_t> UserPosition(std::string_view name) const;
  // First department whose `organizeNo` equals `code` exactly, or null.
  const TorgInfo* FindOrg(std::string_view code) const;
  bool UserExists(std::string_view name) const { return FindUser(name) != nullptr; }
  bool OrgExists(std::string_view code) const { return FindOrg(code) != nullptr; }
  // The name of the first department with this code, or empty.
  std::string OrgName(std::string_view code) const;

  // Encoded replies that depend only on this snapshot; the request handlers
  // build them on first use and every later request until the next change
  // sends the same bytes.
  enum class Derived { kUserlistReply, kOrglistReply };
  DerivedBytesSlot::Bytes DerivedBytes(Derived which, const std::function<std::string()>& build) const {
    return derived_[static_cast<std::size_t>(which)].Get(build);
  }

 private:
  std::string companyName_;
  std::vector<OrgPtr> orgs_;
  std::vector<UserPtr> users_;
  // First index of each name / code, for O(1) lookups.
  std::unordered_map<std::string_view, std::size_t> userIndex_;
  std::unordered_map<std::string_view, std::size_t> orgIndex_;
  std::array<DerivedBytesSlot, 2> derived_;
};

// Owner of the current snapshot. Thread-safe.
class Directory {
  struct Listener;
  struct Listeners;

 public:
  using Snapshot = std::shared_ptr<const DirectorySnapshot>;

  // A listener's registration; ending it (destruction or Reset) removes the
  // listener. Once Reset returns, the listener is not running and will not
  // run again, so it may refer to objects that die right after.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&& other) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { Reset(); }
    void Reset();

   private:
    friend class Directory;
    std::weak_ptr<Listeners> listeners_;
    std::shared_ptr<Listener> listener_;
  };

  Directory();
  ~Directory();

  // The current snapshot; never null.
  Snapshot Get() const { return current_.load(std::memory_order_acquire); }

  // A mutable copy of the lists, handed to `Update`'s callback, and the
  // snapshot it was copied from (a writer that prepared its change on an
  // earlier snapshot compares it with that one).
  struct Draft {
    std::string companyName;
    std::vector<DirectorySnapshot::OrgPtr> orgs;
    std::vector<DirectorySnapshot::UserPtr> users;
    Snapshot base;
  };

  // Runs `change` on a draft of the current snapshot under the writer mutex.
  // If it returns true, the draft is published as the new snapshot; if false
  // (or it throws), nothing changes. Returns what `change` returned. Writers
  // that must also write the database do so inside `change`, so a failed
  // write leaves memory as it was.
  bool Update(const std::function<bool(Draft&)>& change);

  // Whether another thread waits in Update or Replace now: a writer that
  // holds the writer mutex for long (the directory sync) checks it to give
  // way.
  bool WritersWaiting() const { return writersWaiting_.load(std::memory_order_relaxed) > 0; }

  // Replaces everything (load at start, restore).
  void Replace(std::string companyName, std::vector<DirectorySnapshot::OrgPtr> orgs,
               std::vector<DirectorySnapshot::UserPtr> users);

  // Calls `listener` after every published change (an Update whose change
  // returned true, every Replace), on the thread that made the change, once
  // the new snapshot is current and the writer mutex is released. Listeners
  // read the change with Get(); they should be quick (hand the news to their
  // own thread) and must not end their own subscription from inside the call.
  [[nodiscard]] Subscription Subscribe(std::function<void()> listener);

 private:
  void NotifyListeners();
  // Takes writerMutex_, counted in writersWaiting_ while it waits.
  std::unique_lock<std::mutex> LockWriter();

  mutable std::mutex writerMutex_;      // serialises writers; readers never take it
  std::atomic<int> writersWaiting_{0};  // writers waiting for writerMutex_
  std::atomic<Snapshot> current_;
  std::shared_ptr<Listeners> listeners_;
};

}  // namespace corvan
