// Configure.xml as read at start, and the one-key rewrite the settings
// window and the announcement command make on whatever the file holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view data(reinterpret_cast<const char*>(bytes), size);
  corvan::ConfigReadResult read = corvan::ParseConfiguration(data);
  if (!read.structFound && (read.hasServerPort || read.hasInformation)) std::abort();

  // A rewrite of a document that parses keeps it readable and holds the
  // value written.
  auto updated = corvan::UpdateConfigDocument(std::string(data), "OfflineInfoDay", "7");
  if (updated) {
    corvan::ConfigReadResult after = corvan::ParseConfiguration(*updated);
    if (!after.structFound || !after.hasOfflineInfoDay || after.settings.OfflineInfoDay != 7) std::abort();
  }
  return 0;
}
