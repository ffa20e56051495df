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

  // More than two batches' worth (of 64 here, so that the receiver's buffer
  // holds them all), every one delivered.
  const std::size_t n = 150;
  RecipientList to(n, Ipv4OrZero("127.0.0.1"));
  EXPECT_EQ(SendToEachAddress(sender.Fd(), to, receiver.LocalPort(), "<RootNode/>", 64), n);
  auto got = ReceiveUpTo(receiver, n);
  EXPECT_EQ(got.size(), n);
  for (const auto& d : got) EXPECT_EQ(d, "<RootNode/>");

  // An address that is not IPv4 ends the broadcast where it stands: those
  // before it are sent, none after it.
  EXPECT_EQ(Ipv4OrZero("not-an-address"), 0u);
  to[100] = Ipv4OrZero("not-an-address");
  EXPECT_EQ(SendToEachAddress(sender.Fd(), to, receiver.LocalPort(), "x", 64), 100u);
  EXPECT_EQ(ReceiveUpTo(receiver, 101, 300ms).size(), 100u);
  to[100] = Ipv4OrZero("127.0.0.1");
  to[0] = Ipv4OrZero("");
  EXPECT_EQ(sender.SendToAll(to, receiver.LocalPort(), "x"), 0u);
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
