// corvan-bench: the load generator. Starts the server itself (headless, a
// fresh data folder, accounts written before the start), simulates client
// machines on their own loopback addresses, reports throughput, latency,
// the server's CPU and memory and completeness, against the machine's own
// limit measured in the same run, and always stops what it started.
//
//   corvan-bench <scenario>|all [--smoke] [options]
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <map>

#include "harness.h"

namespace {

using namespace corvan::bench;

const std::map<std::string, std::function<bool(const Options&)>>& Scenarios() {
  static const std::map<std::string, std::function<bool(const Options&)>> scenarios{
      {"login", LoginStorm}, {"directory", Directory},    {"heartbeats", Heartbeats},
      {"idle", Idle},        {"offline", OfflineMorning}, {"evening", Evening},
      {"files", Files},      {"relogin", Relogins},       {"crowd", Crowd},
  };
  return scenarios;
}

const char* const kOrder[] = {"login",   "directory", "heartbeats", "idle", "offline",
                              "evening", "files",     "relogin",    "crowd"};

void Usage() {
  std::cerr << "usage: corvan-bench <scenario>|all [--smoke] [--server PATH] [--limit PATH]\n"
               "                    [--clients N] [--accounts N] [--seconds S] [--file-bytes N]\n"
               "                    [--login] [--rate R] [--keep]\n"
               "scenarios: login directory heartbeats idle offline evening files relogin crowd\n";
}

std::filesystem::path SelfFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::filesystem::current_path();
  return std::filesystem::path(std::string(buf, static_cast<std::size_t>(n))).parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string scenario = argv[1];
  Options o;
  const auto self = SelfFolder();  // <build>/bench/corvan-bench
  o.server = self / ".." / ".." / "src" / "app" / "corvan-server";
  o.limit = self / ".." / "limits" / "corvan-limit-server";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--smoke") o.smoke = true;
    else if (a == "--keep") o.keep = true;
    else if (a == "--login") o.idleLogin = true;
    else if (a == "--server") o.server = value();
    else if (a == "--limit") o.limit = value();
    else if (a == "--clients") o.clients = std::stoi(value());
    else if (a == "--accounts") o.accounts = std::stoi(value());
    else if (a == "--seconds") o.seconds = std::stod(value());
    else if (a == "--file-bytes") o.fileBytes = std::stoull(value());
    else if (a == "--rate") o.rate = std::stod(value());
    else {
      Usage();
      return 2;
    }
  }
  for (auto* p : {&o.server, &o.limit}) {
    std::error_code ec;
    auto canonical = std::filesystem::canonical(*p, ec);
    if (ec || ::access(canonical.c_str(), X_OK) != 0) {
      std::cerr << "corvan-bench: not found or not executable: " << p->string() << "\n";
      return 2;
    }
    *p = canonical;
  }
  std::vector<std::string> run;
  if (scenario == "all") {
    run.assign(std::begin(kOrder), std::end(kOrder));
  } else if (Scenarios().count(scenario)) {
    run.push_back(scenario);
  } else {
    Usage();
    return 2;
  }
  InstallStopHandler();
  RaiseOpenFilesLimit(200000);
  std::cout << "corvan-bench " << (o.smoke ? "(smoke) " : "") << "on " << MachineLine() << ", " << LoadLine()
            << "\n  server " << o.server.string() << std::endl;
  bool allComplete = true;
  for (const auto& name : run) {
    try {
      allComplete &= Scenarios().at(name)(o);
    } catch (const std::exception& e) {
      std::cout << "\n== " << name << " ==\n  FAILED: " << e.what() << std::endl;
      allComplete = false;
    }
  }
  // Completeness is reported, never judged here: figures have no thresholds.
  // The exit status says only whether every scenario ran to its end.
  return allComplete ? 0 : 1;
}
