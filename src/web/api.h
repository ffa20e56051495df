// The routes of the web console (web_console.h lists them) and the state
// they share: sessions, login throttles, chart samples, the settings in force.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

#include "admin/web_settings.h"
#include "base/failure_backoff.h"
#include "base/thread_annotations.h"
#include "web/metrics.h"
#include "web/samples.h"
#include "web/sessions.h"
#include "web/sync_runs.h"

namespace corvan {

class ServerCore;
class JsonValue;

// Figures that take a walk of the offline-files folder or a count over the
// database: computed at most every few seconds.
struct StoredFigures {
  std::int64_t messages = 0;
  std::int64_t messageBytes = 0;
  std::int64_t files = 0;
  std::int64_t fileBytes = 0;
};

class WebApi {
 public:
  WebApi(ServerCore& core, std::filesystem::path assets);

  // The settings in force (the session timeouts, the metrics token, HTTPS).
  void Configure(const WebSettings& settings, bool https) CORVAN_EXCLUDES(mutex_);
  // Registers every route on `server`.
  void Install(httplib::Server& server);
  // Ends the live streams (the listener is stopping).
  void EndStreams() { streaming_.store(false); }
  void AllowStreams() { streaming_.store(true); }

  // One chart sample: the online count now and the logins since the last.
  void TakeSample();
  SampleRing& Samples() { return samples_; }

 private:
  struct Settings {
    bool https = true;
    std::string metricsToken;
  };
  Settings Current() const CORVAN_EXCLUDES(mutex_);

  // The session of the request; answers 401 (or 403 for a change without its
  // CSRF token or from another origin) and returns nothing when the call may
  // not go on. `change`: the call changes something.
  std::optional<WebSession> Authenticate(const httplib::Request& req, httplib::Response& res, bool change);
  std::optional<JsonValue> JsonBody(const httplib::Request& req, httplib::Response& res);

  void Login(const httplib::Request& req, httplib::Response& res);
  void Logout(const httplib::Request& req, httplib::Response& res);
  void Session(const httplib::Request& req, httplib::Response& res);
  void Dashboard(const httplib::Request& req, httplib::Response& res);
  void Charts(const httplib::Request& req, httplib::Response& res);
  void Online(const httplib::Request& req, httplib::Response& res);
  void Log(const httplib::Request& req, httplib::Response& res);
  void LogStream(const httplib::Request& req, httplib::Response& res);
  void Orgs(const httplib::Request& req, httplib::Response& res);
  void Users(const httplib::Request& req, httplib::Response& res);
  void User(const httplib::Request& req, httplib::Response& res);
  void Command(const httplib::Request& req, httplib::Response& res);
  void Audit(const httplib::Request& req, httplib::Response& res);
  void ImportUsers(const httplib::Request& req, httplib::Response& res);
  void ExportUsers(const httplib::Request& req, httplib::Response& res);
  // Backup, restore and the directory sync (api_maintenance.cpp).
  void InstallMaintenance(httplib::Server& server);
  void Backup(const httplib::Request& req, httplib::Response& res);
  void Restore(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& body);
  void StartSync(const httplib::Request& req, httplib::Response& res);
  void SyncState(const httplib::Request& req, httplib::Response& res);
  void Health(const httplib::Request& req, httplib::Response& res);
  void Metrics(const httplib::Request& req, httplib::Response& res);
  void Static(const httplib::Request& req, httplib::Response& res);

  StoredFigures Stored() CORVAN_EXCLUDES(storedMutex_);
  bool ProtocolListening() const;

  ServerCore& core_;
  const std::filesystem::path assets_;
  SessionStore sessions_;
  SampleRing samples_;
  // Shared with the job that runs a sync.
  std::shared_ptr<SyncRuns> syncRuns_ = std::make_shared<SyncRuns>();
  std::atomic<bool> streaming_{true};
  std::atomic<int> streams_{0};
  // Password checks take 64 MiB each: a few at a time.
  std::counting_semaphore<2> verifying_{2};

  mutable Mutex mutex_;
  Settings settings_ CORVAN_GUARDED_BY(mutex_);
  FailureBackoff byName_ CORVAN_GUARDED_BY(mutex_);
  FailureBackoff byAddress_ CORVAN_GUARDED_BY(mutex_);
  std::uint64_t loginsAtLastSample_ CORVAN_GUARDED_BY(mutex_) = 0;
  std::string dummyHash_ CORVAN_GUARDED_BY(mutex_);

  Mutex storedMutex_;
  StoredFigures stored_ CORVAN_GUARDED_BY(storedMutex_);
  std::chrono::steady_clock::time_point storedAt_ CORVAN_GUARDED_BY(storedMutex_);
  bool storedValid_ CORVAN_GUARDED_BY(storedMutex_) = false;
};

}  // namespace corvan
