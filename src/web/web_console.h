// The web administration console: an HTTPS server inside corvan-server on
// threads of its own (never the protocol's request lanes), off until its
// settings file enables it (admin/web_settings.h). It serves the built front
// end, a JSON API for logged-in administrators, /healthz and /metrics.
//
// The API (every call but login needs the session cookie; every change is a
// POST that carries the session's CSRF token in X-CSRF-Token, else 403):
//   POST /api/login {name, password}     opens a session (throttled)
//   POST /api/logout                     ends it
//   GET  /api/session                    {name, csrf, idleTimeoutSeconds}
//   GET  /api/dashboard                  state, counts, stored items, space
//   GET  /api/charts?hours=H             the online count and logins per minute
//   GET  /api/online                     the users online
//   GET  /api/log?since=SEQ&q=TEXT       held status-log lines after SEQ
//   GET  /api/log/stream                 the same, live (server-sent events)
//   GET  /api/orgs                       the department tree
//   GET  /api/users?q=&org=&page=&size=  one page of accounts
//   GET  /api/users/NAME                 one account (never its password)
//   POST /api/commands/NAME {args}       an administrative command
//                                        (admin/command_table.h)
//   GET  /api/backup                     a copy of the database, as a download
//   POST /api/restore[?yes=1] BYTES      restores the uploaded copy (without
//                                        yes=1: the refusal or the question)
//   POST /api/sync {dryRun, removeMissing} starts a directory sync (202)
//   GET  /api/sync                       its progress and the last reports
//   GET  /healthz                        no login: the protocol listeners up?
//   GET  /metrics                        Prometheus text; from the host itself
//                                        or with the bearer token
//
// Thread rules: Start, Stop and Reload run one at a time (lifecycle_; the
// command registry's lock of admin/web_commands.h is taken before it, never
// while it is held); the HTTP server's pool runs the handlers; one sampler
// thread takes the chart samples. Handlers read the core through its own
// locks and snapshots; administrative commands go through RunAdminCommand;
// a directory sync started from the page runs on the core's job pool.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "admin/web_commands.h"
#include "admin/web_settings.h"
#include "base/thread_annotations.h"

namespace corvan {

class ServerCore;
class WebApi;

struct WebConsoleOptions {
  // The built front end (the folder holding index.html); empty: none.
  std::filesystem::path assets;
  // How often the charts' samples are taken.
  std::chrono::milliseconds sampleInterval{60000};
};

// The built front end beside the program ("web" in its folder) or where the
// package installs it (../share/corvan/web).
std::optional<std::filesystem::path> FindWebAssets(const std::filesystem::path& programFolder);

class WebConsole final : public WebConsoleControl {
 public:
  WebConsole(ServerCore& core, WebConsoleOptions options);
  ~WebConsole() override;
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;

  // Starts the sampler, attaches the console to the core's commands, and
  // starts the listener when the settings enable it.
  WebListenerState Start();
  // Stops the listener and the sampler and detaches. Idempotent.
  void Stop();

  WebListenerState Reload() override;
  WebListenerState State() const override;

  // The port the listener listens on (0 when it does not).
  int Port() const;

 private:
  class Listener;

  void StartListener(const WebSettings& settings) CORVAN_REQUIRES(lifecycle_);
  void StopListener() CORVAN_REQUIRES(lifecycle_);
  void SetState(WebListenerState state, int port) CORVAN_EXCLUDES(stateMutex_);
  void SampleLoop();

  ServerCore& core_;
  const WebConsoleOptions options_;
  std::shared_ptr<WebApi> api_;

  Mutex lifecycle_;  // Start / Stop / Reload, and the listener they make
  std::unique_ptr<Listener> listener_ CORVAN_GUARDED_BY(lifecycle_);

  mutable Mutex stateMutex_;  // a leaf: held only to copy the state
  WebListenerState state_ CORVAN_GUARDED_BY(stateMutex_);
  int port_ CORVAN_GUARDED_BY(stateMutex_) = 0;

  Mutex samplerMutex_;
  std::condition_variable_any samplerWake_;
  bool samplerStop_ CORVAN_GUARDED_BY(samplerMutex_) = false;
  std::thread sampler_;
};

}  // namespace corvan
