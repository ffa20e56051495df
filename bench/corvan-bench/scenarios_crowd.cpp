// Scenarios 8 and 9: people whose machines changed address log in again
// while others log in, and a crowd of 20,000 online while people come and go.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <iostream>

#include "harness.h"

namespace corvan::bench {

namespace {

// The machine index of a simulated machine's address; -1 outside the range
// ClientAddress gives out.
int MachineOf(std::uint32_t hostOrder) {
  if ((hostOrder >> 24) != 127) return -1;
  const std::uint32_t net = (hostOrder >> 8) & 0xFFFF, host = hostOrder & 0xFF;
  if (host == 0 || host == 255) return -1;
  return static_cast<int>(net * 254 + host - 1) - 1;
}

// The machine index of account `U` + i + 1; -1 for another name.
int MachineOfAccount(std::string_view name) {
  if (name.size() < 2 || name[0] != 'U') return -1;
  int value = 0;
  for (char c : name.substr(1)) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value - 1;
}

}  // namespace

// --- 8. Re-logins --------------------------------------------------------------------

// Users online; some of them log in again from a new address at once (a DHCP
// renewal, a switch to Wi-Fi, a restarted client): each login finds the
// account listed at the old address and asks that machine, which is gone and
// does not answer, so each waits for the probe's time-out. Meanwhile other
// users log in, one every 20 ms.
bool Relogins(const Options& o) {
  const int online = o.smoke ? 20 : 200;
  const int movers = Pick(o.clients, 10, 3, o.smoke);
  const int others = o.smoke ? 10 : 100;
  const auto otherEvery = std::chrono::milliseconds(20);
  Report report("8 re-logins: " + std::to_string(movers) + " of " + std::to_string(online) +
                " online users log in again at once from new addresses (old machines silent); " +
                std::to_string(others) + " others log in meanwhile, one every 20 ms");
  report.Line("load before", LoadLine());
  ServerUnderTest server(o, online + others + movers + 10);
  asio::io_context io;
  NoticeBoard board;
  auto stayers = MakeClients(io, board, 0, online, false, false);
  auto latecomers = MakeClients(io, board, online, others, false, false);
  std::vector<std::unique_ptr<SimClient>> moved;
  for (int k = 0; k < movers; ++k) {
    moved.push_back(std::make_unique<SimClient>(io, online + others + k, board, k));
    std::string error;
    if (!moved.back()->Bind(false, false, error)) throw std::runtime_error("cannot bind " + error);
  }
  int loggedIn = 0;
  bool complete = Drive(
      io,
      [&]() -> awaitable<void> {
        co_await ForEachLimited(online, 50, [&](int i) -> awaitable<void> {
          auto& c = *stayers[static_cast<std::size_t>(i)];
          co_await c.Connect(server.Port());
          if (co_await c.Login()) ++loggedIn;
        });
      },
      120);
  report.Line("online before", std::to_string(loggedIn) + " / " + std::to_string(online));
  for (int k = 0; k < movers; ++k) stayers[static_cast<std::size_t>(k)]->answerPolls = false;
  const ProcSample before = server.Sample();
  Latencies relogins, otherLogins;
  int reloginsOk = 0, othersOk = 0;
  const auto t0 = SteadyClock::now();
  SteadyClock::time_point lastRelogin{};
  complete &= Drive(
      io,
      [&]() -> awaitable<void> {
        auto executor = co_await asio::this_coro::executor;
        asio::co_spawn(
            executor,
            [&]() -> awaitable<void> {
              for (auto& c : latecomers) {
                const auto started = SteadyClock::now();
                asio::co_spawn(
                    co_await asio::this_coro::executor,
                    [&, cp = c.get()]() -> awaitable<void> {
                      co_await cp->Connect(server.Port());
                      if (co_await cp->Login()) {
                        ++othersOk;
                        otherLogins.AddSince(cp->loginSent, *cp->loginReplied);
                      }
                    },
                    asio::detached);
                co_await Sleep(otherEvery - (SteadyClock::now() - started));
              }
            },
            asio::detached);
        co_await ForEachLimited(movers, movers, [&](int k) -> awaitable<void> {
          SimClient& c = *moved[static_cast<std::size_t>(k)];
          co_await c.Connect(server.Port());
          if (co_await c.Login()) ++reloginsOk;
          relogins.AddSince(t0, *c.loginReplied);
          lastRelogin = std::max(lastRelogin, *c.loginReplied);
        });
        for (int k = 0; k < 400 && otherLogins.Count() < static_cast<std::size_t>(others); ++k)
          co_await Sleep(std::chrono::milliseconds(50));
      },
      o.smoke ? 60 : 120);
  report.Line("re-logins accepted", std::to_string(reloginsOk) + " / " + std::to_string(movers));
  report.Line("re-login replies, from the start", relogins.Summary());
  report.Line("other logins meanwhile",
              otherLogins.Summary() + ", " + std::to_string(othersOk) + " / " + std::to_string(others) + " accepted");
  report.Server("re-logins", before, server.Sample());
  if (!complete || reloginsOk != movers || othersOk != others) report.Incomplete();
  const double last = reloginsOk == movers ? SecondsSince(t0, lastRelogin) : -1;
  report.Target("other logins p99 at most 50 ms", othersOk == others && otherLogins.Percentile(99) <= 50,
                Fixed(otherLogins.Percentile(99), 1) + " ms");
  report.Target("last re-login answered in at most 2.5 s", last >= 0 && last <= 2.5,
                last >= 0 ? Fixed(last, 2) + " s" : "incomplete");
  ReportStop(report, server.Stop());
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

// --- 9. Crowd ------------------------------------------------------------------------

namespace {

// The crowd's notice ports. One socket bound to the notice port on every
// address, which the kernel tells the destination of each datagram
// (IP_PKTINFO): every machine listens on its own address without a
// descriptor of its own, which 20,000 machines beside their TCP connections
// would not have. Through the same socket each machine sends its heartbeats,
// its logout and its poll answers from its own address and notice port, as a
// real client does.
class CrowdPort {
 public:
  CrowdPort(asio::io_context& io, int steady, int churners, const std::vector<bool>& churnerOnline)
      : online(static_cast<std::size_t>(steady + churners)),
        offline(online.size()),
        socket_(io),
        steady_(steady),
        churners_(churners),
        heard_(static_cast<std::size_t>(steady) * static_cast<std::size_t>(churners)) {
    for (int s = 0; s < steady; ++s)
      for (int c = 0; c < churners; ++c) heard_[Slot(s, c)] = churnerOnline[static_cast<std::size_t>(c)];
  }

  bool Open(std::string& error) {
    asio::error_code ec;
    socket_.open(udp::v4(), ec);
    if (ec) return Fail("open", ec, error);
    // Bursts of 20,000 datagrams per notice: a buffer for many of them, past
    // the system's usual maximum where the generator may (CAP_NET_ADMIN).
    int size = 256 << 20;
    if (::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      socket_.set_option(asio::socket_base::receive_buffer_size(size), ec);
    int on = 1;
    ::setsockopt(socket_.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    socket_.bind(udp::endpoint(asio::ip::address_v4::any(), kNoticePort), ec);
    if (ec) return Fail("bind 0.0.0.0:1875", ec, error);
    asio::co_spawn(socket_.get_executor(), Loop(), asio::detached);
    return true;
  }

  // Sends `bytes` to `to` from machine `machine`'s address (and the notice
  // port).
  void SendFrom(int machine, const udp::endpoint& to, std::string_view bytes) {
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(to.port());
    dst.sin_addr.s_addr = htonl(to.address().to_v4().to_uint());
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &dst;
    msg.msg_namelen = sizeof dst;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(ClientAddress(machine).to_uint());
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    if (::sendmsg(socket_.native_handle(), &msg, MSG_DONTWAIT) < 0) ++sendFailures;
  }

  // Counted per destination machine.
  std::vector<std::uint32_t> online, offline;
  std::uint64_t outOfOrder = 0, polls = 0, other = 0, strangers = 0, sendFailures = 0;
  SteadyClock::time_point last{};

 private:
  std::size_t Slot(int steady, int churner) const {
    return static_cast<std::size_t>(steady) * static_cast<std::size_t>(churners_) + static_cast<std::size_t>(churner);
  }

  static bool Fail(const char* what, const asio::error_code& ec, std::string& error) {
    error = std::string(what) + ": " + ec.message();
    return false;
  }

  awaitable<void> Loop() {
    constexpr std::size_t kSize = 64, kSlot = 2048;
    std::vector<char> storage(kSize * kSlot);
    std::array<mmsghdr, kSize> msgs{};
    std::array<iovec, kSize> iovs{};
    std::array<sockaddr_in, kSize> froms{};
    std::vector<std::array<char, CMSG_SPACE(sizeof(in_pktinfo))>> controls(kSize);
    for (;;) {
      asio::error_code ec;
      co_await socket_.async_wait(udp::socket::wait_read, asio::redirect_error(use_awaitable, ec));
      if (ec == asio::error::operation_aborted || !socket_.is_open()) co_return;
      for (;;) {
        for (std::size_t i = 0; i < kSize; ++i) {
          iovs[i] = iovec{storage.data() + i * kSlot, kSlot};
          msgs[i] = mmsghdr{};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_name = &froms[i];
          msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
          msgs[i].msg_hdr.msg_control = controls[i].data();
          msgs[i].msg_hdr.msg_controllen = controls[i].size();
        }
        const int n = ::recvmmsg(socket_.native_handle(), msgs.data(), kSize, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
          int machine = -1;
          for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[k].msg_hdr, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
              in_pktinfo info{};
              std::memcpy(&info, CMSG_DATA(c), sizeof info);
              machine = MachineOf(ntohl(info.ipi_addr.s_addr));
            }
          }
          const udp::endpoint from(asio::ip::address_v4(ntohl(froms[k].sin_addr.s_addr)), ntohs(froms[k].sin_port));
          Handle(machine, std::string_view(storage.data() + k * kSlot, msgs[k].msg_len), from);
        }
        if (static_cast<std::size_t>(n) < kSize) break;
      }
    }
  }

  void Handle(int machine, std::string_view doc, const udp::endpoint& from) {
    if (machine < 0 || machine >= steady_ + churners_) {
      ++strangers;
      return;
    }
    const std::string_view type = ElementText(doc, "Type");
    const bool isOnline = type == "Online", isOffline = type == "Offline";
    if (!isOnline && !isOffline) {
      if (type == "GetStatus") {
        ++polls;
        SendFrom(machine, from, StatusAnswer(AccountName(machine + 1)));
      } else {
        ++other;
      }
      return;
    }
    last = SteadyClock::now();
    ++(isOnline ? online : offline)[static_cast<std::size_t>(machine)];
    // Each steady machine hears every churner come and go in turn.
    const int churner = MachineOfAccount(ElementText(doc, "username")) - steady_;
    if (machine >= steady_ || churner < 0 || churner >= churners_) return;
    const std::size_t slot = Slot(machine, churner);
    if (heard_[slot] == isOnline) ++outOfOrder;
    heard_[slot] = isOnline;
  }

  udp::socket socket_;
  const int steady_, churners_;
  std::vector<bool> heard_;  // per steady machine and churner: last heard online
};

}  // namespace

// 20,000 machines. Most stay online for the whole run, holding their TCP
// connection and sending a heartbeat every 20 s; a few hundred come and go:
// at a steady rate one of them logs out (UDP "Loginout", then closes its
// connection) and another logs in (connects and sends "Loginin"). Every
// login and logout is announced to everybody online, so each steady machine
// must hear every one of them, in order for each user.
//
// They come online by heartbeat and one GetUserInfo on their connection (as
// in the idle scenario): logging 20,000 in over TCP would cost 200 million
// notices before the run begins.
bool Crowd(const Options& o) {
  const int machines = Pick(o.clients, 20000, 60, o.smoke);
  const int churners = o.smoke ? 10 : 200;
  // Descriptors: the server and the generator may each hold one TCP
  // connection per machine online, within the open-files limit both have
  // (20,000 on this machine, which neither may raise).
  const int fit = static_cast<int>(OpenFilesLimit()) - churners / 2 - 80;
  const int steady = std::min(machines - churners, fit);
  const double seconds = o.seconds > 0 ? o.seconds : (o.smoke ? 4 : 180);
  // Logins and logouts together per second; see bench/README.md for why.
  const double eventsPerSecond = o.rate > 0 ? o.rate : 8;
  const auto heartbeatEvery = std::chrono::seconds(o.smoke ? 1 : 20);
  Report report("9 crowd: " + std::to_string(steady + churners) + " machines, " + std::to_string(steady) +
                " online all the time (heartbeat every " + std::to_string(heartbeatEvery.count()) + " s), " +
                std::to_string(churners) + " coming and going: " + Fixed(eventsPerSecond, 1) +
                " logins and logouts per second for " + Fixed(seconds, 0) + " s");
  report.Line("load before", LoadLine());
  ServerUnderTest server(o, steady + churners + 10);
  asio::io_context io;
  NoticeBoard board;
  std::vector<std::unique_ptr<SimClient>> clients;
  clients.reserve(static_cast<std::size_t>(steady + churners));
  for (int i = 0; i < steady + churners; ++i) clients.push_back(std::make_unique<SimClient>(io, i, board));
  // Half the churners start online, the other half offline.
  std::vector<bool> churnerOnline(static_cast<std::size_t>(churners));
  std::deque<int> onlineChurners, offlineChurners;
  for (int c = 0; c < churners; ++c) {
    churnerOnline[static_cast<std::size_t>(c)] = c < churners / 2;
    (c < churners / 2 ? onlineChurners : offlineChurners).push_back(steady + c);
  }
  CrowdPort port(io, steady, churners, churnerOnline);
  std::string error;
  if (!port.Open(error)) throw std::runtime_error("crowd notice port: " + error);
  const udp::endpoint serverUdp(kServerAddress, server.Port());
  auto heartbeat = [&](int machine) { port.SendFrom(machine, serverUdp, HeartbeatDatagram(AccountName(machine + 1))); };

  const ProcSample idle = server.Sample();
  int connected = 0, listed = 0;
  const auto setupStart = SteadyClock::now();
  // Machines 0 .. startOnline-1: the steady ones, then the churners online.
  const int startOnline = steady + churners / 2;
  bool complete = Drive(
      io,
      [&]() -> awaitable<void> {
        co_await ForEachLimited(startOnline, 200, [&](int k) -> awaitable<void> {
          SimClient& c = *clients[static_cast<std::size_t>(k)];
          co_await c.Connect(server.Port());
          heartbeat(c.index);
          const std::string reply = co_await c.Request(UserInfoRequest(c.name));
          if (ElementText(reply, "status") == "success") ++connected;
        });
        SimClient control(io, steady + churners + 5, board);
        co_await control.Connect(server.Port());
        for (int round = 0; round < 20; ++round) {
          listed = CountUsers(co_await control.Request(TypeOnlyRequest("GetOnlineUserlist")));
          if (listed >= startOnline) break;
          for (int k = 0; k < startOnline; ++k) heartbeat(k);
          co_await Sleep(std::chrono::milliseconds(500));
        }
        control.Disconnect();
      },
      o.smoke ? 60 : 900);
  report.Line("online at the start", std::to_string(listed) + " listed, " + std::to_string(connected) + " / " +
                                         std::to_string(startOnline) + " holding a connection, in " +
                                         Fixed(SecondsSince(setupStart), 1) + " s");
  const ProcSample before = server.Sample(false);
  ResetPeakRss(server.Pid());
  const UdpSocketCounters udp0 = ReadUdpCounters(server.Port());
  const double generatorCpu0 = SampleProc(::getpid(), false).cpuSeconds;

  // The run: heartbeats spread evenly, one event every 1/rate seconds
  // (a logout, then a login, in turn), the server sampled every second.
  Latencies logins;
  std::uint64_t loginsOk = 0, loginsFailed = 0, logouts = 0;
  std::vector<double> cpuPerSecond;
  long peakRss = before.rssKiB;
  bool running = true;
  const auto t0 = SteadyClock::now();
  SteadyClock::time_point eventsEnd = t0;
  SteadyClock::time_point lastEvent = t0;  // the last logout sent or login started
  complete &= Drive(
      io,
      [&]() -> awaitable<void> {
        auto executor = co_await asio::this_coro::executor;
        asio::co_spawn(
            executor,
            [&]() -> awaitable<void> {
              const auto tick = std::chrono::milliseconds(10);
              const double perTick =
                  static_cast<double>(steady + churners) * 0.010 / static_cast<double>(heartbeatEvery.count());
              double owed = 0;
              int next = 0;
              while (running) {
                for (owed += perTick; owed >= 1; owed -= 1) {
                  const int machine = next;
                  next = (next + 1) % (steady + churners);
                  if (machine >= steady && !churnerOnline[static_cast<std::size_t>(machine - steady)]) continue;
                  heartbeat(machine);
                }
                co_await Sleep(tick);
              }
            },
            asio::detached);
        asio::co_spawn(
            executor,
            [&]() -> awaitable<void> {
              ProcSample last = before;
              while (running) {
                co_await Sleep(std::chrono::seconds(1));
                const ProcSample now = server.Sample(false);
                cpuPerSecond.push_back(now.cpuSeconds - last.cpuSeconds);
                peakRss = std::max(peakRss, now.rssKiB);
                last = now;
              }
            },
            asio::detached);
        const auto every =
            std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / eventsPerSecond));
        auto due = SteadyClock::now();
        for (std::uint64_t event = 0; SecondsSince(t0) < seconds; ++event) {
          due += every;
          if (event % 2 == 0 && !onlineChurners.empty()) {
            const int machine = onlineChurners.front();
            onlineChurners.pop_front();
            port.SendFrom(machine, serverUdp, LogoutDatagram(AccountName(machine + 1)));
            lastEvent = SteadyClock::now();
            clients[static_cast<std::size_t>(machine)]->Disconnect();
            churnerOnline[static_cast<std::size_t>(machine - steady)] = false;
            offlineChurners.push_back(machine);
            ++logouts;
          } else if (!offlineChurners.empty()) {
            const int machine = offlineChurners.front();
            offlineChurners.pop_front();
            lastEvent = SteadyClock::now();
            asio::co_spawn(
                executor,
                [&, machine]() -> awaitable<void> {
                  SimClient& c = *clients[static_cast<std::size_t>(machine)];
                  churnerOnline[static_cast<std::size_t>(machine - steady)] = true;
                  try {
                    co_await c.Connect(server.Port());
                    if (co_await c.Login()) {
                      ++loginsOk;
                      logins.AddSince(c.loginSent, *c.loginReplied);
                    } else {
                      ++loginsFailed;
                    }
                  } catch (const std::exception&) {
                    ++loginsFailed;
                  }
                  onlineChurners.push_back(machine);
                },
                asio::detached);
          }
          asio::steady_timer wait(executor, due);
          co_await wait.async_wait(use_awaitable);
        }
        running = false;
        eventsEnd = SteadyClock::now();
        // Every notice of the run is owed to every steady machine: wait until
        // they have all arrived, or until nothing has come for 5 s.
        const auto owed = [&] { return loginsOk + logouts; };
        for (;;) {
          std::uint64_t short_ = 0;
          for (int s = 0; s < steady; ++s)
            short_ += port.online[static_cast<std::size_t>(s)] + port.offline[static_cast<std::size_t>(s)] < owed();
          if (short_ == 0 || SecondsSince(port.last) > 5) break;
          co_await Sleep(std::chrono::milliseconds(100));
        }
      },
      seconds + 120);
  running = false;
  const double window = SecondsSince(t0);
  const ProcSample after = server.Sample(false);
  const UdpSocketCounters udp1 = ReadUdpCounters(server.Port());
  const double generatorCpu = SampleProc(::getpid(), false).cpuSeconds - generatorCpu0;
  const std::uint64_t owed = loginsOk + logouts;
  std::uint64_t lost = 0, extra = 0, received = 0;
  for (int s = 0; s < steady; ++s) {
    const std::uint64_t got = port.online[static_cast<std::size_t>(s)] + port.offline[static_cast<std::size_t>(s)];
    received += got;
    if (got < owed) lost += owed - got;
    if (got > owed) extra += got - owed;
  }
  double meanCpu = 0, maxCpu = 0;
  for (double c : cpuPerSecond) {
    meanCpu += c;
    maxCpu = std::max(maxCpu, c);
  }
  meanCpu /= std::max<std::size_t>(1, cpuPerSecond.size());
  const double cpuPerNotice = 1e6 * (after.cpuSeconds - before.cpuSeconds) / std::max<double>(1, received);
  const double rssPerClient = static_cast<double>(std::max(peakRss, after.rssKiB) - idle.rssKiB) /
                              static_cast<double>(std::max(1, startOnline));
  report.Line("events", std::to_string(loginsOk) + " logins (" + std::to_string(loginsFailed) + " failed), " +
                            std::to_string(logouts) + " logouts in " + Fixed(SecondsSince(t0, eventsEnd), 1) +
                            " s; the last notice " + Fixed(SecondsSince(lastEvent, port.last), 2) +
                            " s after the last event");
  report.Line("login latency", logins.Summary());
  report.Line("notices at the steady machines",
              std::to_string(received) + " of " + std::to_string(owed * static_cast<std::uint64_t>(steady)) +
                  ": lost " + std::to_string(lost) + ", extra " + std::to_string(extra) + ", out of order " +
                  std::to_string(port.outOfOrder));
  report.Line("polls answered", std::to_string(port.polls) + ", other notices " + std::to_string(port.other));
  report.Line("server udp drops", std::to_string(udp1.drops - udp0.drops));
  report.Line("server cpu per second",
              "mean " + Fixed(100 * meanCpu, 0) + " %, highest " + Fixed(100 * maxCpu, 0) + " %");
  report.Line("server cpu per notice", Fixed(cpuPerNotice, 2) + " us (logins, heartbeats and all)");
  report.Line("generator cpu", Fixed(100 * generatorCpu / std::max(1e-9, window), 0) + " % of one core (" +
                                   Fixed(1e6 * generatorCpu / std::max<double>(1, received), 2) + " us per notice)");
  report.Line("server rss", MiB(static_cast<double>(idle.rssKiB)) + " idle, " +
                                MiB(static_cast<double>(before.rssKiB)) + " with the crowd, " +
                                MiB(static_cast<double>(peakRss)) + " at most in the run");
  report.Line("rss per client", Fixed(rssPerClient, 2) + " KiB");
  if (!complete || listed < startOnline || loginsFailed > 0 || lost > 0 || port.outOfOrder > 0) report.Incomplete();
  report.Target("no notice lost", lost == 0 && port.outOfOrder == 0, std::to_string(lost) + " lost");
  report.Target("rss at most 16 KiB per client", rssPerClient <= 16, Fixed(rssPerClient, 2) + " KiB");
  report.Target("login p99 at most 50 ms", logins.Count() > 0 && logins.Percentile(99) <= 50,
                Fixed(logins.Percentile(99), 1) + " ms");
  ReportStop(report, server.Stop());
  report.Line("load after", LoadLine());
  report.Print();
  return report.AllComplete();
}

}  // namespace corvan::bench
