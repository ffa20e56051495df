// The 83-byte head of an offline-message frame, and the encoder's round trip
// for the names it reads.
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
  std::string_view frame(reinterpret_cast<const char*>(bytes), size);
  auto names = corvan::ParseOfflineMessageNames(frame);
  if (names.has_value() != (size >= corvan::kOfflineInfoHeadBytes)) std::abort();
  if (!names) return 0;
  if (PlainAscii(names->toUser) && PlainAscii(names->fromUser)) {
    // Re-encoding what was read gives a frame that reads the same; names
    // are upper-cased once and stay so.
    const std::string again =
        corvan::EncodeOfflineMessage(names->toUser, names->fromUser, frame.substr(corvan::kOfflineInfoHeadBytes));
    auto back = corvan::ParseOfflineMessageNames(again);
    if (!back || back->toUser != names->toUser || back->fromUser != names->fromUser) std::abort();
    if (again.size() != frame.size()) std::abort();
  }
  return 0;
}
