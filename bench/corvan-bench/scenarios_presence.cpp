// Scenarios 3 and 6: heartbeats at a rising rate, and the evening when many
// users go silent at once.
#include <deque>
#include <iostream>
#include <set>

#include "harness.h"

namespace corvan::bench {

// --- 3. Heartbeats -------------------------------------------------------------------

bool Heartbeats(const Options& o) {
  const int n = Pick(o.clients, 2000, 20, o.smoke);
  const double step = o.seconds > 0 ? o.seconds : (o.smoke ? 0.5 : 2.0);
  const std::vector<double> rates =
      o.smoke ? std::vector<double>{1000, 2000} : std::vector<double>{5000,  10000, 20000,  30000,  40000,  50000,
                                                                      60000, 80000, 100000, 130000, 160000, 200000};
  Report report("3 heartbeats: " + std::to_string(n) + " online clients, rising rate, " + Fixed(step, 1) +
                " s per step (scan every 1 s, silence limit 3 s)");
  report.Line("load before", LoadLine());
  ServerUnderTest server(o, std::max(n, 100), {"CORVAN_TEST_STATUS_INTERVAL_MS=1000", "CORVAN_TEST_SILENCE_MS=3000"});
  asio::io_context io;
  NoticeBoard board;
  auto clients = MakeClients(io, board, 0, n, false, false);
  SimClient control(io, n, board);
  udp::socket probe(io, udp::endpoint(ClientAddress(n + 1), 0));
  std::deque<SteadyClock::time_point> probesInFlight;
  Latencies* probeLatencies = nullptr;
  std::uint64_t probeAnswers = 0;
  SteadyClock::time_point lastAnswer = SteadyClock::now();
  asio::co_spawn(
      io,
      [&]() -> awaitable<void> {
        char buf[64];
        udp::endpoint from;
        for (;;) {
          co_await probe.async_receive_from(asio::buffer(buf), from, use_awaitable);
          ++probeAnswers;
          lastAnswer = SteadyClock::now();
          if (!probesInFlight.empty()) {
            if (probeLatencies) probeLatencies->AddSince(probesInFlight.front());
            probesInFlight.pop_front();
          }
        }
      },
      asio::detached);
  const std::string discovery = TypeOnlyRequest("AutoGetServer");
  int online = 0;
  bool complete = Drive(
      io,
      [&]() -> awaitable<void> {
        co_await control.Connect(server.Port());
        for (int round = 0; round < 40 && online < n; ++round) {
          for (auto& c : clients) c->Heartbeat(server.Port());
          co_await Sleep(std::chrono::milliseconds(250));
          online = CountUsers(co_await control.Request(TypeOnlyRequest("GetOnlineUserlist")));
        }
      },
      60);
  report.Line("online by heartbeat", std::to_string(online) + " / " + std::to_string(n));
  double bestLossless = 0;
  const ProcSample runBefore = server.Sample();
  for (double rate : rates) {
    Latencies latencies;
    probeLatencies = &latencies;
    const UdpSocketCounters c0 = ReadUdpCounters(server.Port());
    const ProcSample s0 = server.Sample();
    std::uint64_t sent = 0;
    double elapsed = 0, drain = 0;
    Drive(
        io,
        [&]() -> awaitable<void> {
          asio::steady_timer tick(co_await asio::this_coro::executor);
          const auto t0 = SteadyClock::now();
          std::size_t next = 0;
          auto lastProbe = t0 - std::chrono::seconds(1);
          for (;;) {
            const auto now = SteadyClock::now();
            elapsed = SecondsSince(t0, now);
            if (elapsed >= step) break;
            const auto due = static_cast<std::uint64_t>(rate * elapsed);
            for (; sent < due; ++sent) {
              clients[next]->Heartbeat(server.Port());
              next = (next + 1) % clients.size();
            }
            if (now - lastProbe >= std::chrono::milliseconds(5)) {
              lastProbe = now;
              probesInFlight.push_back(now);
              asio::error_code ec;
              probe.send_to(asio::buffer(discovery), udp::endpoint(kServerAddress, server.Port()), 0, ec);
            }
            tick.expires_at(now + std::chrono::microseconds(500));
            co_await tick.async_wait(use_awaitable);
          }
          const auto t1 = SteadyClock::now();
          // Falling behind shows as a queue that does not empty.
          // A probe the kernel dropped is never answered: stop waiting for
          // the probes once the socket is empty and none came for 300 ms.
          while (SecondsSince(t1) < 5) {
            co_await Sleep(std::chrono::milliseconds(2));
            if (ReadUdpCounters(server.Port()).rxQueueBytes > 0) continue;
            if (probesInFlight.empty() || SecondsSince(lastAnswer) > 0.3) break;
          }
          drain = SecondsSince(t1);
        },
        step + 30);
    const std::size_t unanswered = probesInFlight.size();
    probesInFlight.clear();
    const UdpSocketCounters c1 = ReadUdpCounters(server.Port());
    const ProcSample s1 = server.Sample();
    const long drops = c1.drops - c0.drops;
    const double achieved = static_cast<double>(sent) / std::max(1e-9, elapsed);
    const bool lossless = drops == 0 && unanswered == 0 && drain < 1.0;
    if (lossless) bestLossless = std::max(bestLossless, achieved);
    report.Line("step " + Fixed(rate / 1000, 0) + "k/s",
                "sent " + Fixed(achieved, 0) + "/s, drops " + std::to_string(drops) + ", drained in " +
                    Fixed(drain * 1000, 0) + " ms, server cpu " +
                    Fixed(100 * (s1.cpuSeconds - s0.cpuSeconds) / std::max(1e-9, elapsed + drain), 0) + " % (" +
                    Fixed(1e6 * (s1.cpuSeconds - s0.cpuSeconds) / std::max<double>(1, static_cast<double>(sent)), 1) +
                    " us per datagram), discovery answer " + latencies.Summary());
    if (!lossless) break;
  }
  probeLatencies = nullptr;
  complete &= Drive(
      io,
      [&]() -> awaitable<void> { online = CountUsers(co_await control.Request(TypeOnlyRequest("GetOnlineUserlist"))); },
      30);
  report.Server("whole run", runBefore, server.Sample());
  report.Line("online at the end", std::to_string(online) + " / " + std::to_string(n) + ", Offline notices " +
                                       std::to_string(board.offline) + ", polls " + std::to_string(board.polls));
  report.Line("highest rate without loss", Fixed(bestLossless, 0) + " datagrams/s");
  if (!complete || online != n || board.offline != 0) report.Incomplete();
  report.Target("150,000 datagrams/s without loss, nobody dropped", bestLossless >= 150000 && online == n,
                Fixed(bestLossless, 0) + "/s, " + std::to_string(n - online) + " dropped");
  ReportStop(report, server.Stop());
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

// --- 6. Evening ----------------------------------------------------------------------

bool Evening(const Options& o) {
  const int silent = Pick(o.clients, 300, 10, o.smoke);
  const int active = o.smoke ? 5 : 100;
  const int extra = o.smoke ? 10 : 100;
  const int intervalMs = 1000, silenceMs = 2000;
  Report report("6 evening: " + std::to_string(silent) + " users go silent at once, " + std::to_string(active) +
                " stay, " + std::to_string(extra) + " others log in meanwhile (scan every " +
                std::to_string(intervalMs) + " ms, silence limit " + std::to_string(silenceMs) + " ms)");
  report.Line("load before", LoadLine());
  ServerUnderTest server(o, silent + active + extra + 10,
                         {"CORVAN_TEST_STATUS_INTERVAL_MS=" + std::to_string(intervalMs),
                          "CORVAN_TEST_SILENCE_MS=" + std::to_string(silenceMs)});
  asio::io_context io;
  NoticeBoard board;
  auto stayers = MakeClients(io, board, 0, silent + active, false, false);
  auto others = MakeClients(io, board, silent + active, extra, false, false);
  bool heartbeating = true;
  int loggedIn = 0;
  bool complete = Drive(
      io,
      [&]() -> awaitable<void> {
        co_await ForEachLimited(silent + active, 50, [&](int i) -> awaitable<void> {
          auto& c = *stayers[static_cast<std::size_t>(i)];
          co_await c.Connect(server.Port());
          if (co_await c.Login()) ++loggedIn;
        });
      },
      120);
  report.Line("online before the evening", std::to_string(loggedIn) + " / " + std::to_string(silent + active));
  // Heartbeats every 250 ms from everybody still awake.
  asio::co_spawn(
      io,
      [&]() -> awaitable<void> {
        while (heartbeating) {
          for (auto& c : stayers)
            if (c->answerPolls) c->Heartbeat(server.Port());
          co_await Sleep(std::chrono::milliseconds(250));
        }
      },
      asio::detached);
  Drive(
      io, [&]() -> awaitable<void> { co_await Sleep(std::chrono::seconds(1)); }, 10);
  const ProcSample before = server.Sample();
  SteadyClock::time_point t0 = SteadyClock::now();
  board.pollWatchFrom = t0;
  for (int i = 0; i < silent; ++i) stayers[static_cast<std::size_t>(i)]->answerPolls = false;
  std::set<std::string> silentNames;
  for (int i = 0; i < silent; ++i) silentNames.insert(stayers[static_cast<std::size_t>(i)]->name);
  Latencies logins;
  std::optional<SteadyClock::time_point> allDropped;
  auto droppedCount = [&] {
    int d = 0;
    for (const auto& nm : silentNames) d += board.offlineSeen.count(nm) ? 1 : 0;
    return d;
  };
  const double waitLimit = o.smoke ? 30 : 120;
  complete &= Drive(
      io,
      [&]() -> awaitable<void> {
        // Other users log in one every 50 ms while the scan drops the silent ones.
        asio::co_spawn(
            co_await asio::this_coro::executor,
            [&]() -> awaitable<void> {
              for (auto& c : others) {
                const auto started = SteadyClock::now();
                asio::co_spawn(
                    co_await asio::this_coro::executor,
                    [&, cp = c.get()]() -> awaitable<void> {
                      co_await cp->Connect(server.Port());
                      if (co_await cp->Login()) logins.AddSince(cp->loginSent, *cp->loginReplied);
                    },
                    asio::detached);
                co_await Sleep(std::chrono::milliseconds(50) - (SteadyClock::now() - started));
              }
            },
            asio::detached);
        while (droppedCount() < silent) co_await Sleep(std::chrono::milliseconds(5));
        SteadyClock::time_point last{};
        for (const auto& nm : silentNames) last = std::max(last, board.offlineSeen[nm]);
        allDropped = last;
        // Let the remaining logins finish.
        for (int k = 0; k < 200 && logins.Count() < static_cast<std::size_t>(extra); ++k)
          co_await Sleep(std::chrono::milliseconds(50));
      },
      waitLimit);
  heartbeating = false;
  const ProcSample after = server.Sample();
  int activeDropped = 0;
  for (int i = silent; i < silent + active; ++i)
    activeDropped += board.offlineSeen.count(stayers[static_cast<std::size_t>(i)]->name) ? 1 : 0;
  const double fromTick = board.firstPoll && allDropped ? SecondsSince(*board.firstPoll, *allDropped) : -1;
  report.Line("first poll after silence",
              board.firstPoll ? Fixed(SecondsSince(t0, *board.firstPoll), 2) + " s" : "none");
  report.Line("silent users dropped", std::to_string(droppedCount()) + " / " + std::to_string(silent));
  report.Line("all dropped, from the tick", fromTick >= 0 ? Fixed(fromTick, 2) + " s" : std::string("not all"));
  report.Line("awake users dropped", std::to_string(activeDropped) + " (must be 0)");
  report.Line("other logins meanwhile", logins.Summary());
  report.Server("evening", before, after);
  if (!complete || droppedCount() != silent || activeDropped != 0 || logins.Count() != static_cast<std::size_t>(extra))
    report.Incomplete();
  report.Target("all dropped within 5 s of the tick", fromTick >= 0 && fromTick < 5,
                fromTick >= 0 ? Fixed(fromTick, 2) + " s" : "incomplete");
  report.Target("other logins p99 under 50 ms", logins.Count() > 0 && logins.Percentile(99) < 50,
                Fixed(logins.Percentile(99), 1) + " ms");
  ReportStop(report, server.Stop());
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

}  // namespace corvan::bench
