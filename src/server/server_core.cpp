#include "server/server_core.h"

#include "storage/schema.h"

namespace corvan {

ServerCore::ServerCore(CoreOptions options)
    : options_(std::move(options)),
      modules_(options_.modules),
      offlineFilesDir_(options_.home / "OfflineFiles"),
      connections_(options_.limits.connectionsPerAddress),
      executors_(SizesOf(options_)),
      lifecycle_(*this),
      fanout_(
          options_.noticeQueueBytes, [this] { return lifecycle_.ListenerSocket(); }, options_.noticeSenders) {}

// A failure to post or join here ends the process, which is what a destructor
// that cannot finish its stop should do.
ServerCore::~ServerCore() {  // NOLINT(bugprone-exception-escape)
  lifecycle_.StopServer();
  lifecycle_.CancelTimers();
  // Let running jobs end before the state they use goes away; the notices
  // they queued leave before the lane stops.
  executors_.JoinPools();
  fanout_.Stop();
  executors_.StopIo();
  // Connections not yet closed when the loop stopped still hold sockets and
  // strands of the io loop: release them while it exists.
  connections_.Clear();
}

ExecutorSizes ServerCore::SizesOf(const CoreOptions& options) {
  return {options.ioThreads, options.requestThreads, options.jobThreads, options.outboundThreads,
          options.outboundQueue};
}

std::filesystem::path ServerCore::DatabasePath() const { return options_.home / kDatabaseFileName; }
std::filesystem::path ServerCore::ConfigPath() const { return options_.home / kConfigFileName; }

}  // namespace corvan
