#include "offline/offline.h"

#include <asio/steady_timer.hpp>

#include "offline/upload.h"
#include "server/connection.h"
#include "server/executors.h"

namespace corvan {

std::unique_ptr<UploadSession> BeginUpload(const OfflineOwners& owners, const std::string& header,
                                           std::size_t bodySize) {
  return MakeUploadSession(owners, header, bodySize);
}

void StartSearchOffline(const OfflineOwners& owners, const std::string& name, std::string ip) {
  // The timer's handler runs on an io thread and only queues the two
  // searches on their lanes; the database work happens there.
  auto timer = std::make_shared<asio::steady_timer>(owners.run.Io(), owners.deliveryDelay);
  timer->async_wait([owners, timer, name, ip = std::move(ip)](const asio::error_code& error) mutable {
    // Only a server shutting down cancels the timer; what is stored waits
    // for the next login.
    if (error) return;
    SearchOfflineInfoNow(owners, name, ip);
    SearchOfflineFilesNow(owners, name, std::move(ip));
  });
}

}  // namespace corvan
