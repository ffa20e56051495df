// The count-line frame reader over arbitrary bytes, fed whole and in pieces:
// both must give the same frames, every body within the size bound, and the
// routing of every body must be total.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "server/frame.h"

namespace {

using corvan::FrameReader;

struct Event {
  FrameReader::Result result;
  std::string body;
  bool operator==(const Event&) const = default;
};

// Feeds `data` in pieces of the sizes drawn from `cuts` (cycled) and records
// every result until the reader needs more, or fails.
std::vector<Event> Run(std::string_view data, std::string_view cuts) {
  FrameReader reader;
  std::vector<Event> events;
  std::size_t pos = 0;
  std::size_t cut = 0;
  while (pos < data.size()) {
    std::size_t n = data.size() - pos;
    if (!cuts.empty()) {
      n = std::min<std::size_t>(n, 1 + static_cast<unsigned char>(cuts[cut++ % cuts.size()]));
    }
    reader.Feed(data.substr(pos, n));
    pos += n;
    for (;;) {
      std::string body;
      FrameReader::Result r = reader.Next(body);
      if (r == FrameReader::Result::kNeedMore) break;
      if (r == FrameReader::Result::kBody && body.size() > static_cast<std::size_t>(FrameReader::kMaxBodyBytes)) {
        std::abort();
      }
      events.push_back({r, std::move(body)});
      if (r == FrameReader::Result::kFail) return events;
    }
    // The count line never grows past its bound without failing.
    if (reader.PendingBody() < 0 && reader.BufferedBytes() > FrameReader::kMaxLineBytes + 1) std::abort();
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  std::string_view all(reinterpret_cast<const char*>(bytes), size);
  // The first byte chooses how many of the following bytes give piece sizes.
  const std::size_t cutBytes = std::min<std::size_t>(static_cast<unsigned char>(all[0]) % 8, all.size() - 1);
  const std::string_view cuts = all.substr(1, cutBytes);
  const std::string_view data = all.substr(1 + cutBytes);

  const std::vector<Event> whole = Run(data, {});
  const std::vector<Event> pieces = Run(data, cuts.empty() ? std::string_view("\0", 1) : cuts);
  if (whole != pieces) std::abort();

  for (const Event& e : whole) {
    if (e.result != FrameReader::Result::kBody) continue;
    corvan::FrameRoute route = corvan::RouteFrame(e.body);
    if ((route == corvan::FrameRoute::kTooShort) != (e.body.size() < 21)) std::abort();
    if (route == corvan::FrameRoute::kOfflineFiles) {
      std::string_view head = corvan::UploadHeaderText(e.body);
      if (head.size() > e.body.size() || head.find('\0') != std::string_view::npos) std::abort();
    }
  }

  std::int64_t count = 0;
  corvan::ParseCountLine(data.substr(0, std::min<std::size_t>(data.size(), 64)), count);
  return 0;
}
