#include "web/metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace corvan {

namespace {

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  template <typename T>
  void Value(const std::string& series, T value) {
    std::ostringstream text;
    text << value;
    out_ += series + " " + text.str() + "\n";
  }
  template <typename T>
  void One(const char* name, const char* type, const char* help, T value) {
    Family(name, type, help);
    Value(name, value);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

// /proc/self/stat's fields after the command name (which may hold blanks).
std::vector<std::string> StatFields(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return fields;
  std::istringstream rest(text.substr(close + 1));
  std::string f;
  while (rest >> f) fields.push_back(f);
  return fields;
}

std::string ReadAll(const char* path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::string EscapeLabel(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::optional<ProcessFigures> ReadProcessFigures() {
  // Fields counted from 3 (the state) on, as proc(5) numbers them.
  std::vector<std::string> f = StatFields(ReadAll("/proc/self/stat"));
  if (f.size() < 22) return std::nullopt;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double pageSize = static_cast<double>(::sysconf(_SC_PAGESIZE));
  ProcessFigures p;
  try {
    p.cpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / ticks;              // utime, stime
    double startTicks = std::stod(f[19]);                                      // starttime
    p.residentBytes = static_cast<std::int64_t>(std::stod(f[21]) * pageSize);  // rss
    std::istringstream stat(ReadAll("/proc/stat"));
    std::string key;
    double bootTime = 0;
    while (stat >> key)
      if (key == "btime" && (stat >> bootTime)) break;
    p.startTimeSeconds = bootTime + startTicks / ticks;
  } catch (const std::exception&) {
    return std::nullopt;  // a field that is not a number: no process figures this time
  }
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') ++p.openFds;
    ::closedir(dir);
    --p.openFds;  // the descriptor of the listing itself
  }
  return p;
}

std::string RenderMetrics(const MetricsFigures& m) {
  Writer w;
  w.One("corvan_up", "gauge", "Whether the protocol's listeners are up.", m.listening ? 1 : 0);
  w.One("corvan_online_users", "gauge", "Users online now.", m.onlineUsers);
  w.One("corvan_accounts", "gauge", "Accounts in the directory.", m.accounts);
  w.One("corvan_departments", "gauge", "Departments in the directory.", m.departments);
  w.One("corvan_logins_total", "counter", "Successful client logins.", m.logins);
  w.One("corvan_login_failures_total", "counter", "Failed client logins.", m.failedLogins);
  w.Family("corvan_requests_total", "counter", "Client requests by type.");
  for (const auto& [type, n] : m.requestsByType)
    w.Value("corvan_requests_total{type=\"" + EscapeLabel(type) + "\"}", n);
  w.Value("corvan_requests_total{type=\"other\"}", m.unknownRequests);
  w.One("corvan_notices_sent_total", "counter", "UDP notices sent to clients.", m.noticesSent);
  w.Family("corvan_queue_depth", "gauge", "Jobs waiting in each queue.");
  for (const auto& [queue, n] : m.queueDepths) w.Value("corvan_queue_depth{queue=\"" + EscapeLabel(queue) + "\"}", n);
  w.One("corvan_offline_messages", "gauge", "Stored offline messages.", m.storedMessages);
  w.One("corvan_offline_message_bytes", "gauge", "Bytes of stored offline messages.", m.storedMessageBytes);
  w.One("corvan_offline_files", "gauge", "Stored offline files and folders.", m.storedFiles);
  w.One("corvan_offline_file_bytes", "gauge", "Bytes of stored offline files.", m.storedFileBytes);
  w.One("corvan_directory_sync_runs_total", "counter", "Directory sync runs.", m.syncRuns);
  w.One("corvan_directory_sync_failures_total", "counter", "Directory sync runs that failed.", m.syncFailures);
  w.One("corvan_web_sessions", "gauge", "Open web console sessions.", m.webSessions);
  if (m.process) {
    w.One("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", m.process->residentBytes);
    w.One("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.", m.process->cpuSeconds);
    w.One("process_open_fds", "gauge", "Open file descriptors.", m.process->openFds);
    w.One("process_start_time_seconds", "gauge", "Start time of the process since the epoch, in seconds.",
          static_cast<std::int64_t>(m.process->startTimeSeconds));
  }
  return w.Take();
}

}  // namespace corvan
