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
// Started by a successful login: deliver the stored messages
// (`TSearchOfflineInfoThread`) and files (`TSearchOfflineFilesThread`) of
// `name` to the address of that login. Both return at once.
void StartSearchOfflineInfo(ServerCore& core, std::string name, std::string ip);
void StartSearchOfflineFiles(ServerCore& core, std::string name, std::string ip);
// Starts the cleanup of upload folders that no row refers to.
void StartCleanOfflineFiles(ServerCore& core);
// Starts the two purges of old offline messages and files.
void StartOfflinePurges(ServerCore& core, int days);

}  // namespace corvan
