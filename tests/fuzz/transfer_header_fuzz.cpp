// The upload header ("OfflineFiles" and six fields ended by "★"), read as
// the upload reads it: up to the first NUL, at most 1001 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "offline/transfer_format.h"

namespace {

bool PlainAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c == 0 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  text = text.substr(0, text.find('\0'));
  if (text.size() > corvan::kMaxUploadHeaderBytes) text = text.substr(0, corvan::kMaxUploadHeaderBytes);

  auto header = corvan::ParseTransferHeader(text);
  if (!header) return 0;
  // Whatever a header names, only safe single components reach the disk.
  if (corvan::IsSafePathComponent(header->name)) {
    if (header->name == "." || header->name == ".." || header->name.find('/') != std::string::npos) std::abort();
  }
  const corvan::TransferHeader& h = *header;
  if (PlainAscii(h.fromUser) && PlainAscii(h.fromNick) && PlainAscii(h.toUser) && PlainAscii(h.name) &&
      PlainAscii(h.kind) && PlainAscii(h.size)) {
    auto back = corvan::ParseTransferHeader(corvan::EncodeTransferHeader(h));
    if (!back || back->fromUser != h.fromUser || back->fromNick != h.fromNick || back->toUser != h.toUser ||
        back->name != h.name || back->kind != h.kind || back->size != h.size) {
      std::abort();
    }
  }
  return 0;
}
