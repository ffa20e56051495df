// The UDP sending primitive of every broadcast: batches, order, and where a
// broadcast stops.
#include "server/udp.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
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

TEST(UdpListener, BurstAcrossBatchesArrivesWholeInOrderAndOversizeIsDropped) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> got;
  std::vector<std::uint16_t> ports;
  UdpListener listener;
  ASSERT_TRUE(listener.Open(0, [&](std::string_view payload, const std::string& ip, std::uint16_t port) {
    std::lock_guard lock(mutex);
    EXPECT_EQ(ip, "127.0.0.1");
    got.emplace_back(payload);
    ports.push_back(port);
    arrived.notify_all();
  }));
  UdpSocket sender;
  ASSERT_TRUE(sender.Valid());

  // Sent before the listener reads, so they queue and are taken several
  // batches at a time: the longest allowed one arrives, the one a byte over
  // is dropped and does not shift those after it.
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    std::string d = "d" + std::to_string(i);
    if (i == 40) d = std::string(kMaxDatagram, 'm');
    if (i == 41) {
      ASSERT_TRUE(sender.SendTo("127.0.0.1", listener.Port(), std::string(kMaxDatagram + 1, 'x')));
      continue;
    }
    expected.push_back(d);
    ASSERT_TRUE(sender.SendTo("127.0.0.1", listener.Port(), d));
  }
  std::unique_lock lock(mutex);
  arrived.wait_for(lock, 5s, [&] { return got.size() >= expected.size(); });
  EXPECT_EQ(got, expected);
  for (auto port : ports) EXPECT_EQ(port, sender.LocalPort());
}

}  // namespace
}  // namespace corvan
