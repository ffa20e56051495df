// The online list's name index against the list itself, through every kind
// of change.
#include "server/online_users.h"

#include <gtest/gtest.h>

namespace corvan {
namespace {

TUserOnlineInfo Entry(std::string name, std::string ip = "10.0.0.1") {
  TUserOnlineInfo e;
  e.UserName = std::move(name);
  e.IP = std::move(ip);
  return e;
}

std::vector<std::string> Names(const OnlineUserList& list) {
  std::vector<std::string> out;
  for (const auto& e : list.Entries()) out.push_back(e.UserName);
  return out;
}

// Every listed name is found at its own entry, and nothing else is found.
void ExpectFindsEveryEntry(OnlineUserList& list) {
  EXPECT_TRUE(list.IndexConsistent());
  for (const auto& e : list.Entries()) {
    const TUserOnlineInfo* found = list.Find(e.UserName);
    ASSERT_NE(found, nullptr) << e.UserName;
    EXPECT_EQ(found->UserName, e.UserName);
    EXPECT_EQ(found->IP, e.IP);
  }
}

TEST(OnlineUserList, AddRemoveReAddAndClearKeepOrderAndIndex) {
  OnlineUserList list;
  for (int i = 0; i < 6; ++i) list.Add(Entry("U" + std::to_string(i), "10.0.0." + std::to_string(i)));
  ExpectFindsEveryEntry(list);

  EXPECT_TRUE(list.Remove("U2"));  // from the middle
  EXPECT_FALSE(list.Remove("U2"));
  EXPECT_EQ(list.Find("U2"), nullptr);
  EXPECT_EQ(Names(list), (std::vector<std::string>{"U0", "U1", "U3", "U4", "U5"}));
  ExpectFindsEveryEntry(list);
  EXPECT_EQ(list.Find("U5")->IP, "10.0.0.5");

  EXPECT_TRUE(list.Remove("U0"));      // the head
  EXPECT_TRUE(list.Remove("U5"));      // the tail
  list.Add(Entry("U2", "10.0.0.22"));  // back again: now the newest
  EXPECT_EQ(Names(list), (std::vector<std::string>{"U1", "U3", "U4", "U2"}));
  EXPECT_EQ(list.Find("U2")->IP, "10.0.0.22");
  ExpectFindsEveryEntry(list);

  // A new address keeps the entry's place; notices taken while nothing
  // changes share one recipient list, and a change makes a new one.
  auto recipients = list.Recipients();
  EXPECT_EQ(list.Recipients(), recipients);
  list.SetIp(list.Find("U3"), "10.0.9.9");
  ExpectFindsEveryEntry(list);
  EXPECT_NE(list.Recipients(), recipients);
  EXPECT_EQ((*list.Recipients())[1], Ipv4OrZero("10.0.9.9"));
  EXPECT_EQ((*recipients)[1], Ipv4OrZero("10.0.0.3"));  // a list handed out never changes

  list.Clear();
  EXPECT_EQ(list.Size(), 0u);
  EXPECT_EQ(list.Find("U1"), nullptr);
  EXPECT_TRUE(list.IndexConsistent());
  EXPECT_TRUE(list.Recipients()->empty());
  list.Add(Entry("U1"));
  EXPECT_NE(list.Find("U1"), nullptr);
  EXPECT_TRUE(list.IndexConsistent());
}

TEST(OnlineUserList, LookupsAreExact) {
  OnlineUserList list;
  list.Add(Entry("ALICE"));
  EXPECT_EQ(list.Find("alice"), nullptr);
  EXPECT_EQ(list.Find("ALIC"), nullptr);
  EXPECT_EQ(list.Find(""), nullptr);
  EXPECT_FALSE(list.Remove("ALICEX"));
}

TEST(OnlineUserList, RemoveByEntryTakesThatEntryOnly) {
  OnlineUserList list;
  list.Add(Entry("A", "10.0.0.1"));
  list.Add(Entry("B", "10.0.0.2"));
  list.Add(Entry("C", "10.0.0.3"));
  EXPECT_TRUE(list.Remove(list.FindByIp("10.0.0.2")));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "C"}));
  ExpectFindsEveryEntry(list);
  TUserOnlineInfo outside = Entry("A");
  EXPECT_FALSE(list.Remove(&outside));
  EXPECT_FALSE(list.Remove(static_cast<const TUserOnlineInfo*>(nullptr)));
  EXPECT_EQ(list.Size(), 2u);
}

// A heartbeat or scan changes fields through the found pointer; a status
// scan drops whoever it found silent, in whatever order.
TEST(OnlineUserList, ScanStyleRemovalsWhileWalking) {
  OnlineUserList list;
  for (int i = 0; i < 50; ++i) list.Add(Entry("N" + std::to_string(i)));
  std::vector<std::string> due;
  for (const auto& e : list.Entries()) {
    if (e.UserName.back() % 3 == 0) due.push_back(e.UserName);
  }
  for (auto it = due.rbegin(); it != due.rend(); ++it) EXPECT_TRUE(list.Remove(*it));
  for (const auto& name : due) EXPECT_EQ(list.Find(name), nullptr);
  ExpectFindsEveryEntry(list);
  EXPECT_EQ(list.Size(), 50u - due.size());
  list.Find("N1")->LastSeen = Clock::now();
  EXPECT_TRUE(list.IndexConsistent());
}

TEST(OnlineUserList, RenameMovesTheIndexAndKeepsThePlace) {
  OnlineUserList list;
  list.Add(Entry("A"));
  list.Add(Entry("B"));
  list.Add(Entry("C"));
  EXPECT_TRUE(list.Rename("B", "BB", "nick"));
  EXPECT_FALSE(list.Rename("B", "X", "n"));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "BB", "C"}));
  EXPECT_EQ(list.Find("B"), nullptr);
  EXPECT_EQ(list.Find("BB")->NickName, "nick");
  ExpectFindsEveryEntry(list);
  EXPECT_TRUE(list.Rename("BB", "BB", "again"));
  EXPECT_EQ(list.Find("BB")->NickName, "again");
  EXPECT_TRUE(list.IndexConsistent());
}

// Renaming onto a listed name leaves two entries with it; the first in the
// list answers, and removing it uncovers the other.
TEST(OnlineUserList, NamesakesAnswerFirstMatchFirst) {
  OnlineUserList list;
  list.Add(Entry("A", "10.0.0.1"));
  list.Add(Entry("B", "10.0.0.2"));
  list.Add(Entry("C", "10.0.0.3"));
  EXPECT_TRUE(list.Rename("C", "A", ""));
  EXPECT_EQ(list.Find("A")->IP, "10.0.0.1");
  EXPECT_TRUE(list.IndexConsistent());
  EXPECT_TRUE(list.Rename("A", "Z", ""));  // the first A becomes Z, the other A is found now
  EXPECT_EQ(list.Find("A")->IP, "10.0.0.3");
  EXPECT_TRUE(list.IndexConsistent());
  EXPECT_TRUE(list.Rename("A", "Z", ""));  // a later entry takes a name listed earlier
  EXPECT_EQ(list.Find("Z")->IP, "10.0.0.1");
  EXPECT_TRUE(list.IndexConsistent());
  EXPECT_TRUE(list.Remove("Z"));
  EXPECT_EQ(list.Find("Z")->IP, "10.0.0.3");
  EXPECT_EQ(Names(list), (std::vector<std::string>{"B", "Z"}));
  EXPECT_TRUE(list.IndexConsistent());
  list.Add(Entry("Z", "10.0.0.9"));  // a second Z arrives: the older still answers
  EXPECT_EQ(list.Find("Z")->IP, "10.0.0.3");
  EXPECT_TRUE(list.Remove(list.FindByIp("10.0.0.3")));
  EXPECT_EQ(list.Find("Z")->IP, "10.0.0.9");
  EXPECT_TRUE(list.IndexConsistent());
}

}  // namespace
}  // namespace corvan
