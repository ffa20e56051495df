// Floods: ten thousand connections opened and dropped, and a stream of
// malformed datagrams. The server keeps no dead connection, stays within its
// memory and answers a normal login right after.
#include <gtest/gtest.h>

#include <random>

#include "faults/fault_helpers.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

// AddressSanitizer keeps freed memory resident in its quarantine (256 MiB by
// default) and ThreadSanitizer shadows every byte, so resident size says
// nothing about the server's own use under them; the plain build checks it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeIsMeaningful = false;
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif

using namespace std::chrono_literals;
using test::TestServer;
using test::WaitUntil;

TestServer::Setup OneAccount() {
  TestServer::Setup s;
  s.users = {{"ALICE", "Pw1", "Alice"}};
  return s;
}

// Opens `total` connections, `batch` at a time; each sends one of a few
// unfinished or broken beginnings (or nothing) and is dropped.
void OpenAndDrop(std::uint16_t port, int total, int batch) {
  const std::string login = test::Request("Loginin", {{"username", "alice"}, {"pwd", "Pw1"}});
  const std::vector<std::string> openings = {
      "",                                    // nothing at all
      "12",                                  // half a count line
      "1048576\r\n",                         // a large body announced, never sent
      "abc\r\n",                             // a count line that is not a number
      EncodeFrame(login) + login.substr(0, 40),  // half a request
      EncodeFrame(login) + login,            // a whole request, reply never read
  };
  for (int done = 0; done < total; done += batch) {
    std::vector<UniqueFd> open;
    for (int i = 0; i < batch; ++i) {
      UniqueFd fd = test::ConnectRaw(port);
      ASSERT_TRUE(fd.Valid()) << done + i;
      test::SendAll(fd.Get(), openings[static_cast<std::size_t>(done + i) % openings.size()]);
      open.push_back(std::move(fd));
    }
  }
}

TEST(Flood, TenThousandDroppedConnectionsLeaveNoneBehind) {
  TestServer server(OneAccount());
  // Warm up the pools and the allocator before measuring.
  OpenAndDrop(server.Port(), 500, 250);
  ASSERT_TRUE(WaitUntil([&] { return server.Core().ConnectionCount() == 0; }, 30s));
  const std::uint64_t rssBefore = test::ResidentBytes();
  const int fdsBefore = test::OpenDescriptors();

  OpenAndDrop(server.Port(), 10000, 250);
  EXPECT_TRUE(WaitUntil([&] { return server.Core().ConnectionCount() == 0; }, 60s))
      << server.Core().ConnectionCount() << " connections left";
  // The server closed its side of every one of them.
  EXPECT_TRUE(WaitUntil([&] { return test::OpenDescriptors() <= fdsBefore; }, 30s))
      << test::OpenDescriptors() << " descriptors, " << fdsBefore << " before";
  // No per-connection state kept: growth stays far below what 10,000
  // connections' buffers would take.
  const std::uint64_t rssAfter = test::ResidentBytes();
  if (kResidentSizeIsMeaningful) {
    EXPECT_LT(rssAfter, rssBefore + 64ull * 1024 * 1024) << rssBefore << " -> " << rssAfter;
  }

  test::FakeClient alice(server, "127.0.0.2");
  EXPECT_EQ(test::ReplyField(alice.Login("alice", "Pw1").value_or(""), "reason"), "登录成功");
}

TEST(Flood, MalformedDatagramsChangeNothingAndTheServerAnswersAfter) {
  TestServer server(OneAccount());
  test::UdpPeer flooder("127.0.0.5", test::FreePort());
  ASSERT_TRUE(flooder.Valid());
  std::mt19937 rng(12345);
  const std::string online = test::Datagram("Online", {{"username", "alice"}});
  std::vector<std::string> shapes = {
      std::string(kMaxDatagram + 1, '<'),                      // over the size bound
      online.substr(0, online.size() / 2),                     // cut short
      test::Datagram("online", {{"username", "alice"}}),       // unknown type (case)
      test::Datagram("Online", {{"username", "nobody"}}),      // not an account
      test::Datagram("Status", {{"username", "alice"}}),       // no status
      test::Datagram("Loginout", {}),                          // no name: nobody removed
      "<?xml version=\"1.0\" encoding=\"NOPE\"?><RootNode><Type>Online</Type></RootNode>",
      "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><RootNode><Type>&b;</Type></RootNode>",
      "",
  };
  for (int i = 0; i < 20000; ++i) {
    if (i % 4 == 0) {
      std::string noise(1 + rng() % 600, '\0');
      for (char& c : noise) c = static_cast<char>(rng());
      flooder.SendTo("127.0.0.1", server.Port(), noise);
    } else {
      flooder.SendTo("127.0.0.1", server.Port(), shapes[static_cast<std::size_t>(i) % shapes.size()]);
    }
  }
  // The listener is alive and has worked through the flood: discovery is
  // answered (datagrams may be dropped under the flood, so ask a few times).
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    flooder.SendTo("127.0.0.1", server.Port(), test::Datagram("AutoGetServer", {}));
    answered = flooder.Receive(500ms) == std::optional<std::string>("ImServer");
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(test::OnlineNames(server.Core()).empty());

  test::FakeClient alice(server, "127.0.0.2");
  EXPECT_EQ(test::ReplyField(alice.Login("alice", "Pw1").value_or(""), "reason"), "登录成功");
  EXPECT_EQ(test::OnlineNames(server.Core()), std::vector<std::string>{"ALICE"});
}

}  // namespace
}  // namespace corvan
