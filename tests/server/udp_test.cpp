// The UDP sending primitive of every broadcast: batches, order, and where a
// broadcast stops.
#include "server/udp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvan {
namespace {

using namespace std::chrono_literals;

// Receives datagrams until `count` arrived or one wait times out.
std::vector<std::string> ReceiveUpTo(UdpSocket& socket, std::size_t count, std::chrono::milliseconds wait = 2s) {
  std::vector<std::string> got;
  while (got.size() < count) {
    auto d = socket.Receive(wait);
    if (!d) break;
    got.push_back(*d);
  }
  return got;
}

TEST(UdpSocket, SendToAllCrossesBatchesAndStopsAtABadAddress) {
  UdpSocket receiver;
  UdpSocket sender;
  ASSERT_TRUE(receiver.Valid());
  ASSERT_TRUE(sender.Valid());

  // More than two batches' worth, every one delivered.
  std::vector<std::string> ips(150, "127.0.0.1");
  EXPECT_EQ(sender.SendToAll(ips, receiver.LocalPort(), "<RootNode/>"), 150u);
  auto got = ReceiveUpTo(receiver, 150);
  EXPECT_EQ(got.size(), 150u);
  for (const auto& d : got) EXPECT_EQ(d, "<RootNode/>");

  // An address that is not IPv4 ends the broadcast where it stands: those
  // before it are sent, none after it.
  ips[100] = "not-an-address";
  EXPECT_EQ(sender.SendToAll(ips, receiver.LocalPort(), "x"), 100u);
  EXPECT_EQ(ReceiveUpTo(receiver, 101, 300ms).size(), 100u);
  ips[100] = "127.0.0.1";
  ips[0] = "";
  EXPECT_EQ(sender.SendToAll(ips, receiver.LocalPort(), "x"), 0u);
  EXPECT_FALSE(receiver.Receive(100ms));

  EXPECT_EQ(sender.SendToAll({}, receiver.LocalPort(), "x"), 0u);
}

}  // namespace
}  // namespace corvan
