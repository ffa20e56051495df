// corvan-directory-bench [--people N] [--units N] [--smoke]
//
// Starts slapd on a loopback port with N people in M units (nested two
// levels), an in-process server with 20 local accounts and directory login
// on, then measures:
//   1. the first sync (everything added),
//   2. the second sync (nothing changed),
//   3. local-account logins over TCP while a sync runs (p50/p99/max).
// Figures are printed, never judged; each target is shown as met or MISSED.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/modules_default.h"
#include "directory_sync/slapd_support.h"
#include "directory_sync/sync.h"
#include "server/server_core.h"
#include "support/accounts_support.h"

namespace {

using namespace corvan;
using BenchClock = std::chrono::steady_clock;

double Seconds(BenchClock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<test::LdifRecord> Generate(int people, int units) {
  const std::string corp = test::kBase;
  std::vector<test::LdifRecord> r = {
      {test::kSuffix,
       {{"objectClass", "dcObject"}, {"objectClass", "organization"}, {"dc", "example"}, {"o", "Example"}}},
      {corp, {{"objectClass", "organizationalUnit"}, {"ou", "Corp"}}}};
  // A tenth of the units at the top, the rest under them.
  const int top = std::max(1, units / 10);
  std::vector<std::string> dns;
  for (int i = 0; i < units; ++i) {
    std::string parent = i < top ? corp : dns[static_cast<std::size_t>(i % top)];
    r.push_back(test::Unit("部门" + std::to_string(i), parent));
    dns.push_back(r.back().dn);
  }
  for (int i = 0; i < people; ++i)
    r.push_back(
        test::Person("p" + std::to_string(i), "员工" + std::to_string(i), dns[static_cast<std::size_t>(i % units)]));
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int people = 10000, units = 500;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--smoke") people = 200, units = 10;
    else if (a == "--people" && i + 1 < argc) people = std::atoi(argv[++i]);
    else if (a == "--units" && i + 1 < argc) units = std::atoi(argv[++i]);
  }
  if (!test::SlapdInstalled()) {
    std::fprintf(stderr, "slapd is not installed\n");
    return 2;
  }
  auto t0 = BenchClock::now();
  test::Slapd slapd(Generate(people, units));
  if (!slapd.Running()) {
    std::fprintf(stderr, "slapd did not start\n");
    return 1;
  }
  std::printf("slapd loaded with %d people in %d units in %.1f s\n", people, units, Seconds(BenchClock::now() - t0));

  test::TestServer::Setup setup;
  for (int i = 0; i < 20; ++i) setup.users.push_back({"L" + std::to_string(i), "pw", "本地" + std::to_string(i)});
  CoreModules m = DefaultModules();
  setup.modules = m;
  test::TestServer server(setup);
  ServerCore& core = server.Core();
  test::WriteDirectorySettings(server.Home(), slapd.Url(), "login_with_directory_password = yes\n");

  // Logins of local accounts, one after another, while `running`.
  std::atomic<bool> running{true};
  std::vector<double> latencies;
  std::thread logins([&] {
    int n = 0;
    while (running) {
      const int i = n++ % 20;
      test::FakeClient c(server, "127.0.1." + std::to_string(2 + i));
      auto start = BenchClock::now();
      auto reply = c.Login("L" + std::to_string(i), "pw");
      if (reply) latencies.push_back(Seconds(BenchClock::now() - start) * 1000);
    }
  });
  auto s1 = BenchClock::now();
  DirectorySyncOutcome first = core.Modules().DirectorySync(core, {}, {});
  double firstSeconds = Seconds(BenchClock::now() - s1);
  running = false;
  logins.join();
  auto s2 = BenchClock::now();
  DirectorySyncOutcome second = core.Modules().DirectorySync(core, {}, {});
  double secondSeconds = Seconds(BenchClock::now() - s2);

  std::sort(latencies.begin(), latencies.end());
  auto rank = [&](double q) {
    if (latencies.empty()) return 0.0;
    std::size_t k = static_cast<std::size_t>(q * static_cast<double>(latencies.size()));
    return latencies[std::min(k, latencies.size() - 1)];
  };
  const bool complete = first.ok && second.ok && core.Dir().Get()->Users().size() >= static_cast<std::size_t>(people);
  std::printf("first sync:  %.2f s (%s) target < 30 s: %s\n", firstSeconds, first.message.c_str(),
              firstSeconds < 30 ? "met" : "MISSED");
  std::printf("second sync: %.2f s (%s) target < 5 s: %s\n", secondSeconds, second.message.c_str(),
              secondSeconds < 5 ? "met" : "MISSED");
  std::printf("logins during the first sync: %zu, p50 %.1f ms, p99 %.1f ms, max %.1f ms; target p99 < 50 ms: %s\n",
              latencies.size(), rank(0.5), rank(0.99), latencies.empty() ? 0.0 : latencies.back(),
              rank(0.99) < 50 ? "met" : "MISSED");
  std::printf("complete %s\n", complete ? "yes" : "NO");
  return complete ? 0 : 1;
}
