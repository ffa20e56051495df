// The load generator's plumbing: child processes it starts (and always
// stops), figures read from /proc, latency summaries, the report printer and
// the data folder it prepares for the server. Nothing here speaks the
// protocol; see sim_client.h for that.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvan::bench {

using SteadyClock = std::chrono::steady_clock;

inline double SecondsSince(SteadyClock::time_point t0, SteadyClock::time_point t1 = SteadyClock::now()) {
  return std::chrono::duration<double>(t1 - t0).count();
}

// --- Child processes ------------------------------------------------------------

// A process started by the generator. The destructor stops it (SIGTERM, then
// SIGKILL after the grace time); the child also dies with the generator
// (PR_SET_PDEATHSIG), and the generator's own SIGINT/SIGTERM handler kills
// every live child before exiting (InstallStopHandler).
class ChildProcess {
 public:
  // Starts `exe` with `args`, the generator's environment plus `env`
  // ("NAME=value" entries override), standard output and error appended to
  // `output`. Throws std::runtime_error when the process cannot be started.
  ChildProcess(const std::filesystem::path& exe, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::filesystem::path& output);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Alive();
  // SIGTERM, wait up to `grace`, then SIGKILL. Returns the exit status,
  // 128 + the signal when a signal ended it, or -1 when it did not end within
  // the grace time and had to be killed.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(10000));

 private:
  bool Reap(bool block);
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Blocks SIGINT and SIGTERM and starts a thread that, on either, kills every
// live child and ends the generator with status 130.
void InstallStopHandler();
// Raises this process's open-files limit (soft to hard; the hard limit too
// when the process may).
void RaiseOpenFilesLimit(std::uint64_t wanted);

// --- /proc ----------------------------------------------------------------------

struct ProcSample {
  double cpuSeconds = 0;  // user + system
  long rssKiB = 0;        // VmRSS
  long peakRssKiB = 0;    // VmHWM
  int fds = 0;
};
ProcSample SampleProc(pid_t pid, bool fds = true);
// Resets the peak RSS (VmHWM) to the current RSS, for a phase's own peak.
void ResetPeakRss(pid_t pid);

// The kernel's counters for the UDP socket bound to `port` (any address).
struct UdpSocketCounters {
  long rxQueueBytes = 0;
  long drops = 0;
  bool found = false;
};
UdpSocketCounters ReadUdpCounters(std::uint16_t port);

// The machine: cores, memory and the load averages (as `uptime` shows).
std::string MachineLine();
std::string LoadLine();

// --- Figures --------------------------------------------------------------------

// Latency samples in milliseconds.
class Latencies {
 public:
  void Add(double ms) { samples_.push_back(ms); }
  void AddSince(SteadyClock::time_point t0, SteadyClock::time_point t1 = SteadyClock::now()) {
    Add(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  void Merge(const Latencies& other) { samples_.insert(samples_.end(), other.samples_.begin(), other.samples_.end()); }
  std::size_t Count() const { return samples_.size(); }
  // Percentile (0..100) by nearest rank; 0 when empty.
  double Percentile(double p) const;
  double Max() const;
  // "p50 1.23 ms  p99 4.56 ms  max 7.89 ms  (n=123)"
  std::string Summary() const;

 private:
  mutable std::vector<double> samples_;
  mutable bool sorted_ = false;
};

// Collects a scenario's figures and prints them as an aligned block.
class Report {
 public:
  explicit Report(std::string title);
  void Line(const std::string& key, const std::string& value);
  void Server(const std::string& phase, const ProcSample& before, const ProcSample& after);
  // A figure against a target: prints "met" or "MISSED".
  void Target(const std::string& what, bool met, const std::string& figure);
  void Print() const;
  bool AllComplete() const { return complete_; }
  void Incomplete() { complete_ = false; }

 private:
  std::string title_;
  std::vector<std::pair<std::string, std::string>> lines_;
  bool complete_ = true;
};

std::string Fixed(double v, int decimals = 1);
std::string MiB(double kib);

// --- The server's data folder ---------------------------------------------------------

// A fresh folder under the system's temporary folder, removed on
// destruction unless kept.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  void Keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// The account name and password of simulated user `i` (1-based).
std::string AccountName(int i);
inline std::string AccountPassword(int) { return "pw"; }

// Writes `accounts` accounts spread over `departments` departments into a new
// database in `home`, and Configure.xml with ServerPort `port`.
void PrepareDataFolder(const std::filesystem::path& home, int accounts, int departments, std::uint16_t port);

// A TCP and UDP port free on every address (outside the ephemeral range).
std::uint16_t FreeServerPort();

// Row counts of the two offline tables (opening the database read-only);
// nothing while the database is busy or missing.
struct OfflineRowCounts {
  long messages = 0;
  long files = 0;
};
std::optional<OfflineRowCounts> CountOfflineRows(const std::filesystem::path& home);

}  // namespace corvan::bench
