// The monitoring figures in the Prometheus text format (version 0.0.4):
// gathered into a plain struct by the console, written out by a pure
// function, so the format is tested without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvan {

struct ProcessFigures {
  std::int64_t residentBytes = 0;
  double cpuSeconds = 0;
  std::int64_t openFds = 0;
  double startTimeSeconds = 0;  // since the epoch
};

// The process's own figures from /proc; nothing when /proc cannot be read.
std::optional<ProcessFigures> ReadProcessFigures();

struct MetricsFigures {
  bool listening = false;  // the protocol's TCP and UDP listeners are up
  std::int64_t onlineUsers = 0;
  std::int64_t accounts = 0;
  std::int64_t departments = 0;
  std::uint64_t logins = 0;
  std::uint64_t failedLogins = 0;
  std::vector<std::pair<std::string, std::uint64_t>> requestsByType;
  std::uint64_t unknownRequests = 0;
  std::uint64_t noticesSent = 0;
  std::vector<std::pair<std::string, std::int64_t>> queueDepths;
  std::int64_t storedMessages = 0;
  std::int64_t storedMessageBytes = 0;
  std::int64_t storedFiles = 0;
  std::int64_t storedFileBytes = 0;
  std::uint64_t syncRuns = 0;
  std::uint64_t syncFailures = 0;
  std::int64_t webSessions = 0;
  std::optional<ProcessFigures> process;
};

std::string RenderMetrics(const MetricsFigures& figures);

// A label value escaped as the format asks (backslash, quote, line feed).
std::string EscapeLabel(const std::string& value);

}  // namespace corvan
