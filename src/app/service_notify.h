// Tells a service manager how the headless server is doing, through
// libsystemd's sd_notify (the unit's Type=notify and WatchdogSec=):
//
//   READY=1      once the listeners and the administration socket are up
//   STATUS=…     the server's state and the number of users online, at
//                every tick
//   WATCHDOG=1   at every tick while the watchdog is on (half its interval)
//   STOPPING=1   when the program begins to stop
//
// A tick is a small job posted onto the core's event loop from a thread of
// this class; the job sends the messages, so a wedged loop stops the pings
// and the service manager restarts the server.
//
// Without NOTIFY_SOCKET in the environment nothing is sent and no thread
// runs.
//
// Thread rules: construct, call Ready() and Stopping(), and destroy on the
// main thread; destroy before the core.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "base/thread_annotations.h"

namespace corvan {

class ServerCore;

// The STATUS= text for a server that is `listening` or not, with `online`
// users.
std::string ServiceStatusText(bool listening, std::size_t online);

class ServiceNotifier {
 public:
  explicit ServiceNotifier(ServerCore& core);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // READY=1 with the first status; starts the ticks.
  void Ready();
  // STOPPING=1; ends the ticks.
  void Stopping();

 private:
  void Ticks();
  // Waits one interval; true when the ticks are to stop.
  bool WaitForTick();
  void StopTicks();

  ServerCore& core_;
  // Constant after construction.
  const bool enabled_;
  std::chrono::microseconds interval_{0};
  bool watchdog_ = false;

  Mutex mutex_;
  std::condition_variable_any wake_;
  bool stopping_ CORVAN_GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace corvan
