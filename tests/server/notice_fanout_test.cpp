// The fan-out lane over loopback sockets: order, the byte bound, the wait
// for everything queued, the listener's socket, a broadcast cut short and
// senders sharing the addresses.
#include "server/notice_fanout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "support/accounts_support.h"
#include "support/timing.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;

const std::uint32_t kLoopback = Ipv4OrZero("127.0.0.1");

Notice To(std::uint16_t port, std::string datagram, std::size_t copies = 1) {
  Notice n;
  n.datagram = std::move(datagram);
  n.to = std::make_shared<const RecipientList>(copies, kLoopback);
  n.port = port;
  return n;
}

// Receives datagrams until `count` arrived or one wait runs out.
template <typename Receiver>
std::vector<std::string> Drain(Receiver& socket, std::size_t count, std::chrono::milliseconds wait = 3s) {
  std::vector<std::string> got;
  while (got.size() < count) {
    auto d = socket.Receive(test::Scaled(wait));
    if (!d) break;
    got.push_back(*d);
  }
  return got;
}

TEST(NoticeFanout, NoticesLeaveInTheOrderQueuedEachToEveryRecipient) {
  UdpSocket receiver;
  NoticeFanout lane(1 << 20, nullptr);
  lane.Hold(true);  // everything below is queued before the first send
  for (int i = 0; i < 20; ++i) lane.Queue(To(receiver.LocalPort(), "n" + std::to_string(i), 3));
  lane.Queue(To(receiver.LocalPort(), "empty", 0));  // nobody to tell: not queued
  EXPECT_EQ(lane.Count().queued, 20u);
  lane.Hold(false);
  lane.Flush();
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) expected.insert(expected.end(), 3, "n" + std::to_string(i));
  EXPECT_EQ(Drain(receiver, expected.size()), expected);
  const NoticeFanout::Counters c = lane.Count();
  EXPECT_EQ(c.sent, 20u);
  EXPECT_EQ(c.datagrams, 60u);
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.fullWaits, 0u);
}

// A full queue makes the caller wait until the lane has made room; nothing
// is dropped and the order holds.
TEST(NoticeFanout, FullQueueMakesTheCallerWaitAndLosesNothing) {
  UdpSocket receiver;
  const Notice probe = To(receiver.LocalPort(), "first", 2);
  NoticeFanout lane(NoticeFanout::Cost(probe) + 8, nullptr);
  lane.Hold(true);
  lane.Queue(probe);  // fits
  std::atomic<bool> queued{false};
  std::thread producer([&] {
    lane.Queue(To(receiver.LocalPort(), "second", 2));  // does not fit beside it
    queued = true;
  });
  ASSERT_TRUE(test::Eventually([&] { return lane.Count().fullWaits == 1; }));
  EXPECT_FALSE(queued);
  lane.Hold(false);
  producer.join();
  EXPECT_TRUE(queued);
  // Larger than the whole bound: taken once the queue is empty.
  lane.Queue(To(receiver.LocalPort(), "large", 50));
  lane.Flush();
  std::vector<std::string> expected{"first", "first", "second", "second"};
  expected.insert(expected.end(), 50, "large");
  EXPECT_EQ(Drain(receiver, expected.size()), expected);
  EXPECT_LE(lane.Count().peakBytes, NoticeFanout::Cost(To(0, "large", 50)));
}

TEST(NoticeFanout, FlushWaitsForWhatWasQueuedBeforeIt) {
  UdpSocket receiver;
  NoticeFanout lane(1 << 20, nullptr);
  lane.Hold(true);
  lane.Queue(To(receiver.LocalPort(), "held"));
  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    lane.Flush();
    flushed = true;
  });
  EXPECT_FALSE(receiver.Receive(100ms));
  EXPECT_FALSE(flushed);
  lane.Hold(false);
  flusher.join();
  EXPECT_EQ(receiver.Receive(test::Scaled(3s)), "held");
}

TEST(NoticeFanout, ListenerNoticesLeaveFromTheListenersPortOrNotAtAll) {
  const std::uint16_t port = test::FreePort();
  test::UdpPeer receiver("127.0.0.1", port);
  UdpListener listener;
  ASSERT_TRUE(listener.Open(0, [](std::string_view, const std::string&, std::uint16_t) {}));
  std::shared_ptr<const UniqueFd> open = listener.Socket();
  NoticeFanout lane(1 << 20, [&] { return open; });
  Notice fromListener = To(port, "from the listener");
  fromListener.fromListener = true;
  lane.Queue(fromListener);
  lane.Queue(To(port, "from the lane"));
  lane.Flush();
  std::string ip;
  std::uint16_t from = 0;
  EXPECT_EQ(receiver.ReceiveFrom(ip, from), "from the listener");
  EXPECT_EQ(from, listener.Port());
  EXPECT_EQ(receiver.ReceiveFrom(ip, from), "from the lane");
  EXPECT_NE(from, listener.Port());

  open = nullptr;  // the listener closed: its notices have no way out
  lane.Queue(fromListener);
  lane.Flush();
  EXPECT_FALSE(receiver.Receive(100ms));
  EXPECT_EQ(lane.Count().cutShort, 1u);
}

// A recipient that cannot be sent to ends that notice's sending where it
// stands; the next notice goes out whole.
TEST(NoticeFanout, FailedSendEndsOnlyThatNotice) {
  UdpSocket receiver;
  NoticeFanout lane(1 << 20, nullptr);
  Notice broken = To(receiver.LocalPort(), "broken", 3);
  auto to = std::make_shared<RecipientList>(*broken.to);
  (*to)[1] = 0;
  broken.to = to;
  lane.Queue(broken);
  lane.Queue(To(receiver.LocalPort(), "whole", 2));
  lane.Flush();
  EXPECT_EQ(Drain(receiver, 4, 300ms), (std::vector<std::string>{"broken", "whole", "whole"}));
  const NoticeFanout::Counters c = lane.Count();
  EXPECT_EQ(c.cutShort, 1u);
  EXPECT_EQ(c.datagrams, 3u);
}

// Senders sharing the addresses: every recipient still hears every notice in
// the order queued, and a bad address ends the notice for everyone after it.
TEST(NoticeFanout, SendersSharingTheAddressesKeepEachRecipientsOrder) {
  const std::uint16_t port = test::FreePort();
  std::vector<std::unique_ptr<test::UdpPeer>> peers;
  RecipientList addresses;
  for (int i = 2; i < 10; ++i) {
    const std::string ip = "127.0.0." + std::to_string(i);
    peers.push_back(std::make_unique<test::UdpPeer>(ip, port));
    addresses.push_back(Ipv4OrZero(ip));
  }
  NoticeFanout lane(1 << 20, nullptr, 2);
  lane.Hold(true);  // both senders find the whole queue waiting
  const auto everyone = std::make_shared<const RecipientList>(addresses);
  constexpr int kNotices = 100;
  for (int i = 0; i < kNotices; ++i) lane.Queue(Notice{"n" + std::to_string(i), everyone, port});
  auto broken = std::make_shared<RecipientList>(addresses);
  (*broken)[3] = 0;
  lane.Queue(Notice{"broken", broken, port});
  lane.Queue(Notice{"last", everyone, port});
  lane.Hold(false);
  ASSERT_TRUE(lane.Flush(test::Scaled(10s)));
  for (std::size_t p = 0; p < peers.size(); ++p) {
    std::vector<std::string> expected;
    for (int i = 0; i < kNotices; ++i) expected.push_back("n" + std::to_string(i));
    if (p < 3) expected.emplace_back("broken");
    expected.emplace_back("last");
    EXPECT_EQ(Drain(*peers[p], expected.size()), expected) << "recipient " << p;
  }
  const NoticeFanout::Counters c = lane.Count();
  EXPECT_EQ(c.sent, kNotices + 2u);
  EXPECT_EQ(c.datagrams, kNotices * addresses.size() + 3 + addresses.size());
  EXPECT_EQ(c.cutShort, 1u);
  EXPECT_EQ(c.bytes, 0u);
}

TEST(NoticeFanout, StoppedLaneSendsOnTheCallersThread) {
  UdpSocket receiver;
  NoticeFanout lane(1 << 20, nullptr);
  lane.Queue(To(receiver.LocalPort(), "before"));
  lane.Stop();  // sends what is queued first
  lane.Queue(To(receiver.LocalPort(), "after"));
  EXPECT_EQ(Drain(receiver, 2), (std::vector<std::string>{"before", "after"}));
}

}  // namespace
}  // namespace corvan
