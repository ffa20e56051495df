// Whose rights corvanctl uses.
//
// Root working on a data folder that belongs to another user (the service's
// `corvan`) acts as that user inside the folder, so that every file it makes
// there (the lock file, the database, a copy in transit) belongs to the
// folder's owner and the service can use it. Only the effective ids change:
// the caller's own files (a backup's target, a restore's source) are still
// written and read with the caller's rights, as a database dump tool writes
// its output.
//
// Thread rules: switch only while no other thread of the program does file
// work (the switches apply to every thread of the process).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

namespace corvan {

class Identity {
 public:
  // From now on acts as the owner of `home` when the caller is root and the
  // folder belongs to another user; otherwise nothing changes. The refusal
  // when the switch fails.
  std::optional<std::string> ActAsOwnerOf(const std::filesystem::path& home);

  // Back to the caller's rights for the life of the scope, then to the
  // owner's again. Nothing happens when no switch was made.
  class CallerScope {
   public:
    explicit CallerScope(Identity& identity);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;
    // Ok, or why the caller's rights could not be taken back.
    const Status& Entered() const { return entered_; }

   private:
    Identity& identity_;
    Status entered_;
  };

 private:
  Status ToOwner();
  Status ToCaller();

  bool switched_ = false;
  uid_t ownerUid_ = 0;
  gid_t ownerGid_ = 0;
  std::vector<gid_t> ownerGroups_;
  gid_t callerGid_ = 0;
  std::vector<gid_t> callerGroups_;
};

}  // namespace corvan
