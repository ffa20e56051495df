#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

#include <asio/post.hpp>
#include <cstdint>
#include <cstdlib>

#include "server/server_core.h"

namespace corvan {

namespace {

// How often the status is told when no watchdog asks for more.
constexpr std::chrono::seconds kStatusInterval{10};

bool NotifySocketSet() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

std::string CurrentStatus(ServerCore& core) {
  std::size_t online = 0;
  {
    MutexLock lock(core.Online().OnlineLock);
    online = core.Online().OnlineUsers.Size();
  }
  return ServiceStatusText(core.Lifecycle().ListeningPort() != 0, online);
}

}  // namespace

std::string ServiceStatusText(bool listening, std::size_t online) {
  if (!listening) return "服务器已停止";
  return "服务器正在运行，共" + std::to_string(online) + "人在线";
}

ServiceNotifier::ServiceNotifier(ServerCore& core) : core_(core), enabled_(NotifySocketSet()) {
  if (!enabled_) return;
  std::uint64_t usec = 0;
  // Positive when the manager expects pings from this process (WATCHDOG_USEC,
  // and WATCHDOG_PID when set, name it).
  watchdog_ = sd_watchdog_enabled(0, &usec) > 0 && usec > 0;
  interval_ = watchdog_ ? std::chrono::microseconds(usec / 2) : std::chrono::microseconds(kStatusInterval);
}

ServiceNotifier::~ServiceNotifier() { StopTicks(); }

void ServiceNotifier::Ready() {
  if (!enabled_ || thread_.joinable()) return;
  std::string message = "READY=1\nSTATUS=" + CurrentStatus(core_);
  if (watchdog_) message += "\nWATCHDOG=1";
  sd_notify(0, message.c_str());
  thread_ = std::thread([this] { Ticks(); });
}

void ServiceNotifier::Stopping() {
  if (!enabled_) return;
  StopTicks();
  sd_notify(0, "STOPPING=1\nSTATUS=正在停止服务器");
}

void ServiceNotifier::StopTicks() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool ServiceNotifier::WaitForTick() {
  MutexLock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + interval_;
  while (!stopping_) {
    if (wake_.wait_until(mutex_, deadline) == std::cv_status::timeout) return stopping_;
  }
  return true;
}

void ServiceNotifier::Ticks() {
  while (!WaitForTick()) {
    std::string message = "STATUS=" + CurrentStatus(core_);
    if (watchdog_) message += "\nWATCHDOG=1";
    // The message is sent by the event loop itself: while the loop is stuck,
    // no ping leaves. The job holds nothing but its text.
    asio::post(core_.Run().Io(), [message = std::move(message)] { sd_notify(0, message.c_str()); });
  }
}

}  // namespace corvan
