// The caller's files of a command, handed over as database dump tools do:
//
//   backup FILE, user export FILE   the server (or, when none runs, this
//       tool on the folder) makes its copy inside the data folder; the tool
//       writes it to FILE with the caller's rights, mode 0600, through a
//       temporary file beside FILE, and removes the copy in the folder;
//   restore FILE, user import FILE  the tool reads FILE with the caller's
//       rights into a copy inside the data folder and hands that to the
//       command, then removes it.
//
// So root can back up into /var/backups and restore from a folder of its
// own, while the service, which may write its own folder only, never opens
// the caller's path. The copies in transit are private files named
// "corvanctl-transfer.XXXXXX" plus an ending, in the data folder.
//
// Messages name the caller's path, never the copy in transit, with the
// system's reason: "备份数据失败：/var/backups: Permission denied".
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "admin/admin_codec.h"
#include "identity.h"

namespace corvan {

class FileHandover {
 public:
  using Runner = std::function<AdminReply(const std::vector<std::string>&)>;

  // Works on the data folder `home`; `identity` switches to the caller's
  // rights for the caller's files.
  FileHandover(std::filesystem::path home, Identity& identity);
  // Removes the copy in transit still held.
  ~FileHandover();
  FileHandover(const FileHandover&) = delete;
  FileHandover& operator=(const FileHandover&) = delete;

  // Runs `argv` through `run`, with the caller's file handed over when the
  // command names one. A restore or an import asked to confirm keeps its
  // copy for the next call with the same file.
  AdminReply Run(const std::vector<std::string>& argv, const Runner& run);

  // Makes the argument that names the caller's file absolute (the server
  // resolves names in its own working folder); the other arguments stay.
  static std::vector<std::string> AbsoluteFile(std::vector<std::string> argv);

 private:
  // The argument of a command that names the caller's file, and which way
  // the file goes.
  struct FileWord {
    std::size_t index = 0;  // in argv
    bool outbound = false;  // written for the caller (backup, export)
    bool backup = false;    // ".mdb" is appended to the name unless present
    std::string failure;    // the message a failure of the file work starts with
    std::string ending;     // of the copy in transit
  };
  static std::optional<FileWord> FileWordOf(const std::vector<std::string>& argv);

  AdminReply Export(const FileWord& word, std::vector<std::string> argv, const Runner& run);
  AdminReply Import(const FileWord& word, std::vector<std::string> argv, const Runner& run);
  // Removes the copy in transit.
  void Discard();

  std::filesystem::path home_;
  Identity& identity_;
  std::filesystem::path transfer_;  // the copy in the data folder, when one is held
  std::string transferSource_;      // the caller's file it was read from
};

}  // namespace corvan
