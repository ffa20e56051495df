// Offline delivery: storing messages and uploads, and purging old data.
#pragma once

#include <memory>
#include <string>

namespace corvan {

class ServerCore;
class UploadSession;

// Stores an offline-message frame (`TReceOfflineInfoThread`).
void StoreOfflineMessage(ServerCore& core, std::string body);
// Starts an upload from its header text; null when nothing more is read.
std::unique_ptr<UploadSession> BeginUpload(ServerCore& core, std::string header, std::size_t bodySize);
// Starts the two purges of old offline messages and files.
void StartOfflinePurges(ServerCore& core, int days);

}  // namespace corvan
