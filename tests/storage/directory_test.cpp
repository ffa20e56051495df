#include "storage/directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace corvan {
namespace {

DirectorySnapshot::UserPtr User(const std::string& name) {
  auto user = std::make_shared<TUserInfo>();
  user->username = name;
  return user;
}

bool AddUser(Directory& dir, const std::string& name) {
  return dir.Update([&](Directory::Draft& draft) {
    draft.users.push_back(User(name));
    return true;
  });
}

TEST(DerivedBytesSlotTest, BuildsOnceForConcurrentFirstCallersAndRetriesAfterAFailedBuild) {
  DirectorySnapshot snapshot("Co", {}, {User("ANN")});
  const auto which = DirectorySnapshot::Derived::kUserlistReply;
  EXPECT_THROW(snapshot.DerivedBytes(which, []() -> std::string { throw std::runtime_error("no"); }),
               std::runtime_error);

  std::atomic<int> builds{0};
  auto build = [&] {
    ++builds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // callers meet during the build
    return std::string("bytes");
  };
  std::vector<DerivedBytesSlot::Bytes> got(8);
  std::vector<std::thread> threads;
  for (auto& slot : got) threads.emplace_back([&] { slot = snapshot.DerivedBytes(which, build); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(builds.load(), 1);
  for (const auto& bytes : got) {
    ASSERT_EQ(bytes, got[0]);
    EXPECT_EQ(*bytes, "bytes");
  }
  // The other slot is separate.
  EXPECT_EQ(*snapshot.DerivedBytes(DirectorySnapshot::Derived::kOrglistReply, [] { return std::string("o"); }), "o");

  // Assigning other contents drops what was built for the old ones.
  snapshot = DirectorySnapshot("Co", {}, {User("BEN")});
  EXPECT_EQ(*snapshot.DerivedBytes(which, [] { return std::string("new"); }), "new");
}

// Every published change is a new snapshot, so nothing built for the old one
// is seen after it; a holder of the old bytes keeps them.
TEST(DirectoryTest, BytesBuiltForASnapshotAreNotSeenAfterAChange) {
  Directory dir;
  AddUser(dir, "ANN");
  auto names = [&dir] {
    auto snap = dir.Get();
    return snap->DerivedBytes(DirectorySnapshot::Derived::kUserlistReply, [&snap] {
      std::string out;
      for (const auto& u : snap->Users()) out += u->username + ";";
      return out;
    });
  };
  auto before = names();
  EXPECT_EQ(*before, "ANN;");
  AddUser(dir, "BEN");
  EXPECT_EQ(*names(), "ANN;BEN;");
  dir.Replace("Co", {}, {User("CID")});
  EXPECT_EQ(*names(), "CID;");
  EXPECT_EQ(*before, "ANN;");
}

TEST(DirectoryTest, ListenersHearPublishedChangesOnlyAndSeeThemAlready) {
  Directory dir;
  std::vector<std::size_t> seen;  // the user count each call saw
  auto subscription = dir.Subscribe([&] { seen.push_back(dir.Get()->Users().size()); });
  AddUser(dir, "ANN");
  EXPECT_FALSE(dir.Update([](Directory::Draft& draft) {
    draft.users.clear();
    return false;  // refused: nothing published, nobody told
  }));
  dir.Replace("Acme", {}, {User("A"), User("B"), User("C")});
  EXPECT_EQ(seen, (std::vector<std::size_t>{1, 3}));

  // After Reset nothing more arrives; a second subscriber is unaffected.
  int other = 0;
  auto second = dir.Subscribe([&] { ++other; });
  subscription.Reset();
  AddUser(dir, "BOB");
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(other, 1);
  // A moved subscription stays one registration.
  Directory::Subscription moved = std::move(second);
  AddUser(dir, "CID");
  EXPECT_EQ(other, 2);
}

TEST(DirectoryTest, ListenersRunAfterTheWriterMutexIsReleased) {
  // A listener that changes the directory again would deadlock if it were
  // called under the writer mutex.
  Directory dir;
  int calls = 0;
  auto subscription = dir.Subscribe([&] {
    if (++calls == 1) AddUser(dir, "ECHO");
  });
  AddUser(dir, "ANN");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(dir.Get()->Users().size(), 2u);
}

TEST(DirectoryTest, EndingASubscriptionWaitsForTheCallInProgress) {
  Directory dir;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  auto subscription = dir.Subscribe([&] {
    entered = true;
    while (!release) std::this_thread::yield();
    finished = true;
  });
  std::thread writer([&] { AddUser(dir, "ANN"); });
  while (!entered) std::this_thread::yield();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  subscription.Reset();  // returns only once the listener has finished
  EXPECT_TRUE(finished);
  writer.join();
  releaser.join();
}

TEST(DirectoryTest, ASubscriptionMayOutliveItsDirectory) {
  Directory::Subscription subscription;
  {
    Directory dir;
    subscription = dir.Subscribe([] {});
  }
  subscription.Reset();  // nothing left to remove from; no crash
}

}  // namespace
}  // namespace corvan
