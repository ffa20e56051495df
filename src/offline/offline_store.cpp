#include "offline/offline_store.h"

namespace corvan {

std::filesystem::path UploadFolderOf(const std::filesystem::path& offlineFilesDir, const std::string& filePath) {
  const std::filesystem::path item = std::filesystem::path(filePath).lexically_normal();
  std::filesystem::path folder = item.parent_path();  // not const: returned by move
  const std::filesystem::path base = offlineFilesDir.lexically_normal();
  if (!item.has_filename() || folder.parent_path().parent_path() != base) return {};
  for (const auto& part : folder.lexically_relative(base)) {
    if (part == "." || part == ".." || part.empty()) return {};
  }
  return folder;
}

}  // namespace corvan
