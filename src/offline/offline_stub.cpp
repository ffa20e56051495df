// Placeholders until offline delivery lands.
#include "offline/offline.h"

#include "server/connection.h"

namespace corvan {

void StoreOfflineMessage(ServerCore&, std::string) {}
std::unique_ptr<UploadSession> BeginUpload(ServerCore&, std::string, std::size_t) { return nullptr; }
void StartOfflinePurges(ServerCore&, int) {}
void StartSearchOfflineInfo(ServerCore&, std::string, std::string) {}
void StartSearchOfflineFiles(ServerCore&, std::string, std::string) {}
void StartCleanOfflineFiles(ServerCore&) {}

}  // namespace corvan
