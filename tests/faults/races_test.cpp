// Interleavings that only show under ThreadSanitizer (tsan.sh runs these with
// halt_on_error): stops and starts while the status timer ticks on the io
// threads, and clients coming and going while replies are written.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/modules_default.h"
#include "faults/fault_helpers.h"
#include "support/accounts_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TestServer;
using test::WaitUntil;

TEST(Races, StartAndStopWhileTheStatusTimerTicks) {
  std::atomic<int> ticks{0};
  TestServer::Setup setup;
  setup.statusInterval = 1ms;
  CoreModules modules = DefaultModules();
  modules.StatusTick = [&ticks](ServerCore&) { ticks.fetch_add(1); };
  setup.modules = modules;
  TestServer server(setup);
  ASSERT_TRUE(WaitUntil([&] { return ticks.load() > 5; }));
  for (int i = 0; i < 50; ++i) {
    server.Core().Lifecycle().StopServer();
    server.Core().Lifecycle().StartServer();
  }
  const int before = ticks.load();
  EXPECT_TRUE(WaitUntil([&] { return ticks.load() > before; }));  // still ticking after the last start
  server.Core().Lifecycle().StopServer();
}

TEST(Races, RequestsFromClientsThatLeaveAtOnce) {
  TestServer::Setup setup;
  setup.users = {{"ALICE", "Pw1", "Alice"}};
  TestServer server(setup);
  const std::string list = test::Request("GetUserlist", {});
  const std::string login = test::Request("Loginin", {{"username", "alice"}, {"pwd", "Pw1"}});
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        UniqueFd fd = test::ConnectRaw(server.Port());
        test::SendAll(fd.Get(),
                      EncodeFrame(list) + list + EncodeFrame(t == 0 ? login : list) + (t == 0 ? login : list));
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_TRUE(WaitUntil([&] { return server.Core().Connections().Count() == 0; }, 30s));
}

}  // namespace
}  // namespace corvan
