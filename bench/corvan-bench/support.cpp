#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/text.h"
#include "storage/config.h"
#include "storage/database.h"
#include "storage/schema.h"

extern char** environ;

namespace corvan::bench {

// --- Child processes ------------------------------------------------------------

namespace {

std::mutex gChildrenMutex;
std::set<pid_t> gChildren;  // guarded by gChildrenMutex

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::filesystem::path& output) {
  // Everything the child needs is prepared before the fork: after it only
  // async-signal-safe calls are made.
  std::vector<std::string> argText{exe.string()};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool overridden =
        std::any_of(env.begin(), env.end(), [&](const std::string& o) { return o.substr(0, o.find('=')) == name; });
    if (!overridden) envText.push_back(std::move(entry));
  }
  envText.insert(envText.end(), env.begin(), env.end());
  std::vector<char*> argv, envp;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  Fd out;
  out.fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out.fd < 0) throw std::runtime_error("cannot open " + output.string());
  const pid_t parent = ::getpid();

  std::lock_guard lock(gChildrenMutex);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(out.fd, STDOUT_FILENO);
    ::dup2(out.fd, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  gChildren.insert(pid_);
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Reap(bool block) {
  if (reaped_) return true;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = status;
    std::lock_guard lock(gChildrenMutex);
    gChildren.erase(pid_);
    return true;
  }
  return false;
}

bool ChildProcess::Alive() { return pid_ > 0 && !Reap(false); }

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (!Reap(false)) {
    ::kill(pid_, SIGTERM);
    const auto deadline = SteadyClock::now() + grace;
    while (!Reap(false) && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!Reap(false)) {
      ::kill(pid_, SIGKILL);
      Reap(true);
      return -1;
    }
  }
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void InstallStopHandler() {
  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([] {
    int sig = 0;
    while (::sigwait(&signals, &sig) != 0) {
    }
    {
      std::lock_guard lock(gChildrenMutex);
      for (pid_t pid : gChildren) ::kill(pid, SIGKILL);
    }
    std::fprintf(stderr, "corvan-bench: stopped by signal %d; the server was killed\n", sig);
    ::_exit(130);
  }).detach();
  ::signal(SIGPIPE, SIG_IGN);
}

void RaiseOpenFilesLimit(std::uint64_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_max < wanted) {
    rlimit raised{wanted, wanted};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  }
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// --- /proc ----------------------------------------------------------------------

ProcSample SampleProc(pid_t pid, bool fds) {
  ProcSample s;
  const std::string base = "/proc/" + std::to_string(pid);
  {
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold blanks) start at ") ".
    auto close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream rest(text.substr(close + 2));
      std::string field;
      unsigned long long utime = 0, stime = 0;
      for (int i = 3; rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
          stime = std::stoull(field);
          break;
        }
      }
      s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
  }
  {
    std::ifstream in(base + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
      if (line.rfind("VmHWM:", 0) == 0) s.peakRssKiB = std::atol(line.c_str() + 6);
    }
  }
  if (!fds) return s;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(base + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++s.fds;
  return s;
}

void ResetPeakRss(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
}

UdpSocketCounters ReadUdpCounters(std::uint16_t port) {
  UdpSocketCounters c;
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);  // header
  char portHex[8];
  std::snprintf(portHex, sizeof portHex, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, st, queues;
    f >> sl >> local >> remote >> st >> queues;
    if (local.size() < 5 || local.substr(local.size() - 5) != portHex) continue;
    std::string field, last;
    while (f >> field) last = field;
    c.found = true;
    c.rxQueueBytes += std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    c.drops += std::stol(last);
  }
  return c;
}

std::string MachineLine() {
  long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  std::string cpu;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  return std::to_string(std::thread::hardware_concurrency()) + " cores (" + cpu + "), " +
         Fixed(static_cast<double>(pages) * static_cast<double>(pageSize) / (1024.0 * 1024 * 1024), 1) + " GiB";
}

std::string LoadLine() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  return "load average " + Fixed(a, 2) + ", " + Fixed(b, 2) + ", " + Fixed(c, 2);
}

// --- Figures --------------------------------------------------------------------

double Latencies::Percentile(double p) const {
  if (samples_.empty()) return 0;
  if (!sorted_) {
    std::sort(samples_.begin(), samples_.end());
    sorted_ = true;
  }
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples_.size())));
  rank = std::clamp<std::size_t>(rank, 1, samples_.size());
  return samples_[rank - 1];
}

double Latencies::Max() const { return Percentile(100); }

std::string Latencies::Summary() const {
  auto ms = [](double v) { return v < 10 ? Fixed(v, 2) : Fixed(v, 1); };
  return "p50 " + ms(Percentile(50)) + " ms  p99 " + ms(Percentile(99)) + " ms  max " + ms(Max()) +
         " ms  (n=" + std::to_string(samples_.size()) + ")";
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string MiB(double kib) { return Fixed(kib / 1024.0, 1) + " MiB"; }

Report::Report(std::string title) : title_(std::move(title)) {}

void Report::Line(const std::string& key, const std::string& value) { lines_.emplace_back(key, value); }

void Report::Server(const std::string& phase, const ProcSample& before, const ProcSample& after) {
  Line("server cpu (" + phase + ")", Fixed(after.cpuSeconds - before.cpuSeconds, 2) + " s");
  Line("server rss (" + phase + ")", MiB(static_cast<double>(before.rssKiB)) + " -> " +
                                         MiB(static_cast<double>(after.rssKiB)) + ", peak " +
                                         MiB(static_cast<double>(after.peakRssKiB)));
}

void Report::Target(const std::string& what, bool met, const std::string& figure) {
  Line("target: " + what, (met ? "met    " : "MISSED ") + figure);
}

void Report::Print() const {
  std::size_t width = 0;
  for (const auto& [k, v] : lines_) width = std::max(width, k.size());
  std::cout << "\n== " << title_ << " ==\n";
  for (const auto& [k, v] : lines_) std::cout << "  " << k << std::string(width - k.size() + 2, ' ') << v << "\n";
  std::cout << "  "
            << "complete" << std::string(width > 8 ? width - 8 + 2 : 2, ' ') << (complete_ ? "yes" : "NO") << "\n"
            << std::flush;
}

// --- The server's data folder ---------------------------------------------------------

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  if (keep_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string AccountName(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U%05d", i);
  return buf;
}

void PrepareDataFolder(const std::filesystem::path& home, int accounts, int departments, std::uint16_t port) {
  Database db;
  if (corvan::Status opened = corvan::OpenDatabase(db, (home / std::string(kDatabaseFileName)).string());
      !opened.IsOk())
    throw std::runtime_error("cannot create the database: " + opened.Message());
  LoadOrgs(db);  // seeds the root and the first department
  DatabaseLock lock(db);
  Transaction tx(db);
  std::vector<std::string> codes{"001"};
  {
    Statement org(db, "insert into organize (organizeNo,organizename,parNo,orgID) values(:no,:name,:par,:id)");
    for (int d = 2; d <= departments; ++d) {
      char code[16];  // room for any int
      std::snprintf(code, sizeof code, "%03d", d);
      codes.emplace_back(code);
      org.Reset();
      org.BindText(":no", code).BindText(":name", "部门" + std::to_string(d)).BindText(":par", "Root");
      org.BindInt64(":id", d);
      org.Run();
    }
  }
  Statement a(db, "insert into authreg (username,pwd,nickname,organizeNo,USERID) values(:u,:p,:n,:o,:id)");
  Statement v(db,
              "insert into vcard (username,organizeNo,nickname,tel,email,title,n_given,n_family,work_adr) "
              "values(:u,:o,:n,:tel,:email,:title,:given,:family,:adr)");
  for (int i = 1; i <= accounts; ++i) {
    const std::string name = AccountName(i);
    const std::string nick = "用户" + name.substr(1);
    const std::string& org = codes[static_cast<std::size_t>(i) % codes.size()];
    a.Reset();
    a.BindText(":u", name).BindText(":p", AccountPassword(i)).BindText(":n", nick).BindText(":o", org);
    a.BindInt64(":id", 100);
    a.Run();
    v.Reset();
    v.BindText(":u", name).BindText(":o", org).BindText(":n", nick);
    v.BindText(":tel", "0571-8888" + name.substr(1)).BindText(":email", name + "@corvan.lan");
    v.BindText(":title", "工程师").BindText(":given", "三").BindText(":family", "张");
    v.BindText(":adr", "杭州市西湖区文三路");
    v.Run();
  }
  tx.Commit();
  WriteConfigValue(home / std::string(kConfigFileName), "ServerPort", std::to_string(port));
}

namespace {

bool Bindable(int type, std::uint16_t port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  Fd guard{fd};
  int one = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::uint16_t FreeServerPort() {
  std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    auto port = static_cast<std::uint16_t>(20000 + rng() % 12000);
    if (Bindable(SOCK_STREAM, port) && Bindable(SOCK_DGRAM, port)) return port;
  }
  throw std::runtime_error("no free port");
}

std::optional<OfflineRowCounts> CountOfflineRows(const std::filesystem::path& home) {
  sqlite3* raw = nullptr;
  const std::string path = (home / std::string(kDatabaseFileName)).string();
  if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    return std::nullopt;
  }
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  sqlite3_busy_timeout(db.get(), 200);
  auto count = [&](const char* sql) -> std::optional<long> {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql, -1, &st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st);
      return std::nullopt;
    }
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> guard(st, &sqlite3_finalize);
    if (sqlite3_step(st) != SQLITE_ROW) return std::nullopt;
    return sqlite3_column_int64(st, 0);
  };
  auto m = count("select count(*) from OfflineInfo");
  auto f = count("select count(*) from OfflineFiles");
  if (!m || !f) return std::nullopt;
  return OfflineRowCounts{*m, *f};
}

}  // namespace corvan::bench
