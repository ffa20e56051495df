// Scenarios 1, 2 and 4: the login storm, the directory queries and the idle
// connections, with the request/reply limit measured in the same run.
#include <arpa/inet.h>

#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "harness.h"

namespace corvan::bench {

namespace {

// A closed loop over `streams`: each sends a request, waits for its reply and
// sends the next, until `seconds` have passed. Returns the replies counted.
awaitable<std::uint64_t> ClosedLoop(std::vector<FrameStream*> streams, std::function<std::string(int)> request,
                                    double seconds, Latencies& latencies) {
  std::uint64_t replies = 0;
  const auto deadline =
      SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
  co_await ForEachLimited(static_cast<int>(streams.size()), static_cast<int>(streams.size()),
                          [&](int i) -> awaitable<void> {
                            int k = 0;
                            while (SteadyClock::now() < deadline) {
                              const std::string body = request(i * 1000003 + k++);
                              const auto t0 = SteadyClock::now();
                              co_await streams[static_cast<std::size_t>(i)]->Send(body);
                              co_await streams[static_cast<std::size_t>(i)]->Read();
                              latencies.AddSince(t0);
                              ++replies;
                            }
                          });
  co_return replies;
}

// Opens `n` plain connections to `port` from machines `first`.., without
// binding the client ports (for the limit servers).
awaitable<std::vector<std::unique_ptr<FrameStream>>> OpenStreams(int first, int n, std::uint16_t port) {
  auto executor = co_await asio::this_coro::executor;
  std::vector<std::unique_ptr<FrameStream>> out(static_cast<std::size_t>(n));
  co_await ForEachLimited(n, 256, [&](int i) -> awaitable<void> {
    tcp::socket socket(executor);
    socket.open(tcp::v4());
    socket.bind(tcp::endpoint(ClientAddress(first + i), 0));
    co_await socket.async_connect(tcp::endpoint(kServerAddress, port), use_awaitable);
    socket.set_option(tcp::no_delay(true));
    out[static_cast<std::size_t>(i)] = std::make_unique<FrameStream>(std::move(socket));
  });
  co_return out;
}

std::vector<FrameStream*> Raw(const std::vector<std::unique_ptr<FrameStream>>& v) {
  std::vector<FrameStream*> out;
  for (const auto& s : v)
    if (s) out.push_back(s.get());
  return out;
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

// --- 1. Login storm ------------------------------------------------------------------

namespace {

// The fan-out limit's plan: the "Online" notice of login k (k = 1..n) to the
// first k clients, as the storm owes them, in a file for the limit server.
void WriteFanoutPlan(const std::filesystem::path& path, const std::vector<std::unique_ptr<SimClient>>& clients) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), sizeof v); };
  u32(static_cast<std::uint32_t>(clients.size()));
  for (const auto& c : clients) u32(htonl(c->address.to_uint()));
  u32(static_cast<std::uint32_t>(clients.size()));
  for (std::size_t k = 0; k < clients.size(); ++k) {
    const std::string notice = OnlineNotice(clients[k]->name, clients[k]->address.to_string());
    u32(static_cast<std::uint32_t>(k + 1));
    u32(static_cast<std::uint32_t>(notice.size()));
    out.write(notice.data(), static_cast<std::streamsize>(notice.size()));
  }
}

}  // namespace

bool LoginStorm(const Options& o) {
  const int n = Pick(o.clients, 2000, 20, o.smoke);
  const int accounts = std::max(n, Pick(o.accounts, 10000, 100, o.smoke));
  const double limitSeconds = o.smoke ? 30 : 180;
  Report report("1 login storm: " + std::to_string(n) + " clients log in at once, " + std::to_string(accounts) +
                " accounts");
  report.Line("load before", LoadLine());
  std::string loginReply;
  double ourRate = 0;
  asio::io_context io;
  NoticeBoard board;
  // The notices (n(n+1)/2 of them) are read on a thread of their own, so that
  // this thread takes each login reply's time as it arrives. Declared in this
  // order, the thread ends before the clients go and the io_context after.
  asio::io_context noticeIo;
  std::vector<std::unique_ptr<SimClient>> clients;
  NoticeThread notices(noticeIo);
  clients = MakeClients(io, board, 0, n, true, true, true, &noticeIo);
  notices.Start();
  const std::uint64_t expected = static_cast<std::uint64_t>(n) * (n + 1) / 2;
  Latencies latencies, readLatencies;
  std::optional<double> allNotices;
  double serverCpu = 0;
  {
    ServerUnderTest server(o, accounts);
    const ProcSample before = server.Sample();
    ResetPeakRss(server.Pid());
    int ok = 0;
    SteadyClock::time_point t0{}, lastReply{};
    Drive(
        io,
        [&]() -> awaitable<void> {
          t0 = SteadyClock::now();
          const int failures = co_await ForEachLimited(n, n, [&](int i) -> awaitable<void> {
            SimClient& c = *clients[static_cast<std::size_t>(i)];
            co_await c.Connect(server.Port());
            if (co_await c.Login()) ++ok;
            latencies.AddSince(c.loginSent, *c.loginReplied);
            readLatencies.AddSince(c.loginSent, *c.loginRead);
            lastReply = std::max(lastReply, *c.loginReplied);
          });
          if (failures > 0) std::cout << "  " << failures << " logins failed on the connection" << std::endl;
          allNotices = SecondsSince(t0, co_await OnlineNoticesCounted(notices, board, expected));
        },
        limitSeconds);
    const ProcSample after = server.Sample();
    // The counts are read here, the fan-out limit's drain below, with the
    // notice thread stopped; the probe's notices wait in the sockets.
    notices.Stop();
    serverCpu = after.cpuSeconds - before.cpuSeconds;
    ourRate = ok / std::max(1e-9, SecondsSince(t0, lastReply));
    int own = 0;
    // How spread the burst was: each request leaves when its connection is
    // made, so the first and last send show what the server was asked at once.
    auto firstSent = SteadyClock::time_point::max(), lastSent = SteadyClock::time_point::min();
    for (const auto& c : clients) {
      own += c->ownOnline ? 1 : 0;
      if (!c->loginReplied) continue;
      firstSent = std::min(firstSent, c->loginSent);
      lastSent = std::max(lastSent, c->loginSent);
    }
    report.Line("logins accepted", std::to_string(ok) + " / " + std::to_string(n));
    report.Line("login rate", Fixed(ourRate, 0) + " /s (all " + std::to_string(n) + " replies in " +
                                  Fixed(SecondsSince(t0, lastReply), 2) + " s)");
    if (firstSent <= lastSent)
      report.Line("login requests sent", "from " + Fixed(1e3 * SecondsSince(t0, firstSent), 1) + " to " +
                                             Fixed(1e3 * SecondsSince(t0, lastSent), 1) + " ms after the start");
    report.Line("login latency", latencies.Summary());
    report.Line("login latency as the generator read it", readLatencies.Summary());
    report.Line("Online notices", std::to_string(board.online) + " / " + std::to_string(expected) + ", own notice at " +
                                      std::to_string(own) + " / " + std::to_string(n) + " clients");
    report.Line("every notice delivered after", allNotices ? Fixed(*allNotices, 2) + " s" : std::string("never"));
    report.Server("storm", before, after);
    report.Line("server cpu per notice",
                Fixed(1e6 * serverCpu / std::max<double>(1, static_cast<double>(board.online)), 2) + " us");
    if (ok != n || board.online != expected) report.Incomplete();
    // One login reply, for the limit's prepared answer.
    asio::io_context io2;
    NoticeBoard board2;
    SimClient probe(io2, n, board2);
    Drive(
        io2,
        [&]() -> awaitable<void> {
          co_await probe.Connect(server.Port());
          loginReply = co_await probe.Request(LoginRequest(probe.name, "pw", "02-00-00-00-00-00"));
        },
        10);
    const int status = server.Stop();
    ReportStop(report, status);
  }
  // The fan-out limit: the same datagrams to the same receivers, sent by one
  // thread with sendmmsg and nothing else to do, counted by the same clients.
  // Then the same with one sender per core sharing the addresses, as the
  // server's own senders do.
  TempFolder planFolder("corvan-fanout");
  WriteFanoutPlan(planFolder.Path() / "plan", clients);
  auto fanoutLimit = [&](unsigned senders, const std::string& label) -> std::optional<double> {
    LimitServer limit(o, "fanout",
                      {"--plan", (planFolder.Path() / "plan").string(), "--senders", std::to_string(senders)});
    // Notices that came after the count (the reply probe's login, or the
    // limit before) are taken first, then the count starts again.
    notices.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    notices.Stop();
    board.online = 0;
    notices.Start();
    std::string sender;
    std::optional<double> delivered;
    Drive(
        io,
        [&]() -> awaitable<void> {
          tcp::socket control(co_await asio::this_coro::executor);
          co_await control.async_connect(tcp::endpoint(kServerAddress, limit.Port()), use_awaitable);
          const auto t0 = SteadyClock::now();
          co_await asio::async_write(control, asio::buffer(std::string_view("g")), use_awaitable);
          delivered = SecondsSince(t0, co_await OnlineNoticesCounted(notices, board, expected));
          co_await asio::async_read_until(control, asio::dynamic_buffer(sender), '\n', use_awaitable);
        },
        limitSeconds);
    notices.Stop();
    std::istringstream figures(sender);
    double sent = 0, seconds = 0, cpu = 0;
    figures >> sent >> seconds >> cpu;
    report.Line(label, delivered
                           ? Fixed(*delivered, 2) + " s (" + std::to_string(board.online) + " / " +
                                 std::to_string(expected) + "; the sender alone " + Fixed(seconds, 2) + " s, cpu " +
                                 Fixed(cpu, 2) + " s, " + Fixed(1e6 * cpu / std::max(1.0, sent), 2) + " us per notice)"
                           : std::string("never"));
    if (board.online != expected) report.Incomplete();
    return delivered;
  };
  const std::optional<double> limitNotices = fanoutLimit(1, "fan-out limit: every notice delivered after");
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::optional<double> limitNoticesPerCore;
  if (cores > 1) {
    limitNoticesPerCore =
        fanoutLimit(cores, "fan-out limit, " + std::to_string(cores) + " senders: every notice delivered after");
  }
  // The limit of the replies: the same burst of login frames against a server
  // that only answers a prepared reply of the same size.
  {
    LimitServer limit(o, "reply", {"--reply-size", std::to_string(loginReply.size())});
    asio::io_context io3;
    SteadyClock::time_point t0{}, last{};
    int replies = 0;
    Latencies limitLatencies;
    const ProcSample before = SampleProc(limit.Pid());
    Drive(
        io3,
        [&]() -> awaitable<void> {
          t0 = SteadyClock::now();
          co_await ForEachLimited(n, n, [&](int i) -> awaitable<void> {
            tcp::socket socket(co_await asio::this_coro::executor);
            socket.open(tcp::v4());
            socket.bind(tcp::endpoint(ClientAddress(i), 0));
            co_await socket.async_connect(tcp::endpoint(kServerAddress, limit.Port()), use_awaitable);
            FrameStream s(std::move(socket));
            s.StampArrivals();
            const auto sent = SteadyClock::now();
            co_await s.Send(LoginRequest(AccountName(i + 1), "pw", "02-00-00-00-00-00"));
            co_await s.Read();
            limitLatencies.AddSince(sent, s.LastArrival());
            ++replies;
            last = std::max(last, s.LastArrival());
          });
        },
        limitSeconds);
    const ProcSample after = SampleProc(limit.Pid());
    const double limitRate = replies / std::max(1e-9, SecondsSince(t0, last));
    report.Line("limit: same burst, prepared reply",
                Fixed(limitRate, 0) + " /s (cpu " + Fixed(after.cpuSeconds - before.cpuSeconds, 2) + " s)");
    report.Line("login rate / limit", Fixed(ourRate / std::max(1e-9, limitRate), 3));
    // The same burst where the server does no work: what the generator and
    // the kernel alone add to a reply's time.
    report.Line("limit: login latency of the same burst", limitLatencies.Summary());
  }
  const double p99 = latencies.Percentile(99);
  report.Target("login reply p99 at most 100 ms", latencies.Count() == static_cast<std::size_t>(n) && p99 <= 100,
                Fixed(p99, 1) + " ms");
  report.Target("every notice delivered in at most 5 s", allNotices && *allNotices <= 5,
                allNotices ? Fixed(*allNotices, 2) + " s" : "incomplete");
  const double ratio = allNotices && limitNotices ? *limitNotices / *allNotices : 0;
  report.Target("notice time at 0.8 of the fan-out limit or better", ratio >= 0.8,
                Fixed(ratio, 3) + " (limit " + (limitNotices ? Fixed(*limitNotices, 2) : std::string("-")) + " s)");
  if (allNotices && limitNoticesPerCore) {
    report.Line("notice time as a share of the limit with as many senders",
                Fixed(*limitNoticesPerCore / *allNotices, 3) + " (limit " + Fixed(*limitNoticesPerCore, 2) + " s)");
  }
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

// --- 2. Directory --------------------------------------------------------------------

bool Directory(const Options& o) {
  const int conns = Pick(o.clients, 50, 4, o.smoke);
  const int accounts = Pick(o.accounts, 10000, 100, o.smoke);
  const double seconds = o.seconds > 0 ? o.seconds : (o.smoke ? 0.5 : 5.0);
  Report report("2 directory: " + std::to_string(conns) + " connections, " + std::to_string(accounts) + " accounts, " +
                Fixed(seconds, 1) + " s per request kind");
  report.Line("load before", LoadLine());
  struct Kind {
    std::string type;
    std::function<std::string(int)> request;
    std::string reply;
    double rate = 0;
    Latencies latencies;
    double limitRate = 0;
    Latencies limitLatencies;
  };
  std::mt19937 rng(7);
  std::vector<Kind> kinds;
  auto addKind = [&](std::string type, std::function<std::string(int)> request) {
    kinds.emplace_back();
    kinds.back().type = std::move(type);
    kinds.back().request = std::move(request);
  };
  kinds.reserve(3);
  addKind("GetUserInfo", [&](int) { return UserInfoRequest(AccountName(1 + static_cast<int>(rng() % accounts))); });
  addKind("GetOrglist", [](int) { return TypeOnlyRequest("GetOrglist"); });
  addKind("GetUserlist", [](int) { return TypeOnlyRequest("GetUserlist"); });
  Latencies singleUserlist;
  bool complete = true;
  {
    ServerUnderTest server(o, accounts);
    asio::io_context io;
    std::vector<std::unique_ptr<FrameStream>> streams;
    complete &= Drive(
        io, [&]() -> awaitable<void> { streams = co_await OpenStreams(0, conns, server.Port()); }, 30);
    for (auto& k : kinds) {
      const ProcSample before = server.Sample();
      ResetPeakRss(server.Pid());
      std::uint64_t replies = 0;
      complete &= Drive(
          io,
          [&]() -> awaitable<void> {
            co_await streams[0]->Send(k.request(0));
            k.reply = co_await streams[0]->Read();
            replies = co_await ClosedLoop(Raw(streams), k.request, seconds, k.latencies);
          },
          seconds + 30);
      k.rate = static_cast<double>(replies) / seconds;
      report.Line(k.type + " rate", Fixed(k.rate, 0) + " /s, reply " + std::to_string(k.reply.size()) + " bytes");
      report.Line(k.type + " latency", k.latencies.Summary());
      report.Server(k.type, before, server.Sample());
    }
    // Unloaded: one connection asking for the whole user list.
    const std::vector<FrameStream*> one{streams[0].get()};
    const double half = std::max(0.3, seconds / 2);
    complete &= Drive(
        io, [&]() -> awaitable<void> { co_await ClosedLoop(one, kinds[2].request, half, singleUserlist); },
        seconds + 30);
    report.Line("GetUserlist latency, 1 connection", singleUserlist.Summary());
    ReportStop(report, server.Stop());
  }
  for (auto& k : kinds) {
    TempFolder folder("corvan-reply");
    WriteFile(folder.Path() / "reply", Framed(k.reply));
    LimitServer limit(o, "reply", {"--reply-file", (folder.Path() / "reply").string()});
    asio::io_context io;
    std::uint64_t replies = 0;
    complete &= Drive(
        io,
        [&]() -> awaitable<void> {
          auto streams = co_await OpenStreams(0, conns, limit.Port());
          replies = co_await ClosedLoop(Raw(streams), k.request, seconds, k.limitLatencies);
        },
        seconds + 30);
    k.limitRate = static_cast<double>(replies) / seconds;
    report.Line(k.type + " limit", Fixed(k.limitRate, 0) + " /s, " + k.limitLatencies.Summary());
    report.Line(k.type + " rate / limit", Fixed(k.rate / std::max(1e-9, k.limitRate), 3));
  }
  if (!complete) report.Incomplete();
  auto ratioOf = [](const Kind& k) { return k.rate / std::max(1e-9, k.limitRate); };
  report.Target("GetUserInfo at 60% of the limit or more", ratioOf(kinds[0]) >= 0.6,
                Fixed(100 * ratioOf(kinds[0]), 1) + " %");
  report.Target("GetOrglist at 60% of the limit or more", ratioOf(kinds[1]) >= 0.6,
                Fixed(100 * ratioOf(kinds[1]), 1) + " %");
  report.Target("GetUserlist at 80% of the limit or more", ratioOf(kinds[2]) >= 0.8,
                Fixed(100 * ratioOf(kinds[2]), 1) + " %");
  const double userlistP99 = kinds[2].latencies.Percentile(99);
  const double limitP99 = kinds[2].limitLatencies.Percentile(99);
  report.Target("GetUserlist p99 within 1.5x the limit's (" + std::to_string(conns) + " connections)",
                userlistP99 <= 1.5 * limitP99, Fixed(userlistP99, 1) + " ms against " + Fixed(limitP99, 1) + " ms");
  report.Target("GetUserlist p99 under 20 ms (1 connection)", singleUserlist.Percentile(99) < 20,
                Fixed(singleUserlist.Percentile(99), 1) + " ms");
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

// --- 4. Idle -------------------------------------------------------------------------

// By default every client comes online with one "Online" heartbeat (which
// lists it without telling the others) and holds a TCP connection on which
// it asked one question: the server then holds the online entry and the
// connection, as after a login. With --login they log in over TCP instead;
// each login then tells everybody already online, n * n / 2 datagrams in all
// (the login storm measures that cost).
bool Idle(const Options& o) {
  const int n = Pick(o.clients, 10000, 50, o.smoke);
  const int accounts = std::max(n, Pick(o.accounts, n, n, o.smoke));
  Report report("4 idle: " + std::to_string(n) + " clients " + (o.idleLogin ? "logged in" : "online by heartbeat") +
                ", holding their connections");
  report.Line("load before", LoadLine());
  ServerUnderTest server(o, accounts);
  asio::io_context io;
  NoticeBoard board;
  // Four descriptors per machine with its ports bound, one without: bind
  // them only where the open-files limit allows.
  const bool bind = static_cast<std::uint64_t>(n) * 4 + 100 < OpenFilesLimit();
  if (!bind) report.Line("client ports", "not bound (open-files limit " + std::to_string(OpenFilesLimit()) + ")");
  auto clients = MakeClients(io, board, 0, n, true, true, bind);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const ProcSample before = server.Sample();
  int ok = 0;
  const auto t0 = SteadyClock::now();
  bool complete = Drive(
      io,
      [&]() -> awaitable<void> {
        co_await ForEachLimited(n, 200, [&](int i) -> awaitable<void> {
          SimClient& c = *clients[static_cast<std::size_t>(i)];
          co_await c.Connect(server.Port());
          if (!o.idleLogin) {
            c.Heartbeat(server.Port());
            std::string reply = co_await c.Request(UserInfoRequest(c.name));
            if (ElementText(reply, "status") == "success") ++ok;
          } else if (co_await c.Login()) {
            ++ok;
          }
        });
      },
      o.smoke ? 60 : 900);
  const double setup = SecondsSince(t0);
  // Let the notices drain and the server settle, then measure twice.
  Drive(
      io, [&]() -> awaitable<void> { co_await Sleep(std::chrono::seconds(o.smoke ? 1 : 3)); }, 30);
  const ProcSample held = server.Sample();
  Drive(
      io, [&]() -> awaitable<void> { co_await Sleep(std::chrono::seconds(o.smoke ? 1 : 5)); }, 30);
  const ProcSample later = server.Sample();
  const double perClient = static_cast<double>(held.rssKiB - before.rssKiB) / std::max(1, ok);
  report.Line("clients connected", std::to_string(ok) + " / " + std::to_string(n) + " in " + Fixed(setup, 1) + " s");
  report.Line("server descriptors", std::to_string(before.fds) + " -> " + std::to_string(held.fds));
  report.Server("connect", before, held);
  report.Line("server rss 5 s later", MiB(static_cast<double>(later.rssKiB)));
  report.Line("rss per client", Fixed(perClient, 2) + " KiB");
  if (!complete || ok != n) report.Incomplete();
  report.Target("16 KiB or less per connected client", perClient <= 16 && ok == n, Fixed(perClient, 2) + " KiB");
  ReportStop(report, server.Stop());
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

}  // namespace corvan::bench
