// The envelope reader over arbitrary bytes (any declared encoding, any
// nesting), and a round trip of the writer for printable ASCII texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/envelope.h"

namespace {

bool PrintableAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view data(reinterpret_cast<const char*>(bytes), size);

  if (auto env = corvan::ParsedEnvelope::Read(data)) {
    (void)env->Type();
    for (const char* name : {"username", "pwd", "Mac", "Status", "nickname", "Struct", ""}) {
      (void)env->Field(name);
      (void)env->RootField(name);
    }
  }

  // Writer round trip: the first half is the Type, the rest a field value.
  const std::string_view type = data.substr(0, data.size() / 2);
  const std::string_view value = data.substr(data.size() / 2);
  if (!type.empty() && PrintableAscii(type) && PrintableAscii(value)) {
    corvan::EnvelopeWriter writer(type);
    writer.Field("username", value);
    const std::string doc = writer.Finish();
    auto back = corvan::ParsedEnvelope::Read(doc);
    if (!back || back->Type() != type || back->Field("username") != std::string(value)) std::abort();
  }
  return 0;
}
