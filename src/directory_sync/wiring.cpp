#include "directory_sync/wiring.h"

#include "server/server_core.h"

namespace corvan {

SyncOwners SyncOwnersOf(ServerCore& core) {
  return {core.Run(), core.Db(), core.Log(), core.Dir(), core.Lifecycle(), core.Home()};
}

void AddDirectorySyncModules(CoreModules& m) {
  auto service = std::make_shared<DirectoryService>();
  m.DirectoryStarted = [service](ServerCore& core) { service->Started(SyncOwnersOf(core)); };
  m.PasswordFromDirectory = [service](ServerCore&, const std::string& name) {
    return service->PasswordFromDirectory(name);
  };
  m.AccountLocked = [service](ServerCore& core, const std::string& name) {
    return service->AccountLocked(SyncOwnersOf(core), name);
  };
  m.CheckDirectoryPassword = [service](ServerCore& core, std::string name, std::string pwd,
                                       std::function<void(DirectoryVerdict)> done) {
    service->CheckPassword(SyncOwnersOf(core), std::move(name), std::move(pwd), std::move(done));
  };
  m.DirectorySync = [service](ServerCore& core, const DirectorySyncRequest& request,
                              const std::function<void(int, int)>& progress) {
    return service->Sync(SyncOwnersOf(core), request, false, progress);
  };
}

}  // namespace corvan
